// The crash doctor on hand-built reports: each rule in its order, the
// texts it produces, and reports of the wrong shape.
#include <gtest/gtest.h>

#include <string>

#include "Mayday/Reporting/Filters/MaydayDoctor.h"

using platform::Value;

namespace {

Value frame(const char* object, const char* symbol) {
    return Value::dictionary({{"object_name", object}, {"symbol_name", symbol}});
}

// A report of "App" on x86_64 whose crashed thread (in "threads") has the
// given backtrace; error and thread members are added by each test.
struct Report {
    Value error = Value::dictionary();
    Value thread = Value::dictionary({{"crashed", true}});
    Value threads = Value::array({Value::dictionary({{"crashed", false}}), thread});
    Value root = Value::dictionary({
        {"report", Value::dictionary({{"process_name", "App"}})},
        {"system", Value::dictionary({{"cpu_arch", "x86_64"}})},
        {"crash", Value::dictionary({{"error", error}, {"threads", threads}})},
    });
    explicit Report(Value backtrace = Value::array({frame("libc", "abort"), frame("App", "-[Model save]")})) {
        thread.setObject(Value::dictionary({{"contents", backtrace}}), "backtrace");
    }
    Report& signal(const char* name) {
        error.setObject(Value::dictionary({{"name", name}}), "signal");
        return *this;
    }
    std::string diagnosis() const { return MaydayDoctor::doctor()->diagnoseCrash(root).description(); }
};

const std::string kOrigin = "\nOriginated at or in a subcall of -[Model save]";

}  // namespace

TEST(CrashDoctor, RulesInOrder) {
    Report deadlock;
    deadlock.error.setObject("deadlock", "type");
    deadlock.thread.setObject(Value::dictionary({{"overflow", true}}), "stack");
    EXPECT_EQ(deadlock.diagnosis(), "Main thread deadlocked in -[Model save]");

    Report deadlockNoApp(Value::array({frame("libc", "abort")}));
    deadlockNoApp.error.setObject("deadlock", "type");
    EXPECT_EQ(deadlockNoApp.diagnosis(), "Main thread deadlocked in (null)");

    // Overflow outranks the exception it ended in.
    Report overflow;
    overflow.error.setObject("nsexception", "type");
    overflow.error.setObject(Value::dictionary({{"name", "E"}, {"reason", "r"}}), "nsexception");
    overflow.thread.setObject(Value::dictionary({{"overflow", true}}), "stack");
    EXPECT_EQ(overflow.diagnosis(), "Stack overflow in -[Model save]");

    Report exception;
    exception.error.setObject("nsexception", "type");
    exception.error.setObject("outer", "reason");
    exception.error.setObject(Value::dictionary({{"name", "NSRangeException"}, {"reason", "inner"}}), "nsexception");
    exception.signal("SIGSEGV");
    EXPECT_EQ(exception.diagnosis(), "Application threw exception NSRangeException: inner" + kOrigin);
    exception.error["nsexception"].removeObjectForKey("reason");
    EXPECT_EQ(exception.diagnosis(), "Application threw exception NSRangeException: outer" + kOrigin);

    Report fromMain(Value::array({frame("App", "main")}));
    fromMain.error.setObject("nsexception", "type");
    fromMain.error.setObject(Value::dictionary({{"name", "E"}, {"reason", "r"}}), "nsexception");
    EXPECT_EQ(fromMain.diagnosis(), "Application threw exception E: r");

    Report corrupt;
    corrupt.signal("SIGFPE");
    corrupt.thread.setObject(
        Value::dictionary({{"stack@0x10", Value::dictionary({{"type", "string"},
                                                             {"value", "incorrect checksum for freed object"}})}}),
        "notable_addresses");
    EXPECT_EQ(corrupt.diagnosis(), "Rogue memory write has corrupted memory.");
    Report pool(Value::array({frame("libobjc.A.dylib", "lookUpMethod")}));
    EXPECT_EQ(pool.diagnosis(), "Rogue memory write has corrupted memory.");
    Report autorelease;
    autorelease.thread.setObject(
        Value::dictionary({{"rax", Value::dictionary({{"type", "string"},
                                                      {"value", "autorelease pool page 0x1 corrupted"}})}}),
        "notable_addresses");
    EXPECT_TRUE(MaydayDoctor::doctor()->isMemoryCorruption(autorelease.root));
    autorelease.thread["notable_addresses"]["rax"].setObject("autorelease pool page", "value");
    EXPECT_FALSE(MaydayDoctor::doctor()->isMemoryCorruption(autorelease.root));

    // The Mach name wins over the signal when present.
    Report math;
    math.signal("SIGSEGV");
    math.error.setObject(Value::dictionary({{"exception_name", "EXC_ARITHMETIC"}}), "mach");
    EXPECT_EQ(math.diagnosis(), "Math error (usually caused from division by 0)." + kOrigin);

    Report segv;
    segv.signal("SIGSEGV").error.setObject(0, "address");
    EXPECT_EQ(segv.diagnosis(), "Attempted to dereference null pointer." + kOrigin);
    segv.error.setObject(0x10, "address");
    EXPECT_EQ(segv.diagnosis(), "Attempted to dereference garbage pointer 0x10." + kOrigin);
    segv.error.setObject(Value::dictionary({{"exception_name", "EXC_BAD_INSTRUCTION"}}), "mach");
    EXPECT_TRUE(MaydayDoctor::doctor()->diagnoseCrash(segv.root).isNil());
}

