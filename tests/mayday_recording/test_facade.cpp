// The recorder as a program uses it: Mayday::sharedInstance()->install() in
// a child that then crashes in every way, the one report each leaves, read
// back through the facade in another child, and the facade's own rules.
#include <gtest/gtest.h>

#include <cstdlib>
#include <dirent.h>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "Mayday/Recording/Mayday.h"
#include "Mayday/Recording/Tools/MDJSONCodecObjC.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Error.h"
#include "platform/objc/Runtime.h"
#include "tests/support/CrashCases.h"
#include "tests/support/TempDir.h"

using platform::Value;

namespace {

// A caches directory and a bundle of the child's own.
struct Sandbox {
    zeltest::TempDir caches;
    zeltest::TempDir bundle;
    explicit Sandbox(const std::string& bundleName = "FacadeTest") {
        std::string plist =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
            "<key>CFBundleIdentifier</key><string>com.example.facade</string>";
        if (!bundleName.empty()) plist += "<key>CFBundleName</key><string>" + bundleName + "</string>";
        zeltest::writeFile(bundle.file("Info.plist"), plist + "</dict></plist>\n");
    }
    // Called first thing in the child.
    void enter() const {
        setenv("XDG_CACHE_HOME", caches.path().c_str(), 1);
        platform::Bundle::setMainBundlePath(bundle.path());
    }
    std::string reports(const std::string& bundleName = "FacadeTest") const {
        return caches.path() + "/Mayday/" + bundleName + "/Reports";
    }
};

int fileCount(const std::string& directory) {
    int count = 0;
    if (DIR* dir = opendir(directory.c_str())) {
        while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
        closedir(dir);
    }
    return count;
}

// Every stored report, read back through the facade in a child of its own.
Value readBack(const Sandbox& sandbox) {
    const zeltest::ChildEnd end = zeltest::runInChild([&] {
        sandbox.enter();
        Mayday* mayday = Mayday::sharedInstance();
        if (mayday == nullptr || !mayday->install()) _exit(3);
        const auto json = MDJSONCodec::encode(mayday->allReports(), 0);
        zeltest::put("\n<<<");
        if (json) zeltest::put(std::string(json->begin(), json->end()).c_str());
    });
    const size_t at = end.output.find("<<<");
    if (at == std::string::npos) return Value();
    const std::string text = end.output.substr(at + 3);
    return MDJSONCodec::decode(Value::Bytes(text.begin(), text.end()), 0);
}

[[noreturn]] __attribute__((noinline)) void throwRuntimeError() { throw std::runtime_error("the flux capacitor"); }
[[noreturn]] void throwInt() { throw 42; }
[[noreturn]] void throwText() { throw "plain text"; }
[[noreturn]] void terminateWithoutException() { std::terminate(); }
[[noreturn]] void raisePlatformException() { throw platform::InvalidArgumentException("bad key", "NSInvalidArgumentException"); }
void reportFatally() {
    Mayday::sharedInstance()->reportUserException(
        "CustomError", "something broke", "lua", "x = y + 1",
        Value::array({Value::dictionary({{"file", "main.lua"}, {"line", 12}})}), false, true);
}

// Nothing in the child may catch what the crash throws (the test framework
// would): a throw that leaves this is uncaught, as in a program's main.
void crashUncaught(void (*crash)()) noexcept { crash(); }

struct MatrixCase {
    const char* name;
    void (*crash)();
    int signal;        // how a process without the recorder ends
    const char* type;  // the report's error type
};

class FacadeCrashMatrix : public ::testing::TestWithParam<MatrixCase> {};

TEST_P(FacadeCrashMatrix, OneReportReadBackAndTheUsualEnd) {
    static MatrixCase current;
    current = GetParam();
    Sandbox sandbox;
    const zeltest::ChildEnd end = zeltest::runInChild([&] {
        sandbox.enter();
        if (!Mayday::sharedInstance()->install()) _exit(3);
        crashUncaught(current.crash);
    });
    EXPECT_FALSE(end.timedOut);
    EXPECT_EQ(end.signal, current.signal) << end.output;
    ASSERT_EQ(fileCount(sandbox.reports()), 1) << end.output;
    const Value reports = readBack(sandbox);
    ASSERT_EQ(reports.count(), 1u);
    const Value error = reports[0]["crash"]["error"];
    EXPECT_EQ(error["type"].stringValue(), current.type) << error.description();
    EXPECT_TRUE(reports[0]["crash"]["threads"].count() > 0);
}

INSTANTIATE_TEST_SUITE_P(
    Crashes, FacadeCrashMatrix,
    ::testing::Values(MatrixCase{"NullRead", zeltest::nullRead, SIGSEGV, "mach"},
                      MatrixCase{"ReadOnlyWrite", zeltest::writeReadOnlyPage, SIGSEGV, "mach"},
                      MatrixCase{"MainStackOverflow", zeltest::overflowStack, SIGSEGV, "mach"},
                      MatrixCase{"ThreadStackOverflow", zeltest::overflowSmallThreadStack, SIGSEGV, "mach"},
                      MatrixCase{"Abort", zeltest::callAbort, SIGABRT, "signal"},
                      MatrixCase{"IllegalInstruction", zeltest::illegalInstruction, SIGILL, "mach"},
                      MatrixCase{"DivisionByZero", zeltest::divideByZero, SIGFPE, "mach"},
                      MatrixCase{"Breakpoint", zeltest::breakpoint, SIGTRAP, "mach"},
                      MatrixCase{"BusError", zeltest::busError, SIGBUS, "mach"},
                      MatrixCase{"RuntimeError", throwRuntimeError, SIGABRT, "cpp_exception"},
                      MatrixCase{"ThrownInt", throwInt, SIGABRT, "cpp_exception"},
                      MatrixCase{"ThrownText", throwText, SIGABRT, "cpp_exception"},
                      MatrixCase{"TerminateWithoutException", terminateWithoutException, SIGABRT, "cpp_exception"},
                      MatrixCase{"PlatformException", raisePlatformException, SIGABRT, "nsexception"},
                      MatrixCase{"FatalReportedException", reportFatally, SIGABRT, "user"}),
    [](const ::testing::TestParamInfo<MatrixCase>& info) { return std::string(info.param.name); });

TEST(FacadeCrashDetails, ExceptionsComeBackWithTheirNamesReasonsAndThrowSites) {
    struct Expectation {
        void (*crash)();
        const char* nameKey;
        const char* name;
        const char* reason;
        const char* firstFrame;
    };
    const Expectation cases[] = {
        {throwRuntimeError, "cpp_exception", "std::runtime_error", "the flux capacitor", "throwRuntimeError"},
        {throwInt, "cpp_exception", "int", "42", "throwInt"},
        {throwText, "cpp_exception", "char const*", "plain text", "throwText"},
        {raisePlatformException, "nsexception", "NSInvalidArgumentException", "bad key", "raisePlatformException"},
    };
    for (const Expectation& expected : cases) {
        Sandbox sandbox;
        static void (*crash)() = nullptr;
        crash = expected.crash;
        zeltest::runInChild([&] {
            sandbox.enter();
            Mayday::sharedInstance()->install();
            crashUncaught(crash);
        });
        const Value reports = readBack(sandbox);
        ASSERT_EQ(reports.count(), 1u) << expected.name;
        const Value error = reports[0]["crash"]["error"];
        EXPECT_EQ(error[expected.nameKey]["name"].stringValue(), expected.name);
        EXPECT_EQ(error["reason"].stringValue(), expected.reason);
        Value crashed;
        for (const Value& thread : reports[0]["crash"]["threads"].arrayItems())
            if (thread["crashed"].boolValue()) crashed = thread;
        // An instrumented build may keep a frame of the platform exception's
        // constructor (its complete-object form calling the base one) in front.
        const Value frames = crashed["backtrace"]["contents"];
        std::string first = frames[0]["symbol_name"].stringValue();
        if (first.find("InvalidArgumentException::InvalidArgumentException") != std::string::npos)
            first = frames[1]["symbol_name"].stringValue();
        EXPECT_NE(first.find(expected.firstFrame), std::string::npos) << expected.name << ": " << first;
    }
}

TEST(FacadeCrashDetails, ANonFatalReportLeavesTheRecorderOnForTheNextCrash) {
    Sandbox sandbox;
    const zeltest::ChildEnd end = zeltest::runInChild([&] {
        sandbox.enter();
        Mayday* mayday = Mayday::sharedInstance();
        mayday->install();
        mayday->reportUserException("Warning", "not fatal", Value(), Value(), Value(), false, false);
        zeltest::put("still running\n");
        zeltest::nullRead();
    });
    EXPECT_NE(end.output.find("still running"), std::string::npos);
    EXPECT_EQ(end.signal, SIGSEGV);
    const Value reports = readBack(sandbox);
    ASSERT_EQ(reports.count(), 2u);
    EXPECT_EQ(reports[0]["crash"]["error"]["type"].stringValue(), "user");
    EXPECT_EQ(reports[0]["crash"]["error"]["user_reported"]["name"].stringValue(), "Warning");
    EXPECT_EQ(reports[1]["crash"]["error"]["type"].stringValue(), "mach");
    // Read back with the doctor's word on it.
    EXPECT_EQ(reports[1]["crash"]["diagnosis"].stringValue().rfind("Attempted to dereference null pointer.", 0), 0u)
        << reports[1]["crash"]["diagnosis"].description();
}

TEST(FacadeCrashDetails, AFatalReportedExceptionKeepsItsCustomStackTrace) {
    Sandbox sandbox;
    const zeltest::ChildEnd end = zeltest::runInChild([&] {
        sandbox.enter();
        Mayday::sharedInstance()->install();
        reportFatally();
    });
    EXPECT_EQ(end.signal, SIGABRT);
    const Value reports = readBack(sandbox);
    ASSERT_EQ(reports.count(), 1u);
    const Value error = reports[0]["crash"]["error"];
    EXPECT_EQ(error["reason"].stringValue(), "something broke");
    const Value reported = error["user_reported"];
    EXPECT_EQ(reported["name"].stringValue(), "CustomError");
    EXPECT_EQ(reported["language"].stringValue(), "lua");
    EXPECT_EQ(reported["line_of_code"].stringValue(), "x = y + 1");
    EXPECT_EQ(reported["backtrace"][0]["file"].stringValue(), "main.lua");
    EXPECT_EQ(reported["backtrace"][0]["line"].longLongValue(), 12);
}

// Faults with `address` in r12, where the notable-address scan finds it.
__attribute__((noinline)) void crashHolding(uintptr_t address) {
    __asm__ volatile("movq %0, %%r12\n\tmovl (%1), %%eax" : : "r"(address), "r"(uintptr_t(0)) : "r12", "eax", "memory");
}

TEST(FacadeCrashDetails, AReleasedObjectARegisterStillHoldsIsNamed) {
    Sandbox sandbox;
    zeltest::runInChild([&] {
        sandbox.enter();
        Mayday* mayday = Mayday::sharedInstance();
        mayday->setCatchZombies(true);
        mayday->install();
        namespace objc = platform::objc;
        objc::ObjectHeap heap(false);
        objc::Class* cls = objc::defineClass("FacadeZombie", objc::classNamed("NSObject"), {});
        void* object = heap.makeObject(cls);
        objc::release(object);
        crashHolding(reinterpret_cast<uintptr_t>(object));
    });
    const Value reports = readBack(sandbox);
    ASSERT_EQ(reports.count(), 1u);
    Value crashed;
    for (const Value& thread : reports[0]["crash"]["threads"].arrayItems())
        if (thread["crashed"].boolValue()) crashed = thread;
    EXPECT_EQ(crashed["notable_addresses"]["r12"]["last_deallocated_obj"].stringValue(), "FacadeZombie")
        << crashed["notable_addresses"].description();
}

TEST(FacadeReading, AReportCutShortIsReadAsFarAsItGoesAndNonsenseIsSkipped) {
    Sandbox sandbox;
    const std::string whole = zeltest::readFile(ZEL_SOURCE_DIR "/tests/fixtures/reports/mach_null_read.json");
    ASSERT_FALSE(whole.empty());
    std::filesystem::create_directories(sandbox.reports());
    zeltest::writeFile(sandbox.reports() + "/FacadeTest-report-0000000000000001.json", whole.substr(0, whole.size() / 3));
    zeltest::writeFile(sandbox.reports() + "/FacadeTest-report-0000000000000002.json", "not a report");
    const Value reports = readBack(sandbox);
    ASSERT_EQ(reports.count(), 1u) << reports.description();
    EXPECT_EQ(reports[0]["report"]["type"].stringValue(), "standard");
    EXPECT_GT(reports[0]["binary_images"].count(), 0u);
}

TEST(FacadeInstall, ASecondInstallChangesNothingAndABundleWithoutANameIsUnknown) {
    Sandbox sandbox("");
    const zeltest::ChildEnd end = zeltest::runInChild([&] {
        sandbox.enter();
        Mayday* mayday = Mayday::sharedInstance();
        zeltest::put(mayday->bundleName().c_str());
        const bool first = mayday->install();
        const MaydayMonitorFlags active = mayday->monitoring();
        const bool second = mayday->install();
        zeltest::put(first && second && mayday->monitoring() == active ? " same" : " changed");
        zeltest::nullRead();
    });
    EXPECT_EQ(end.output.substr(end.output.size() - 12), "Unknown same") << end.output;
    EXPECT_EQ(fileCount(sandbox.reports("Unknown")), 1);
}

TEST(FacadeInstall, AReportDirectoryThatCannotBeMadeFailsTheInstall) {
    Sandbox sandbox;
    // A file where the recorder's directory would go.
    zeltest::writeFile(sandbox.caches.file("Mayday"), "not a directory");
    const zeltest::ChildEnd end = zeltest::runInChild([&] {
        sandbox.enter();
        zeltest::put(Mayday::sharedInstance()->install() ? "installed" : "refused");
    });
    EXPECT_EQ(end.output.substr(end.output.size() - 7), "refused") << end.output;
}

// A sink that takes everything and remembers how many it got.
class CountingSink : public MaydayReportFilter {
public:
    size_t received = 0;
    bool succeed = true;
    void filterReports(Value reports, MaydayReportFilterCompletion onCompletion) override {
        received += reports.count();
        onCompletion(reports, succeed, std::nullopt);
    }
};

TEST(FacadeSending, OnlyTheReportsHandedToTheSinkAreDeleted) {
    Sandbox sandbox;
    for (int i = 0; i < 2; i++) zeltest::runInChild([&] {
            sandbox.enter();
            Mayday::sharedInstance()->install();
            zeltest::nullRead();
        });
    zeltest::writeFile(sandbox.reports() + "/FacadeTest-report-7fffffffffffffff.json", "{ not json");
    const zeltest::ChildEnd end = zeltest::runInChild([&] {
        sandbox.enter();
        Mayday* mayday = Mayday::sharedInstance();
        mayday->install();
        auto sink = std::make_shared<CountingSink>();
        mayday->setSink(sink);
        mayday->sendAllReportsWithCompletion([&](Value, bool completed, platform::OptionalError error) {
            zeltest::put(completed && !error ? "completed " : "failed ");
        });
        zeltest::put(std::to_string(sink->received).c_str());
    });
    EXPECT_NE(end.output.find("completed 2"), std::string::npos) << end.output;
    EXPECT_EQ(fileCount(sandbox.reports()), 1);  // the unreadable one stays
}

TEST(FacadeSending, NoSinkIsAnErrorAndNoReportsComplete) {
    Sandbox sandbox;
    const zeltest::ChildEnd end = zeltest::runInChild([&] {
        sandbox.enter();
        Mayday* mayday = Mayday::sharedInstance();
        mayday->install();
        mayday->sendReports(Value::array(), [](Value, bool completed, platform::OptionalError error) {
            zeltest::put(completed && !error ? "empty ok;" : "empty failed;");
        });
        mayday->sendReports(Value::array({Value::dictionary()}), [](Value, bool completed, platform::OptionalError error) {
            zeltest::put(!completed && error ? error->localizedDescription.c_str() : "no error");
        });
    });
    EXPECT_NE(end.output.find("empty ok;No sink set. Crash reports not sent."), std::string::npos) << end.output;
}

}  // namespace
