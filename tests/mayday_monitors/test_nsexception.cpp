// The NSException monitor: uncaught platform exceptions in forked children,
// with the whole recorder installed (its report read back) or with the
// monitor alone behind the frame.
#include "Mayday/Recording/Monitors/MaydayMonitor_NSException.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <ctime>
#include <dirent.h>
#include <pthread.h>

#include "CrashChild.h"
#include "Mayday/Recording/MaydayC.h"
#include "Mayday/Recording/Tools/MDJSONCodecObjC.h"
#include "TempDir.h"
#include "platform/foundation/UncaughtException.h"

using platform::Value;

namespace {

__attribute__((noinline)) void raiseBadKey() { throw platform::InvalidArgumentException("bad key"); }
// The noexcept frame keeps the test framework from catching what `body` throws.
void uncaught(void (*body)()) noexcept { body(); }

std::atomic<unsigned long> g_ticks{0};
void* tick(void*) {
    for (;;) g_ticks.fetch_add(1);
}

// Installed before the recorder: says whether the other threads run again.
void previousHandler(const platform::InvalidArgumentException& exception) {
    const unsigned long before = g_ticks.load();
    const timespec pause = {0, 10000000};
    for (int i = 0; i < 300 && g_ticks.load() == before; i++) nanosleep(&pause, nullptr);  // up to 3 s
    zeltest::put(g_ticks.load() != before ? "threads run " : "threads stopped ");
    zeltest::put(exception.reason().c_str());
}

TEST(NSExceptionMonitor, AnUncaughtPlatformExceptionGivesOneReportThenThePreviousHandlerRuns) {
    zeltest::TempDir base;
    const zeltest::ChildEnd end = zeltest::runInChild([&] {
        platform::setUncaughtExceptionHandler(previousHandler);
        mayday_setMonitoring(MaydayMonitorTypeDefault | MaydayMonitorTypeZombie);
        if ((mayday_install("NSExceptionTest", base.path().c_str()) & MaydayMonitorTypeNSException) == 0) _exit(3);
        { platform::InvalidArgumentException freed("gone", "FreedName"); }
        pthread_t thread;
        pthread_create(&thread, nullptr, tick, nullptr);
        uncaught(raiseBadKey);
    });
    EXPECT_EQ(end.signal, SIGABRT);
    EXPECT_EQ(end.output, "threads run bad key");
    std::vector<std::string> reports;
    if (DIR* dir = opendir(base.file("Reports").c_str())) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') reports.push_back(zeltest::readFile(base.file("Reports") + "/" + entry->d_name));
        closedir(dir);
    }
    ASSERT_EQ(reports.size(), 1u);
    const Value report = MDJSONCodec::decode(Value::Bytes(reports[0].begin(), reports[0].end()), 0, nullptr);

    const Value error = report["crash"]["error"];
    EXPECT_EQ(error["type"].stringValue(), "nsexception");
    EXPECT_EQ(error["nsexception"]["name"].stringValue(), "NSInvalidArgumentException");
    EXPECT_EQ(error["reason"].stringValue(), "bad key");
    // The zombie monitor adds the exception freed before.
    EXPECT_EQ(report["process"]["last_dealloced_nsexception"]["name"].stringValue(), "FreedName");
    EXPECT_EQ(report["process"]["last_dealloced_nsexception"]["reason"].stringValue(), "gone");
    int crashed = 0;
    for (const Value& thread : report["crash"]["threads"].arrayItems()) {
        if (!thread["crashed"].boolValue()) continue;
        crashed++;
        // The exception's own stack, not the terminate path's. An
        // instrumented build may keep a frame of the exception's constructor
        // (its complete-object form calling the base one) in front.
        const Value frames = thread["backtrace"]["contents"];
        std::string top = frames[0]["symbol_name"].stringValue();
        if (top.find("InvalidArgumentExceptionC") != std::string::npos) top = frames[1]["symbol_name"].stringValue();
        EXPECT_NE(top.find("raiseBadKey"), std::string::npos) << top;
    }
    EXPECT_EQ(crashed, 1);
}

void markPrevious(const platform::InvalidArgumentException&) { zeltest::put("previous;"); }

TEST(NSExceptionMonitor, DisablingPutsThePreviousHandlerBackAndTheProcessStillAborts) {
    const zeltest::ChildEnd end = zeltest::runInChild([] {
        platform::setUncaughtExceptionHandler(markPrevious);
        mdcm_setEventHandler([](Mayday_MonitorContext*) { zeltest::put("event;"); });
        mdcm_selectMonitors(MaydayMonitorTypeNSException);
        if (platform::getUncaughtExceptionHandler() == markPrevious) _exit(4);
        mdcm_selectMonitors(MaydayMonitorTypeNone);
        uncaught(raiseBadKey);
    });
    EXPECT_EQ(end.signal, SIGABRT) << end.exitStatus;
    EXPECT_EQ(end.output, "previous;");
}

}  // namespace
