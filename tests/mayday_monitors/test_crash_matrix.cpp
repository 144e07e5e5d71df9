// Every kind of hard crash with the Mach exception and signal monitors in
// front: each case runs in a forked child whose event handler writes one line
// per event to a pipe, and must give exactly one event and end the way a
// process without the recorder ends.
#include <gtest/gtest.h>

#include <atomic>
#include <csetjmp>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Mayday/Recording/Monitors/MDCrashWatchdog.h"
#include "Mayday/Recording/Monitors/MaydayMonitor.h"
#include "Mayday/Recording/Tools/MDSignalStack.h"
#include "tests/support/CrashCases.h"
#include "tests/support/CrashChild.h"
#include "tests/support/DeliberateFault.h"

namespace {

using zeltest::ChildEnd;
using zeltest::put;
using zeltest::putHex;
using zeltest::runInChild;

constexpr MaydayMonitorFlags kHardCrashMonitors = MaydayMonitorTypeMachException | MaydayMonitorTypeSignal;

void summarizeEvent(Mayday_MonitorContext* context) {
    put("event crash=");
    putHex(context->crashType);
    put(" signum=");
    putHex((uint64_t)context->signal.signum);
    put(" code=");
    putHex((uint64_t)(uint32_t)context->signal.sigcode);
    put(" fault=");
    putHex(context->faultAddress);
    put(context->crashedDuringCrashHandling ? " recrash\n" : "\n");
}

int eventCount(const std::string& output) {
    int count = 0;
    for (size_t at = output.find("event "); at != std::string::npos; at = output.find("event ", at + 1)) count++;
    return count;
}

// The child's standard output joins the report, so the logger's lines count too.
void startRecorder(MaydayMonitorFlags monitors) {
    dup2(zeltest::g_reportFd, STDOUT_FILENO);
    mdcm_setEventHandler(summarizeEvent);
    mdcm_selectMonitors(monitors);
}

// ---- The crashes -------------------------------------------------------------

using zeltest::breakpoint;
using zeltest::divideByZero;
using zeltest::illegalInstruction;
using zeltest::overflowStack;

using zeltest::busError;
using zeltest::callAbort;
using zeltest::nullRead;
using zeltest::overflowSmallThreadStack;
using zeltest::writeReadOnlyPage;

void* allocateForEver(void*) {
    for (;;) free(malloc(64 + (size_t)(rand() % 4096)));
    return nullptr;
}
void faultWhileAllocatorBusy() {
    pthread_t thread;
    pthread_create(&thread, nullptr, allocateForEver, nullptr);
    usleep(20000);
    nullRead();
}

std::atomic<int> g_ready{0};
void* faultWhenReady(void*) {
    g_ready.fetch_add(1);
    while (g_ready.load() < 2) {
    }
    nullRead();
    return nullptr;
}
void twoThreadsAtOnce() {
    pthread_t thread;
    pthread_create(&thread, nullptr, faultWhenReady, nullptr);
    faultWhenReady(nullptr);
}

void faultInForkedChild() {
    const pid_t child = fork();
    if (child == 0) nullRead();
    int status = 0;
    waitpid(child, &status, 0);
    // The parent ends the way its child ended.
    if (WIFSIGNALED(status)) {
        signal(WTERMSIG(status), SIG_DFL);
        raise(WTERMSIG(status));
    }
    put("child did not crash\n");
}

sigjmp_buf g_recovery;
void recoveringHandler(int) { siglongjmp(g_recovery, 1); }
void installRecoveringHandler() {
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = recoveringHandler;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, nullptr);
}

struct CrashCase {
    const char* name;
    void (*crash)();
    int signal;  // how a process without the recorder ends
    int eventSignal;
};

class HardCrashMatrix : public ::testing::TestWithParam<CrashCase> {};

TEST_P(HardCrashMatrix, OneEventAndTheSignalOfAProcessWithoutTheRecorder) {
    static CrashCase current;
    current = GetParam();
    const ChildEnd end = runInChild([] {
        startRecorder(kHardCrashMonitors);
        current.crash();
        put("survived\n");
    });
    EXPECT_FALSE(end.timedOut) << end.output;
    EXPECT_EQ(end.signal, current.signal) << end.output;
    EXPECT_EQ(eventCount(end.output), 1) << end.output;
    EXPECT_NE(end.output.find(" signum=0x" + [] {
        char hex[8];
        snprintf(hex, sizeof(hex), "%x", current.eventSignal);
        return std::string(hex);
    }() + " "), std::string::npos) << end.output;
    EXPECT_EQ(end.output.find("recrash"), std::string::npos) << end.output;
    EXPECT_EQ(end.output.find("timed out"), std::string::npos) << end.output;
}

