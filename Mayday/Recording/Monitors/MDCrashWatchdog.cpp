// The crash watchdog (see the header). The handler runs in a crashed process:
// raw system calls only, and the logger's async-safe line.
#include "Mayday/Recording/Monitors/MDCrashWatchdog.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <sys/syscall.h>
#include <unistd.h>

#include "Mayday/Recording/Tools/MDLogger.h"
#include "Mayday/Recording/Tools/MDSysCall.h"

namespace {

std::atomic<bool> g_prepared{false};
std::atomic<bool> g_armed{false};
std::atomic<int> g_signal{SIGABRT};
std::atomic<int> g_seconds{MDCW_DEFAULT_SECONDS};
// The kernel's timer id, of the process that made it: timers are not
// inherited across fork, so a forked child makes its own when it needs one.
std::atomic<int> g_timer{-1};
std::atomic<pid_t> g_timerOwner{0};

// timer_create through the system call: no library state, async-signal-safe.
bool createTimer() {
    struct sigevent event;
    memset(&event, 0, sizeof(event));
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = SIGRTMIN + MDCW_SIGNAL_OFFSET;
    int timer = -1;
    if (syscall(SYS_timer_create, CLOCK_MONOTONIC, &event, &timer) != 0) return false;
    g_timer.store(timer);
    g_timerOwner.store(getpid());
    return true;
}

void setTimer(int seconds) {
    struct itimerspec when;
    memset(&when, 0, sizeof(when));
    when.it_value.tv_sec = seconds;
    syscall(SYS_timer_settime, g_timer.load(), 0, &when, nullptr);
}

// The kernel's own sigaction record: set past the C library and any
// interposition, which may be in the state that hangs.
struct KernelSigaction {
    void (*handler)(int);
    unsigned long flags;
    void (*restorer)(void);
    uint64_t mask;
};

void endBy(int signum) {
    KernelSigaction action;
    memset(&action, 0, sizeof(action));
    action.handler = SIG_DFL;
    syscall(SYS_rt_sigaction, signum, &action, nullptr, sizeof(action.mask));
    uint64_t unblock = (uint64_t)1 << (signum - 1);
    syscall(SYS_rt_sigprocmask, SIG_UNBLOCK, &unblock, nullptr, sizeof(unblock));
    syscall(SYS_tgkill, getpid(), (pid_t)syscall(SYS_gettid), signum);
}

void watchdogFired(int, siginfo_t*, void*) {
    if (!g_armed.load()) return;
    const int signum = g_signal.load();
    MDLOG_ERROR("Crash handling did not finish within %d seconds. Ending the process by signal %d.",
                g_seconds.load(), signum);
    endBy(signum);
    // A signal whose default action does not end the process.
    endBy(SIGABRT);
    syscall(SYS_exit_group, 128 + SIGABRT);
}

}  // namespace

void mdcw_prepare(void) {
    if (g_prepared.load()) return;
    const int signum = SIGRTMIN + MDCW_SIGNAL_OFFSET;
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_sigaction = watchdogFired;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    if (sigaction(signum, &action, nullptr) != 0) {
        MDLOG_ERROR("sigaction (%d): %s", signum, mdsys_errorText(errno));
        return;
    }
    if (!createTimer()) {
        MDLOG_ERROR("timer_create: %s", mdsys_errorText(errno));
        return;
    }
    g_prepared.store(true);
}

void mdcw_arm(void) {
    if (!g_prepared.load() || g_armed.exchange(true)) return;
    if (g_timerOwner.load() != getpid() && !createTimer()) return;
    setTimer(g_seconds.load());
}

void mdcw_setSignal(int signum) {
    if (signum > 0 && signum < NSIG) g_signal.store(signum);
}

void mdcw_disarm(void) {
    if (!g_prepared.load() || !g_armed.exchange(false)) return;
    if (g_timerOwner.load() == getpid()) setTimer(0);
    g_signal.store(SIGABRT);
}

void mdcw_testing_setSeconds(int seconds) { g_seconds.store(seconds > 0 ? seconds : MDCW_DEFAULT_SECONDS); }