TEST(CrashDoctor, ZombieMessage) {
    Report zombie(Value::array({frame("libobjc.A.dylib", "objc_msgSend"), frame("App", "-[Model save]")}));
    zombie.signal("SIGSEGV").error.setObject(0x20, "address");
    zombie.thread.setObject(Value::dictionary({{"basic", Value::dictionary({{"rdi", 0x20}, {"rsi", 0x30}, {"rdx", 0x40}, {"rcx", 0x50}})}}),
                            "registers");
    Value notables = Value::dictionary(
        {{"rdi", Value::dictionary({{"type", "objc_object"}, {"class", "Cell"}, {"last_deallocated_obj", "Model"}})}});
    zombie.thread.setObject(notables, "notable_addresses");
    EXPECT_EQ(zombie.diagnosis(),
              "Possible zombie in call: Function: objc_msgSend\nParam 1:  Cell (instance) (was Model)\n"
              "Param 2:  0x30 \nParam 3:  0x40 \nParam 4:  0x50 " + kOrigin);

    notables.setObject(Value::dictionary({{"type", "string"}, {"value", "setTitle:forState:"}}), "rsi");
    zombie.thread["registers"]["basic"].setObject(0xabc, "rdx");
    EXPECT_EQ(zombie.diagnosis(), "Possible zombie in call: -[Model setTitle:0xabc :0x50]" + kOrigin);

    // Without a deallocated class there is no zombie: the bad access stands.
    notables["rdi"].removeObjectForKey("last_deallocated_obj");
    EXPECT_EQ(zombie.diagnosis(), "Attempted to dereference garbage pointer 0x20." + kOrigin);
}

