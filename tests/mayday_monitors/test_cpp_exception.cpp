// Uncaught C++ exceptions in forked children with the recorder installed,
// checked in the report each leaves (type names as the runtime has them).
#include <gtest/gtest.h>

#include <atomic>
#include <dirent.h>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <typeinfo>
#include <unistd.h>
#include <vector>

#include "Mayday/Recording/MaydayC.h"
#include "Mayday/Recording/Tools/MDJSONCodecObjC.h"
#include "platform/foundation/Error.h"
#include "tests/support/CrashChild.h"
#include "tests/support/TempDir.h"

using platform::Value;

namespace {

struct ChildRun {
    zeltest::ChildEnd end;
    std::vector<Value> reports;
};

// The noexcept frame makes the exception uncaught, though the test runner's
// own handlers sit further up in the child.
void runUncaught(const std::function<void()>& body) noexcept { body(); }

ChildRun crash(const std::function<void()>& body, MaydayMonitorFlags monitors = MaydayMonitorTypeDefault) {
    zeltest::TempDir base;
    ChildRun run;
    run.end = zeltest::runInChild([&] {
        // The handler the monitor finds at install; it must still run last.
        std::set_terminate([] {
            if (std::current_exception()) try {
                    throw;
                } catch (const platform::InvalidArgumentException& e) {
                    zeltest::put(e.name().c_str());
                } catch (...) {
                    zeltest::put("previous");
                }
            abort();
        });
        mayday_setMonitoring(monitors);
        if (mayday_install("CppTest", base.path().c_str()) == MaydayMonitorTypeNone) _exit(3);
        runUncaught(body);
    });
    if (DIR* dir = opendir(base.file("Reports").c_str())) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            const std::string text = zeltest::readFile(base.file("Reports") + "/" + entry->d_name);
            run.reports.push_back(MDJSONCodec::decode(Value::Bytes(text.begin(), text.end()), 0));
        }
        closedir(dir);
    }
    return run;
}

Value crashedFrames(const Value& report) {
    for (const Value& thread : report["crash"]["threads"].arrayItems())
        if (thread["crashed"].boolValue()) return thread["backtrace"]["contents"];
    return Value();
}

bool startsIn(const Value& report, const char* function) {
    return crashedFrames(report)[0]["symbol_name"].stringValue().find(function) != std::string::npos;
}

struct Opaque {
    int value;
};

// what() needs a lock that another thread holds for a while: it must be
// asked before that thread is suspended with the lock in hand.
std::mutex g_lock;
struct LockingError : std::exception {
    const char* what() const noexcept override {
        std::lock_guard<std::mutex> hold(g_lock);
        return "needed the lock";
    }
};
void holdTheLockElsewhere() {
    static std::atomic<bool> locked{false};
    std::thread([] {
        std::lock_guard<std::mutex> hold(g_lock);
        locked = true;
        usleep(300000);
    }).detach();
    while (!locked) usleep(1000);
}

__attribute__((noinline)) void throwRuntimeError() { throw std::runtime_error("disk on fire"); }
__attribute__((noinline)) void throwOnThisThread() { throw std::logic_error("this thread"); }
__attribute__((noinline)) void throwOnOtherThread() { throw std::runtime_error("other thread"); }
__attribute__((noinline)) int readPastTheEnd() { return std::vector<int>().at(1); }

TEST(CppExceptionMonitor, ReportsTheThrowWithItsStackThenCallsThePreviousHandler) {
    const ChildRun run = crash(throwRuntimeError);
    EXPECT_EQ(run.end.signal, SIGABRT);
    EXPECT_EQ(run.end.output, "previous");
    ASSERT_EQ(run.reports.size(), 1u);
    const Value error = run.reports[0]["crash"]["error"];
    EXPECT_EQ(error["type"].stringValue(), "cpp_exception");
    EXPECT_EQ(error["cpp_exception"]["name"].stringValue(), typeid(std::runtime_error).name());
    EXPECT_EQ(error["reason"].stringValue(), "disk on fire");
    EXPECT_TRUE(startsIn(run.reports[0], "throwRuntimeError"));
}