INSTANTIATE_TEST_SUITE_P(
    Crashes, HardCrashMatrix,
    ::testing::Values(CrashCase{"NullRead", nullRead, SIGSEGV, SIGSEGV},
                      CrashCase{"ReadOnlyWrite", writeReadOnlyPage, SIGSEGV, SIGSEGV},
                      CrashCase{"MainStackOverflow", overflowStack, SIGSEGV, SIGSEGV},
                      CrashCase{"SecondThreadStackOverflow", overflowSmallThreadStack, SIGSEGV, SIGSEGV},
                      CrashCase{"Abort", callAbort, SIGABRT, SIGABRT},
                      CrashCase{"IllegalInstruction", illegalInstruction, SIGILL, SIGILL},
                      CrashCase{"DivisionByZero", divideByZero, SIGFPE, SIGFPE},
                      CrashCase{"Breakpoint", breakpoint, SIGTRAP, SIGTRAP},
                      CrashCase{"BusError", busError, SIGBUS, SIGBUS},
                      CrashCase{"AllocatorBusy", faultWhileAllocatorBusy, SIGSEGV, SIGSEGV},
                      CrashCase{"TwoThreadsAtOnce", twoThreadsAtOnce, SIGSEGV, SIGSEGV},
                      CrashCase{"ForkedChild", faultInForkedChild, SIGSEGV, SIGSEGV}),
    [](const ::testing::TestParamInfo<CrashCase>& info) { return std::string(info.param.name); });

TEST(HardCrashMatrix, ApplicationHandlerBeforeTheRecorderRunsAfterTheEvent) {
    const ChildEnd end = runInChild([] {
        installRecoveringHandler();
        startRecorder(kHardCrashMonitors);
        if (sigsetjmp(g_recovery, 1) == 0) {
            nullRead();
            put("not caught\n");
        } else {
            put("recovered\n");
        }
    });
    EXPECT_TRUE(end.exited) << end.output;
    EXPECT_EQ(end.exitStatus, 0);
    EXPECT_EQ(eventCount(end.output), 1) << end.output;
    EXPECT_NE(end.output.find("recovered\n"), std::string::npos) << end.output;
}

TEST(HardCrashMatrix, ApplicationHandlerAfterTheRecorderDoesNotBlindIt) {
    const ChildEnd end = runInChild([] {
        startRecorder(kHardCrashMonitors);
        installRecoveringHandler();
        if (sigsetjmp(g_recovery, 1) == 0) {
            nullRead();
            put("not caught\n");
        } else {
            put("recovered\n");
        }
        // Disabling keeps the application's later handler in place.
        struct sigaction query;
        sigaction(SIGSEGV, nullptr, &query);
        put(query.sa_handler == recoveringHandler ? "handler kept\n" : "handler overwritten\n");
    });
    EXPECT_TRUE(end.exited) << end.output;
    EXPECT_EQ(eventCount(end.output), 1) << end.output;
    EXPECT_NE(end.output.find("recovered\nhandler kept\n"), std::string::npos) << end.output;
}

// ---- Details of single cases -----------------------------------------------------

TEST(HardCrashDetails, MachMonitorAloneReportsStackOverflowsOnEveryThread) {
    for (void (*crash)() : {overflowStack, overflowSmallThreadStack}) {
        static void (*current)() = nullptr;
        current = crash;
        const ChildEnd end = runInChild([] {
            startRecorder(MaydayMonitorTypeMachException);
            current();
        });
        EXPECT_EQ(end.signal, SIGSEGV) << end.output;
        EXPECT_EQ(eventCount(end.output), 1) << end.output;
    }
}

TEST(HardCrashDetails, SignalsAreTheOnesTheKernelDeliveredAndSentSignalsHaveNoAddress) {
    const ChildEnd readOnly = runInChild([] {
        startRecorder(kHardCrashMonitors);
        writeReadOnlyPage();
    });
    // SEGV_ACCERR (2), not the SIGBUS of the Mach vocabulary.
    EXPECT_NE(readOnly.output.find("crash=0x1 signum=0xb code=0x2 "), std::string::npos) << readOnly.output;

    const ChildEnd sent = runInChild([] {
        startRecorder(kHardCrashMonitors);
        kill(getpid(), SIGSEGV);
    });
    EXPECT_EQ(sent.signal, SIGSEGV);
    EXPECT_NE(sent.output.find("crash=0x2 signum=0xb code=0x0 fault=0x0\n"), std::string::npos) << sent.output;
}

std::atomic<int> g_handlerCalls{0};
void faultOnFirstEvent(Mayday_MonitorContext* context) {
    if (g_handlerCalls.fetch_add(1) == 0) nullRead();
    summarizeEvent(context);
}

TEST(HardCrashDetails, AFaultInTheHandlerOfAFaultIsACrashDuringCrashHandling) {
    for (MaydayMonitorFlags monitors : {(MaydayMonitorFlags)MaydayMonitorTypeSignal, kHardCrashMonitors}) {
        static MaydayMonitorFlags current = 0;
        current = monitors;
        const ChildEnd end = runInChild([] {
            startRecorder(current);
            mdcm_setEventHandler(faultOnFirstEvent);
            nullRead();
        });
        EXPECT_EQ(end.signal, SIGSEGV) << end.output;
        EXPECT_NE(end.output.find("Detected crash in the crash reporter. Uninstalling Mayday."), std::string::npos)
            << end.output;
        EXPECT_NE(end.output.find(" recrash\n"), std::string::npos) << end.output;
    }
}

