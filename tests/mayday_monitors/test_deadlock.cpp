// The deadlock monitor in forked children: a blocked main queue is reported
// with the main thread's stack and aborts; without an interval nothing is
// reported; the watchdog thread comes and goes with the monitor, also when
// it is switched quickly with pulses in flight.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <sys/syscall.h>

#include "CrashChild.h"
#include "Mayday/Recording/MaydayC.h"
#include "Mayday/Recording/Monitors/MaydayMonitor_Deadlock.h"
#include "Mayday/Recording/Tools/MDJSONCodecObjC.h"
#include "Mayday/Recording/Tools/MDThread.h"
#include "TempDir.h"
#include "platform/dispatch/Dispatch.h"

using namespace std::chrono_literals;
using platform::MainLoop;
using platform::Value;

namespace {

// A frame of our own (the asm keeps the call from becoming a jump), so the
// walk from the parked registers passes through its caller.
__attribute__((noinline)) void sleepMilliseconds(long ms) {
    const timespec pause = {0, ms * 1000000};
    syscall(SYS_nanosleep, &pause, nullptr);
    __asm__ volatile("" ::: "memory");
}

__attribute__((noinline)) void blockMainQueueFor(int ms) {
    for (int i = 0; i < ms / 10; i++) sleepMilliseconds(10);
}

// The reports left by a child that blocks its main queue with the deadlock monitor installed.
std::vector<Value> blockInChild(double interval, int blockMs, zeltest::ChildEnd* end) {
    zeltest::TempDir base;
    *end = zeltest::runInChild([&] {
        mdcm_setDeadlockWatchdogInterval(interval);
        mayday_setMonitoring(MaydayMonitorTypeMainThreadDeadlock | MaydayMonitorTypeSignal);
        if (!(mayday_install("DeadlockTest", base.path().c_str()) & MaydayMonitorTypeMainThreadDeadlock)) _exit(3);
        platform::DispatchQueue::main().async([=] { blockMainQueueFor(blockMs); MainLoop::quit(); });
        MainLoop::run();
    });
    std::vector<Value> reports;
    for (const auto& entry : std::filesystem::directory_iterator(base.file("Reports"))) {
        const std::string text = zeltest::readFile(entry.path());
        reports.push_back(MDJSONCodec::decode(Value::Bytes(text.begin(), text.end()), 0, nullptr));
    }
    return reports;
}

TEST(DeadlockMonitor, BlockedMainQueueIsReportedWithTheMainThreadsStackAndAborts) {
    zeltest::ChildEnd end;
    const std::vector<Value> reports = blockInChild(2, 5000, &end);
    EXPECT_EQ(end.signal, SIGABRT) << end.output;
    ASSERT_EQ(reports.size(), 1u) << end.output;  // the abort after the report is not caught again
    EXPECT_EQ(reports[0]["crash"]["error"]["type"].stringValue(), "deadlock");
    int blockedThreads = 0;
    for (const Value& thread : reports[0]["crash"]["threads"].arrayItems())
        for (const Value& frame : thread["backtrace"]["contents"].arrayItems())
            if (frame["symbol_name"].stringValue().find("blockMainQueueFor") != std::string::npos) {
                blockedThreads++;
                EXPECT_FALSE(thread["crashed"].boolValue());
                break;
            }
    EXPECT_EQ(blockedThreads, 1);

    // Without an interval a main queue blocked past the watchdog's 5 s wake-up is not reported.
    EXPECT_TRUE(blockInChild(0, 5500, &end).empty());
    EXPECT_TRUE(end.exited && end.exitStatus == 0) << end.signal << end.output;
}

// Whether the number of watchdog threads becomes `count` within 3 s.
bool watchdogThreadsBecome(int count) {
    const auto visit = [](MDThread thread, void* seen) {
        char name[64];
        *static_cast<int*>(seen) += mdthread_threadName(thread, name, sizeof(name)) &&
                                    !strcmp(name, "Mayday Deadlock Detection Thread");
        return true;
    };
    for (int i = 0; i < 300; i++, sleepMilliseconds(10)) {
        int seen = 0;
        mdthread_forEachThread(visit, &seen);
        if (seen == count) return true;
    }
    return false;
}

TEST(DeadlockMonitor, WatchdogThreadFollowsTheMonitorThroughQuickSwitchesWithPulsesInFlight) {
    const zeltest::ChildEnd end = zeltest::runInChild([] {
        mdcm_setEventHandler([](Mayday_MonitorContext*) { zeltest::put("deadlock reported\n"); });
        const MaydayMonitorAPI* api = mdcm_deadlock_getAPI();
        api->setEnabled(true);
        api->setEnabled(true);
        if (!api->isEnabled() || !watchdogThreadsBecome(1)) _exit(10);
        api->setEnabled(false);  // cuts the 5 s idle wait short
        if (api->isEnabled() || !watchdogThreadsBecome(0)) _exit(11);

        mdcm_setDeadlockWatchdogInterval(0.2);
        for (int i = 0; i < 304; i++) {
            api->setEnabled(true);
            if (i < 4) sleepMilliseconds(250);  // a pulse is posted, not drained before its monitor goes
            if (i % 50 == 0) MainLoop::runUntil([] { return false; }, 450ms);  // pulses answered in time
            api->setEnabled(false);
        }
        MainLoop::drainPending();  // the answers to the cancelled monitors
        if (!watchdogThreadsBecome(0)) _exit(12);
    });
    EXPECT_TRUE(end.exited && end.exitStatus == 0) << end.exitStatus << " " << end.signal << end.output;
}

}  // namespace