TEST(CppExceptionMonitor, DescribesEachKindOfThrownValue) {
    const std::string longText(1500, 'x');
    const std::string cutText(999, 'x');
    const struct {
        std::function<void()> body;
        const char* typeName;
        const char* reason;  // null: none
    } cases[] = {
        {[] { throw 42; }, typeid(int).name(), "42"},
        {[] { throw -7LL; }, typeid(long long).name(), "-7"},
        {[] { throw 2.5; }, typeid(double).name(), "2.500000"},
        {[] { throw "plain text"; }, typeid(const char*).name(), "plain text"},
        {[] { throw Opaque{1}; }, typeid(Opaque).name(), nullptr},
        {[&] { throw std::length_error(longText); }, typeid(std::length_error).name(), cutText.c_str()},
        {[] {
             holdTheLockElsewhere();
             throw LockingError();
         },
         typeid(LockingError).name(), "needed the lock"},
    };
    for (const auto& c : cases) {
        const ChildRun run = crash(c.body);
        EXPECT_EQ(run.end.signal, SIGABRT) << c.typeName;
        ASSERT_EQ(run.reports.size(), 1u) << c.typeName;
        const Value error = run.reports[0]["crash"]["error"];
        EXPECT_EQ(error["cpp_exception"]["name"].stringValue(), c.typeName);
        EXPECT_EQ(error["reason"].isNil() ? "(none)" : error["reason"].stringValue(), c.reason ? c.reason : "(none)");
    }
}

TEST(CppExceptionMonitor, KeepsEachThreadsOwnThrowAndSeesThrowsInsideTheLibrary) {
    // A throw caught on another thread after ours must not take its place.
    ChildRun run = crash([] {
        try {
            throwOnThisThread();
        } catch (...) {
            std::thread([] {
                try {
                    throwOnOtherThread();
                } catch (...) {
                }
            }).join();
            throw;
        }
    });
    ASSERT_EQ(run.reports.size(), 1u);
    EXPECT_TRUE(startsIn(run.reports[0], "throwOnThisThread"));

    // std::vector::at throws from inside libstdc++; the walk goes through it to us.
    run = crash([] { (void)readPastTheEnd(); });
    ASSERT_EQ(run.reports.size(), 1u);
    EXPECT_EQ(run.reports[0]["crash"]["error"]["cpp_exception"]["name"].stringValue(),
              typeid(std::out_of_range).name());
    const Value frames = crashedFrames(run.reports[0]);
    EXPECT_NE(frames[0]["object_name"].stringValue().find("libstdc++"), std::string::npos);
    EXPECT_NE(frames[1]["symbol_name"].stringValue().find("readPastTheEnd"), std::string::npos);
}

TEST(CppExceptionMonitor, TerminateWithoutAnExceptionIsReportedOnce) {
    const ChildRun run = crash([] { std::terminate(); });
    EXPECT_EQ(run.end.signal, SIGABRT);
    ASSERT_EQ(run.reports.size(), 1u);
    const Value error = run.reports[0]["crash"]["error"];
    EXPECT_EQ(error["type"].stringValue(), "cpp_exception");
    EXPECT_TRUE(error["reason"].isNil());
    EXPECT_TRUE(error["cpp_exception"]["name"].isNull());
}

TEST(CppExceptionMonitor, LeavesThePlatformExceptionToThePreviousHandler) {
    struct Subclass : platform::InvalidArgumentException {
        Subclass() : InvalidArgumentException("bad key", "NSSubclassException") {}
    };
    // Without the signal monitor the abort leaves no report of its own.
    for (void (*body)() : {+[] { throw platform::InvalidArgumentException("x"); }, +[] { throw Subclass(); }}) {
        const ChildRun run = crash(body, MaydayMonitorTypeCPPException);
        EXPECT_EQ(run.end.signal, SIGABRT);
        EXPECT_EQ(run.reports.size(), 0u);
        EXPECT_EQ(run.end.output.substr(0, 2), "NS");
    }
}

}  // namespace
