// Exceptions the application reports itself, in forked children with the
// recorder installed: the reports left on disk and how each child went on.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <dirent.h>
#include <functional>
#include <thread>
#include <vector>

#include "Mayday/Recording/MaydayC.h"
#include "Mayday/Recording/Monitors/MaydayMonitor.h"
#include "Mayday/Recording/Monitors/MaydayMonitor_UserReported.h"
#include "Mayday/Recording/Tools/MDJSONCodecObjC.h"
#include "tests/support/CrashChild.h"
#include "tests/support/DeliberateFault.h"
#include "tests/support/TempDir.h"

using platform::Value;

namespace {

struct UserRun {
    zeltest::ChildEnd end;
    std::vector<Value> errors;  // each report's crash.error, in the order written
    std::string consoleLog;
    std::string crashedStack;  // symbols of the crashed threads, one a line
};

UserRun runReporting(const std::function<void()>& body, MaydayMonitorFlags monitors = MaydayMonitorTypeDefault) {
    zeltest::TempDir base;
    UserRun run;
    run.end = zeltest::runInChild([&] {
        mayday_setMonitoring(monitors);
        if (mayday_install("UserTest", base.path().c_str()) == MaydayMonitorTypeNone) _exit(3);
        body();
    });
    std::vector<std::string> names;  // the ids in the names grow
    if (DIR* dir = opendir(base.file("Reports").c_str())) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') names.push_back(base.file("Reports") + "/" + entry->d_name);
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string text = zeltest::readFile(name);
        const Value report = MDJSONCodec::decode(Value::Bytes(text.begin(), text.end()), 0);
        run.errors.push_back(report["crash"]["error"]);
        for (const Value& thread : report["crash"]["threads"].arrayItems())
            if (thread["crashed"].boolValue())
                for (const Value& frame : thread["backtrace"]["contents"].arrayItems())
                    run.crashedStack += frame["symbol_name"].stringValue() + "\n";
    }
    run.consoleLog = zeltest::readFile(base.file("Data/ConsoleLog.txt"));
    return run;
}

__attribute__((noinline)) void reportFatally() {
    mdcm_reportUserException("QuotaError", "over quota", "C++", "quota.cpp:12", "[\"frame 1\"]", true, true);
}

TEST(UserReportedMonitor, AFatalReportIsWrittenOnceAndEndsTheProcess) {
    const UserRun run = runReporting([] {
        std::thread([] { pause(); }).detach();
        reportFatally();
        zeltest::put("returned");
    });
    EXPECT_EQ(run.end.signal, SIGABRT);
    EXPECT_EQ(run.end.output, "");
    ASSERT_EQ(run.errors.size(), 1u);
    EXPECT_EQ(run.errors[0]["type"].stringValue(), "user");
    EXPECT_EQ(run.errors[0]["reason"].stringValue(), "over quota");
    const Value user = run.errors[0]["user_reported"];
    EXPECT_EQ(user["name"].stringValue() + user["language"].stringValue() + user["line_of_code"].stringValue(),
              "QuotaErrorC++quota.cpp:12");
    EXPECT_EQ(user["backtrace"][0].stringValue(), "frame 1");
    EXPECT_NE(run.crashedStack.find("reportFatally"), std::string::npos) << run.crashedStack;
}

TEST(UserReportedMonitor, ANonFatalReportLetsEverythingGoOn) {
    const UserRun run = runReporting([] {
        static std::atomic<int> ticks{0};
        std::thread([] {
            for (;;) ticks++, usleep(1000);
        }).detach();
        const MaydayMonitorFlags before = mdcm_activeMonitorTypes();
        mdcm_reportUserException("Soft", "only a warning", "C++", nullptr, nullptr, true, false);
        if (mdcm_activeMonitorTypes() == before) zeltest::put("monitors kept;");
        const int seen = ticks.load();  // the suspended thread was resumed
        for (int i = 0; i < 1000 && ticks.load() == seen; i++) usleep(10000);
        if (ticks.load() != seen) zeltest::put("thread resumed;");
        (void)zeltest::readAddress(0);
    });
    EXPECT_EQ(run.end.output, "monitors kept;thread resumed;");
    EXPECT_EQ(run.end.signal, SIGSEGV);
    ASSERT_EQ(run.errors.size(), 2u);
    EXPECT_EQ(run.errors[0]["type"].stringValue(), "user");
    EXPECT_EQ(run.errors[1]["type"].stringValue(), "mach");
}

TEST(UserReportedMonitor, ReportingWhileOffOnlyWarns) {
    const UserRun run = runReporting(reportFatally, MaydayMonitorTypeDefault & ~MaydayMonitorTypeUserReported);
    EXPECT_TRUE(run.end.exited);
    EXPECT_EQ(run.errors.size(), 0u);
    const size_t at =
        run.consoleLog.find("User-reported exception monitor is not installed. Exception has not been recorded.");
    ASSERT_NE(at, std::string::npos) << run.consoleLog;
    EXPECT_EQ(run.consoleLog.rfind("WARN : ", at), run.consoleLog.rfind('\n', at) + 1);
}

}  // namespace