TEST(CrashDoctor, MessageSendDescription) {
    auto param = [](const char* type, Value value, Value cls, Value previous, bool instance = true) {
        auto p = std::make_shared<MaydayDoctorParam>();
        p->setType(type);
        p->setValue(value);
        p->setClassName(cls);
        p->setPreviousClassName(previous);
        p->setIsInstance(instance);
        return p;
    };
    MaydayDoctorFunctionCall call;
    call.setName("objc_msgSend");
    call.setParams({param("objc_object", {}, "View", {}), param("string", "insert:at:", {}, {}),
                    param("string", "x", {}, {}), param("objc_class", {}, "Dict", {}, false)});
    EXPECT_EQ(call.descriptionForObjCCall().description(), "-[View insert:\"x\" :Dict (class)]");
    EXPECT_EQ(call.descriptionWithParamCount(1), "-[View insert:\"x\" :Dict (class)]");

    call.setParams({param("", {}, {}, {}), param("string", "a:b:c:", {}, {}), param("", {}, {}, "Old"),
                    param("", {}, {}, {})});
    EXPECT_EQ(call.descriptionForObjCCall().description(), "-[id a:Old :? :?]");

    // Not a message send: the plain form, limited to the parameters there are.
    call.setName("objc_retain");
    EXPECT_TRUE(call.descriptionForObjCCall().isNil());
    call.setParams({param("objc_object", "0x1", "Obj", "Gone")});
    EXPECT_EQ(call.descriptionWithParamCount(4), "Function: objc_retain\nParam 1:  Obj (instance) 0x1 (was Gone)");
    EXPECT_EQ(MaydayDoctor::doctor()->zombieCall(call).description(), call.descriptionWithParamCount(1));
    call.setName("free");
    EXPECT_TRUE(MaydayDoctor::doctor()->zombieCall(call).isNil());
}

TEST(CrashDoctor, ReportParts) {
    const auto doctor = MaydayDoctor::doctor();
    using F = MaydayDoctor::CPUFamily;
    auto family = [&](Value arch) {
        return doctor->cpuFamily(Value::dictionary({{"system", Value::dictionary({{"cpu_arch", arch}})}}));
    };
    EXPECT_EQ(family("armv7"), F::Arm);
    EXPECT_EQ(family("i386"), F::X86);
    EXPECT_EQ(family("X86_64"), F::X86_64);
    EXPECT_EQ(family("ppc"), F::Unknown);
    EXPECT_EQ(doctor->cpuFamily(Value::dictionary()), F::Arm);
    EXPECT_EQ(doctor->registerNameForFamily(F::X86, 3).description(), "ecx");
    EXPECT_EQ(doctor->registerNameForFamily(F::Arm, 0).description(), "r0");
    EXPECT_TRUE(doctor->registerNameForFamily(F::X86_64, 4).isNil());
    EXPECT_TRUE(doctor->registerNameForFamily(F::Unknown, 0).isNil());

    // A recrash report's own crashed thread comes before the thread list.
    Report report;
    Value own = Value::dictionary({{"index", 7}});
    EXPECT_TRUE(doctor->crashedThreadReport(report.root).isSameContainer(report.thread));
    report.root["crash"].setObject(own, "crashed_thread");
    EXPECT_TRUE(doctor->crashedThreadReport(report.root).isSameContainer(own));
    EXPECT_TRUE(doctor->lastStackEntry(report.root).isNil());
    EXPECT_EQ(doctor->appendOriginatingCall("t", {}), "t");
}

TEST(CrashDoctor, NoCrashedThreadOrWrongTypes) {
    Report bare;
    bare.threads.removeAllObjects();
    EXPECT_TRUE(MaydayDoctor::doctor()->diagnoseCrash(bare.root).isNil());
    bare.signal("SIGSEGV");
    EXPECT_EQ(bare.diagnosis(), "Attempted to dereference null pointer.");

    const Value odd[] = {
        Value("report"),
        Value::dictionary({{"crash", "text"}, {"system", 3}}),
        Value::dictionary({{"crash", Value::dictionary({{"threads", 5}, {"error", Value::array({1})}})}}),
        Value::dictionary({{"crash", Value::dictionary({{"crashed_thread", "t"}})}, {"report", "r"}}),
    };
    for (const Value& report : odd) {
        Value result;
        EXPECT_NO_THROW(result = MaydayDoctor::doctor()->diagnoseCrash(report));
        EXPECT_TRUE(result.isNil() || result.stringValue().starts_with("No diagnosis due to exception"))
            << result.description();
    }
}