TEST(HardCrashDetails, AForkedChildWithOnlyTheMachMonitorDiesInsteadOfHanging) {
    const ChildEnd end = runInChild([] {
        startRecorder(MaydayMonitorTypeMachException);
        faultInForkedChild();
    });
    EXPECT_FALSE(end.timedOut);
    EXPECT_EQ(end.signal, SIGSEGV) << end.output;
    EXPECT_EQ(eventCount(end.output), 0) << end.output;
}

void blockForEver(Mayday_MonitorContext*) {
    put("handler blocks\n");
    for (;;) pause();
}

TEST(HardCrashDetails, AHandlerThatNeverReturnsIsEndedByTheWatchdog) {
    for (MaydayMonitorFlags monitors : {(MaydayMonitorFlags)MaydayMonitorTypeSignal, kHardCrashMonitors}) {
        static MaydayMonitorFlags current = 0;
        current = monitors;
        const ChildEnd end = runInChild([] {
            mdcw_testing_setSeconds(1);
            startRecorder(current);
            mdcm_setEventHandler(blockForEver);
            nullRead();
        });
        EXPECT_FALSE(end.timedOut) << end.output;
        EXPECT_EQ(end.signal, SIGSEGV) << end.output;
        EXPECT_NE(end.output.find("handler blocks\n"), std::string::npos) << end.output;
        EXPECT_NE(end.output.find("Crash handling did not finish"), std::string::npos) << end.output;
    }
}

TEST(HardCrashDetails, TheWatchdogAlsoEndsAForkedChild) {
    // Timers are not inherited across fork: the child needs one of its own.
    const ChildEnd end = runInChild([] {
        mdcw_testing_setSeconds(1);
        startRecorder(MaydayMonitorTypeSignal);
        mdcm_setEventHandler(blockForEver);
        faultInForkedChild();
    });
    EXPECT_FALSE(end.timedOut) << end.output;
    EXPECT_EQ(end.signal, SIGSEGV) << end.output;
    EXPECT_NE(end.output.find("Crash handling did not finish"), std::string::npos) << end.output;
}

TEST(HardCrashDetails, EnableDisableCyclesGiveBackWhatTheyTook) {
    const ChildEnd end = runInChild([] {
        dup2(zeltest::g_reportFd, STDOUT_FILENO);
        mdcm_setEventHandler(summarizeEvent);
        for (int cycle = 0; cycle < 8; cycle++) {
            mdcm_selectMonitors(kHardCrashMonitors);
            if (!mdss_currentThreadHasStack()) put("no signal stack while enabled\n");
            mdcm_selectMonitors(MaydayMonitorTypeNone);
            if (mdss_currentThreadHasStack()) put("signal stack kept after disabling\n");
        }
        usleep(50000);  // the cancelled handler threads end
        mdcm_selectMonitors(kHardCrashMonitors);
        nullRead();
    });
    EXPECT_EQ(end.signal, SIGSEGV) << end.output;
    EXPECT_EQ(end.output.find("Too many reserved threads"), std::string::npos) << end.output;
    EXPECT_EQ(end.output.find("pthread_create"), std::string::npos) << end.output;
    EXPECT_EQ(end.output.find("signal stack"), std::string::npos) << end.output;
    EXPECT_NE(end.output.find("event crash=0x1 "), std::string::npos) << end.output;
}

std::atomic<int> g_go{0};
std::atomic<int> g_stackSeen{-1};
std::atomic<bool> g_running{false};
void* overflowWhenTold(void*) {
    g_running.store(true);
    while (g_go.load() == 0) usleep(1000);
    g_stackSeen.store(mdss_currentThreadHasStack() ? 1 : 0);
    if (g_go.load() == 2) overflowStack();
    return nullptr;
}

pthread_t startSmallThread(void* (*routine)(void*)) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 64 * 1024);
    pthread_t thread;
    pthread_create(&thread, &attributes, routine, nullptr);
    return thread;
}

TEST(HardCrashDetails, ThreadsAliveAtEnablingAndThoseMadeLaterGetSignalStacks) {
    const ChildEnd late = runInChild([] {
        mdcm_selectMonitors(MaydayMonitorTypeSignal);
        g_go.store(1);
        pthread_join(startSmallThread(overflowWhenTold), nullptr);
        put(g_stackSeen.load() == 1 ? "later has one\n" : "later has none\n");
        mdcm_selectMonitors(MaydayMonitorTypeNone);
    });
    EXPECT_EQ(late.output, "later has one\n");

    // A thread that was there before enabling overflows its stack: reported.
    const ChildEnd early = runInChild([] {
        const pthread_t thread = startSmallThread(overflowWhenTold);
        // Already past its start: only the hand-over at enabling can give it a stack.
        while (!g_running.load()) usleep(1000);
        startRecorder(MaydayMonitorTypeSignal);
        g_go.store(2);
        pthread_join(thread, nullptr);
    });
    EXPECT_EQ(early.signal, SIGSEGV) << early.output;
    EXPECT_EQ(eventCount(early.output), 1) << early.output;
}

}  // namespace
