// The crash doctor. The rules run in a fixed order and the first that
// applies wins: the error type alone settles deadlocks, stack overflows
// outrank whatever exception the overflow ended in, and a bad access is
// only a guess once no narrower rule matched.
#include "Mayday/Reporting/Filters/MaydayDoctor.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <string_view>

#include "platform/foundation/Format.h"

using platform::Value;

namespace {

bool isText(const Value& v, std::string_view text) { return v.isString() && v.stringValue() == text; }

bool contains(const std::string& haystack, std::string_view needle) {
    return haystack.find(needle) != std::string::npos;
}

bool containsIgnoringCase(std::string haystack, std::string needle) {
    auto lower = [](std::string& s) {
        std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    };
    lower(haystack);
    lower(needle);
    return contains(haystack, needle);
}

// The error's Mach exception name decides when the report has a Mach part;
// only without one does the signal name count.
bool errorNames(const Value& errorReport, std::string_view machName, std::string_view signalName) {
    const Value mach = errorReport["mach"];
    if (!mach.isNil()) return isText(mach["exception_name"], machName);
    return isText(errorReport["signal"]["name"], signalName);
}

std::string noDiagnosis(const std::string& exception) {
    return platform::format("No diagnosis due to exception %@\nPlease file a bug report to the Mayday project.",
                            exception);
}

}  // namespace

std::shared_ptr<MaydayDoctor> MaydayDoctor::doctor() { return std::make_shared<MaydayDoctor>(); }

Value MaydayDoctor::recrashReport(const Value& report) const { return report["recrash_report"]; }
Value MaydayDoctor::systemReport(const Value& report) const { return report["system"]; }
Value MaydayDoctor::crashReport(const Value& report) const { return report["crash"]; }
Value MaydayDoctor::infoReport(const Value& report) const { return report["report"]; }
Value MaydayDoctor::errorReport(const Value& report) const { return crashReport(report)["error"]; }

MaydayDoctor::CPUFamily MaydayDoctor::cpuFamily(const Value& report) const {
    const Value arch = systemReport(report)["cpu_arch"];
    // A search on a missing text answers position 0, so no architecture
    // reads as arm.
    if (arch.isNil()) return CPUFamily::Arm;
    const std::string& text = arch.stringValue();
    if (text.find("arm") == 0) return CPUFamily::Arm;
    if (text.find('i') == 0 && text.find("86") == 2) return CPUFamily::X86;
    if (containsIgnoringCase(text, "x86_64")) return CPUFamily::X86_64;
    return CPUFamily::Unknown;
}

Value MaydayDoctor::registerNameForFamily(CPUFamily family, int paramIndex) const {
    static const char* const arm[] = {"r0", "r1", "r2", "r3"};
    static const char* const x86[] = {"edi", "esi", "edx", "ecx"};
    static const char* const x86_64[] = {"rdi", "rsi", "rdx", "rcx"};
    if (paramIndex < 0 || paramIndex > 3) return Value();
    switch (family) {
    case CPUFamily::Arm: return Value(arm[paramIndex]);
    case CPUFamily::X86: return Value(x86[paramIndex]);
    case CPUFamily::X86_64: return Value(x86_64[paramIndex]);
    case CPUFamily::Unknown: break;
    }
    return Value();
}

Value MaydayDoctor::mainExecutableNameForReport(const Value& report) const {
    return infoReport(report)["process_name"];
}

Value MaydayDoctor::crashedThreadReport(const Value& report) const {
    const Value crash = crashReport(report);
    // A recrash report carries its offending thread directly.
    Value thread = crash["crashed_thread"];
    if (!thread.isNil()) return thread;
    for (const Value& candidate : crash["threads"].arrayItems())
        if (candidate["crashed"].boolValue()) return candidate;
    return Value();
}

Value MaydayDoctor::backtraceFromThreadReport(const Value& thread) const { return thread["backtrace"]["contents"]; }

Value MaydayDoctor::basicRegistersFromThreadReport(const Value& thread) const { return thread["registers"]["basic"]; }

Value MaydayDoctor::lastInAppStackEntry(const Value& report) const {
    return lastInAppStackEntryOfThread(report, crashedThreadReport(report));
}

Value MaydayDoctor::lastInAppStackEntryOfThread(const Value& report, const Value& thread) const {
    const Value executable = mainExecutableNameForReport(report);
    if (!executable.isString()) return Value();
    for (const Value& entry : backtraceFromThreadReport(thread).arrayItems())
        if (isText(entry["object_name"], executable.stringValue())) return entry;
    return Value();
}

Value MaydayDoctor::lastStackEntry(const Value& report) const {
    return backtraceFromThreadReport(crashedThreadReport(report))[0];
}

bool MaydayDoctor::isInvalidAddress(const Value& errorReport) const {
    return errorNames(errorReport, "EXC_BAD_ACCESS", "SIGSEGV");
}

bool MaydayDoctor::isMathError(const Value& errorReport) const {
    return errorNames(errorReport, "EXC_ARITHMETIC", "SIGFPE");
}

bool MaydayDoctor::isMemoryCorruption(const Value& report) const {
    const Value thread = crashedThreadReport(report);
    // What the allocator and the autorelease pool print when they find
    // their own structures overwritten.
    for (const auto& [name, notable] : thread["notable_addresses"].dictionaryItems()) {
        (void)name;
        if (!isText(notable["type"], "string")) continue;
        const std::string& value = notable["value"].stringValue();
        if (contains(value, "autorelease pool page") && contains(value, "corrupted")) return true;
        if (contains(value, "incorrect checksum for freed object")) return true;
    }
    // Frames that only fault on an already damaged heap or pool.
    for (const Value& entry : backtraceFromThreadReport(thread).arrayItems()) {
        const Value symbol = entry["symbol_name"];
        if (isText(symbol, "objc_autoreleasePoolPush") || isText(symbol, "free_list_checksum_botch") ||
            isText(symbol, "szone_malloc_should_clear"))
            return true;
        if (isText(symbol, "lookUpMethod") && isText(entry["object_name"], "libobjc.A.dylib")) return true;
    }
    return false;
}

std::shared_ptr<MaydayDoctorFunctionCall> MaydayDoctor::lastFunctionCall(const Value& report) const {
    auto call = std::make_shared<MaydayDoctorFunctionCall>();
    call->setName(lastStackEntry(report)["symbol_name"]);

    const Value thread = crashedThreadReport(report);
    const Value registers = basicRegistersFromThreadReport(thread);
    const Value notables = thread["notable_addresses"];
    const CPUFamily family = cpuFamily(report);
    MaydayDoctorFunctionCall::Params params;
    for (int i = 0; i < 4; ++i) {
        const Value registerName = registerNameForFamily(family, i);
        if (registerName.isNil()) break;
        auto param = std::make_shared<MaydayDoctorParam>();
        param->setAddress(registers[registerName.stringValue()].unsignedLongLongValue());
        const Value notable = notables[registerName.stringValue()];
        if (!notable.isNil()) {
            const Value type = notable["type"];
            param->setType(type);
            if (isText(type, "string")) {
                param->setValue(notable["value"]);
            } else if (isText(type, "objc_object")) {
                param->setClassName(notable["class"]);
                param->setIsInstance(true);
            } else if (isText(type, "objc_class")) {
                param->setClassName(notable["class"]);
                param->setIsInstance(false);
            }
            param->setPreviousClassName(notable["last_deallocated_obj"]);
        } else {
            // The "%p" form of the platform the texts come from: "0x0" for zero, not glibc's "(nil)".
            param->setValue(Value(platform::format("0x%llx", static_cast<unsigned long long>(param->address()))));
        }
        params.push_back(std::move(param));
    }
    call->setParams(std::move(params));
    return call;
}

Value MaydayDoctor::zombieCall(const MaydayDoctorFunctionCall& call) const {
    const auto& params = call.params();
    if (params.empty() || params[0]->previousClassName().isNil()) return Value();
    if (isText(call.name(), "objc_msgSend")) return Value(call.descriptionWithParamCount(4));
    if (isText(call.name(), "objc_retain")) return Value(call.descriptionWithParamCount(1));
    return Value();
}

bool MaydayDoctor::isStackOverflow(const Value& crashedThread) const {
    return crashedThread["stack"]["overflow"].boolValue();
}

bool MaydayDoctor::isDeadlock(const Value& report) const { return isText(errorReport(report)["type"], "deadlock"); }

std::string MaydayDoctor::appendOriginatingCall(const std::string& text, const Value& callName) const {
    if (callName.isNil() || isText(callName, "main")) return text;
    return text + platform::format("\nOriginated at or in a subcall of %@", callName);
}

Value MaydayDoctor::diagnose(const Value& report) const {
    const Value lastFunctionName = lastInAppStackEntry(report)["symbol_name"];
    const Value crashedThread = crashedThreadReport(report);
    const Value error = errorReport(report);

    if (isDeadlock(report)) {
        // The watchdog reports the hung main thread without marking it
        // crashed; the thread list starts with the main thread.
        Value hungIn = lastFunctionName;
        if (crashedThread.isNil()) hungIn = lastInAppStackEntryOfThread(report, crashReport(report)["threads"][0])["symbol_name"];
        return Value(platform::format("Main thread deadlocked in %@", hungIn));
    }
    if (isStackOverflow(crashedThread)) return Value(platform::format("Stack overflow in %@", lastFunctionName));

    if (isText(error["type"], "nsexception")) {
        const Value exception = error["nsexception"];
        Value reason = exception["reason"];
        if (reason.isNil()) reason = error["reason"];
        return Value(appendOriginatingCall(
            platform::format("Application threw exception %@: %@", exception["name"], reason), lastFunctionName));
    }
    if (isMemoryCorruption(report)) return Value("Rogue memory write has corrupted memory.");
    if (isMathError(error))
        return Value(appendOriginatingCall("Math error (usually caused from division by 0).", lastFunctionName));

    const Value zombie = zombieCall(*lastFunctionCall(report));
    if (!zombie.isNil())
        return Value(appendOriginatingCall(platform::format("Possible zombie in call: %@", zombie), lastFunctionName));

    if (isInvalidAddress(error)) {
        const unsigned long long address = error["address"].unsignedLongLongValue();
        const std::string text = address == 0
                                     ? std::string("Attempted to dereference null pointer.")
                                     : platform::format("Attempted to dereference garbage pointer %p.", address);
        return Value(appendOriginatingCall(text, lastFunctionName));
    }
    return Value();
}

Value MaydayDoctor::diagnoseCrash(const Value& report) const {
    // Diagnosing is a courtesy to whoever reads the report: a fault in it
    // must never cost the report itself.
    try {
        return diagnose(report);
    } catch (const std::exception& e) {
        return Value(noDiagnosis(e.what()));
    } catch (...) {
        return Value(noDiagnosis("(unknown exception)"));
    }
}
