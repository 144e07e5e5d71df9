// Machine context records, thread snapshots, reserved threads and the
// suspension of the environment.
#include "Mayday/Recording/Tools/MDMachineContext.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <pthread.h>
#include <string>
#include <sys/ucontext.h>
#include <ucontext.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "Mayday/Recording/Tools/MDCPU.h"
#include "DeliberateFault.h"
#include "StdoutCapture.h"

namespace {

using zeltest::StdoutCapture;

size_t occurrences(const std::string& text, const std::string& piece) {
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) count++;
    return count;
}

std::string hex8(MDThread thread) {
    char text[32];
    snprintf(text, sizeof(text), "%08x", (unsigned)thread);
    return text;
}

// Runs `body` in a forked child; answers what it returned ("" on a crash,
// with a failure recorded).
std::string inChild(const std::function<std::string()>& body) {
    int fds[2];
    if (pipe(fds) != 0) {
        ADD_FAILURE() << "pipe";
        return "";
    }
    fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const std::string result = body();
        size_t done = 0;
        while (done < result.size()) {
            const ssize_t n = write(fds[1], result.data() + done, result.size() - done);
            if (n <= 0) break;
            done += (size_t)n;
        }
        _exit(0);
    }
    close(fds[1]);
    std::string result;
    char buffer[1024];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof(buffer))) > 0) result.append(buffer, (size_t)n);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    return result;
}

// ---- Filling from a signal --------------------------------------------------

MDMachineContext g_signalRecord;
ucontext_t g_signalUserContext;
sigjmp_buf g_return;

void recordingHandler(int, siginfo_t*, void* userContext) {
    mdmc_fillContextForSignal(userContext, &g_signalRecord);
    memcpy(&g_signalUserContext, userContext, sizeof(g_signalUserContext));
    siglongjmp(g_return, 1);
}

void installRecorder(int signal) {
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_sigaction = recordingHandler;
    action.sa_flags = SA_SIGINFO;
    sigaction(signal, &action, nullptr);
}

TEST(MachineContext, SignalFillFromARealSegmentationFault) {
    const std::string report = inChild([] {
        installRecorder(SIGSEGV);
        memset(&g_signalRecord, 0xAB, sizeof(g_signalRecord));
        if (sigsetjmp(g_return, 1) == 0) {
            zeltest::writeAddress(0x10, 1);
            return std::string("no fault");
        }
        const MDMachineContext* c = &g_signalRecord;
        const greg_t* g = g_signalUserContext.uc_mcontext.gregs;
        std::string out;
        auto check = [&](bool ok, const char* what) {
            if (!ok) out += std::string(what) + "; ";
        };
        check(mdcpu_faultAddress(c) == 0x10, "faultvaddr");
        check(mdcpu_exceptionRegisterValue(c, 0) == 14, "trapno is a page fault");
        check((mdcpu_exceptionRegisterValue(c, 1) & 4) != 0, "err has the user-mode bit");
        check(mdcpu_instructionAddress(c) == (uint64_t)g[REG_RIP], "rip");
        check(mdcpu_stackPointer(c) == (uint64_t)g[REG_RSP], "rsp");
        check(mdcpu_framePointer(c) == (uint64_t)g[REG_RBP], "rbp");
        check(mdcpu_registerValue(c, 17) == (uint64_t)g[REG_EFL], "rflags");
        check(mdcpu_registerValue(c, 18) == 0x33, "cs is the 64-bit user segment");
        check(mdmc_contextThread(c) == mdthread_self(), "thread");
        check(mdmc_isCrashedContext(c), "crashed");
        check(mdmc_canHaveCPUState(c), "cpu state");
        check(mdmc_hasValidExceptionRegisters(c), "exception registers");
        check(mdmc_contextThreadCount(c) == 1, "one thread");
        check(mdmc_indexOfThread(c, mdthread_self()) == 0, "own index");
        int stackVariable = 0;
        const uint64_t here = (uint64_t)&stackVariable;
        check(mdcpu_stackPointer(c) < here + 65536 && mdcpu_stackPointer(c) + 65536 > here, "rsp near this frame");
        return out.empty() ? std::string("ok") : out;
    });
    EXPECT_EQ(report, "ok");
}

TEST(MachineContext, SignalFillCopiesEveryGeneralRegister) {
    const std::string report = inChild([] {
        installRecorder(SIGUSR1);
        std::thread helper([] {});  // a second thread for the list
        helper.join();
        std::thread waiting([] { usleep(300000); });
        if (sigsetjmp(g_return, 1) == 0) {
            raise(SIGUSR1);
            waiting.join();
            return std::string("no signal");
        }
        waiting.join();
        const MDMachineContext* c = &g_signalRecord;
        const greg_t* g = g_signalUserContext.uc_mcontext.gregs;
        const int order[] = {REG_RAX, REG_RBX, REG_RCX, REG_RDX, REG_RDI, REG_RSI, REG_RBP, REG_RSP,
                             REG_R8,  REG_R9,  REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15,
                             REG_RIP, REG_EFL};
        std::string out;
        for (int i = 0; i < 18; i++)
            if (mdcpu_registerValue(c, i) != (uint64_t)g[order[i]]) out += std::string(mdcpu_registerName(i)) + " ";
        const uint64_t csgsfs = (uint64_t)g[REG_CSGSFS];
        if (mdcpu_registerValue(c, 18) != (csgsfs & 0xffff)) out += "cs ";
        if (mdcpu_registerValue(c, 19) != ((csgsfs >> 32) & 0xffff)) out += "fs ";
        if (mdcpu_registerValue(c, 20) != ((csgsfs >> 16) & 0xffff)) out += "gs ";
        if (mdmc_contextThreadCount(c) != 2) out += "thread count " + std::to_string(mdmc_contextThreadCount(c));
        if (mdmc_contextThreadAt(c, 0) != mdthread_self()) out += "main thread first ";
        return out.empty() ? std::string("ok") : out;
    });
    EXPECT_EQ(report, "ok");
}

// ---- Filling for a thread -------------------------------------------------------

TEST(MachineContext, CurrentThreadRecordHasNoRegisters) {
    MDMC_NEW_CONTEXT(context);
    memset(context, 0x5A, sizeof(*context));
    ASSERT_TRUE(mdmc_fillContextForThread(mdthread_self(), context, false));
    EXPECT_EQ(mdmc_contextThread(context), mdthread_self());
    EXPECT_FALSE(mdmc_isCrashedContext(context));
    EXPECT_FALSE(mdmc_canHaveCPUState(context));
    EXPECT_FALSE(mdmc_hasValidExceptionRegisters(context));
    EXPECT_EQ(mdmc_contextThreadCount(context), 0);  // only a crashed context lists threads
    for (int i = 0; i < mdcpu_registerCount(); i++) EXPECT_EQ(mdcpu_registerValue(context, i), 0u) << i;
    EXPECT_EQ(mdcpu_faultAddress(context), 0u);

    ASSERT_TRUE(mdmc_fillContextForThread(mdthread_self(), context, true));
    EXPECT_TRUE(mdmc_isCrashedContext(context));
    EXPECT_FALSE(mdmc_hasValidExceptionRegisters(context));
    EXPECT_GE(mdmc_contextThreadCount(context), 1);
    EXPECT_GE(mdmc_indexOfThread(context, mdthread_self()), 0);
    EXPECT_EQ(mdmc_indexOfThread(context, (MDThread)0x7ffffff0), -1);
}

TEST(MachineContext, RunningThreadThatIsNotParkedGetsZeros) {
    std::atomic<bool> stop{false};
    std::atomic<MDThread> tid{0};
    std::thread worker([&] {
        tid = mdthread_self();
        while (!stop) usleep(1000);
    });
    while (tid == 0) usleep(100);
    MDMC_NEW_CONTEXT(context);
    ASSERT_TRUE(mdmc_fillContextForThread(tid, context, true));
    EXPECT_TRUE(mdmc_canHaveCPUState(context));
    EXPECT_TRUE(mdmc_hasValidExceptionRegisters(context));
    EXPECT_EQ(mdcpu_instructionAddress(context), 0u);
    EXPECT_EQ(mdcpu_stackPointer(context), 0u);
    EXPECT_GE(mdmc_indexOfThread(context, tid), 0);
    stop = true;
    worker.join();
}

// Threads that wait on a flag until the test ends.
class IdleThreads {
public:
    explicit IdleThreads(int count) {
        for (int i = 0; i < count; i++)
            threads_.emplace_back([this] {
                ready_++;
                while (!stop_) usleep(2000);
            });
        while (ready_ < count) usleep(100);
    }
    ~IdleThreads() {
        stop_ = true;
        for (auto& t : threads_) t.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::atomic<int> ready_{0};
    std::vector<std::thread> threads_;
};

TEST(MachineContext, ThreadListKeepsTheFirstMaximumAndLogsOnce) {
    IdleThreads idle(MDMC_MAX_THREADS + 50);
    MDMC_NEW_CONTEXT(context);
    StdoutCapture capture;
    mdmc_fillContextForThread(mdthread_self(), context, true);
    const std::string log = capture.finish();
    EXPECT_EQ(mdmc_contextThreadCount(context), MDMC_MAX_THREADS);
    EXPECT_EQ(occurrences(log, "Thread count "), 1u) << log;
    EXPECT_NE(log.find("is higher than maximum of " + std::to_string(MDMC_MAX_THREADS) + "\n"), std::string::npos)
        << log;
    // The main thread is the first task entry.
    EXPECT_EQ(mdmc_contextThreadAt(context, 0), mdthread_self());
}

// ---- Reserved threads -----------------------------------------------------------

TEST(MachineContext, EleventhReservedThreadIsRefused) {
    const std::string report = inChild([] {
        StdoutCapture capture;
        for (MDThread t = 1; t <= 10; t++) mdmc_addReservedThread(0x7fff0000 + t);
        const std::string before = capture.text();
        mdmc_addReservedThread(0x7fff00ff);
        const std::string log = capture.finish();
        if (!before.empty()) return "logged early: " + before;
        if (occurrences(log, ": Too many reserved threads (10). Max is 9\n") != 1) return "log: " + log;
        return std::string("ok");
    });
    EXPECT_EQ(report, "ok");
}

TEST(MachineContext, SignalFillOfAGarbageRecordIsTheCurrentThreadsOwn) {
    const std::string report = inChild([] {
        MDMachineContext record;
        memset(&record, 0, sizeof(record));
        ucontext_t context;
        getcontext(&context);
        mdmc_fillContextForSignal(&context, &record);
        if (!record.isCurrentThread || !record.isSignalContext) return std::string("flags not set");
        if (!mdmc_canHaveCPUState(&record) || !mdmc_hasValidExceptionRegisters(&record)) return std::string("no state");
        return std::string("ok");
    });
    EXPECT_EQ(report, "ok");
}

TEST(MachineContext, RemovedReservedThreadsFreeTheirPlaces) {
    const std::string report = inChild([] {
        StdoutCapture capture;
        for (int round = 0; round < 5; round++) {
            for (MDThread t = 1; t <= 4; t++) mdmc_addReservedThread(0x7fff0000 + t);
            for (MDThread t = 1; t <= 4; t++) mdmc_removeReservedThread(0x7fff0000 + t);
        }
        const std::string log = capture.finish();
        return log.empty() ? std::string("ok") : "log: " + log;
    });
    EXPECT_EQ(report, "ok");
}

void applicationSuspendHandler(int) {}

TEST(Suspension, AnApplicationsHandlerOfTheSignalIsNamedAndGivenBack) {
    const std::string report = inChild([] {
        const int signal = SIGRTMIN + MDMC_SUSPEND_SIGNAL_OFFSET;
        ::signal(signal, applicationSuspendHandler);
        StdoutCapture capture;
        mdmc_installSuspendHandler();
        struct sigaction query;
        sigaction(signal, nullptr, &query);
        if (query.sa_handler == applicationSuspendHandler) return std::string("not taken over");
        mdmc_uninstallSuspendHandler();
        const std::string log = capture.finish();
        sigaction(signal, nullptr, &query);
        if (query.sa_handler != applicationSuspendHandler) return std::string("not given back");
        if (log.find("already had a handler") == std::string::npos) return "log: " + log;
        return std::string("ok");
    });
    EXPECT_EQ(report, "ok");
}

// ---- Suspension -----------------------------------------------------------------

struct Spinner {
    std::atomic<uint64_t> counter{0};
    std::atomic<bool> stop{false};
    std::atomic<MDThread> tid{0};
    uintptr_t stackLow = 0, stackHigh = 0;
};

void recordStack(Spinner* s) {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void* base = nullptr;
        size_t size = 0;
        pthread_attr_getstack(&attr, &base, &size);
        s->stackLow = (uintptr_t)base;
        s->stackHigh = (uintptr_t)base + size;
        pthread_attr_destroy(&attr);
    }
    s->tid = mdthread_self();
}

// Five distinct spinning functions: a parked thread's rip must lie in its own.
#define SPINNER(NAME)                                                                     \
    __attribute__((noinline)) void NAME(Spinner* s) {                                     \
        recordStack(s);                                                                   \
        while (!s->stop.load(std::memory_order_relaxed))                                  \
            s->counter.fetch_add(1, std::memory_order_relaxed);                           \
    }
SPINNER(spinOne)
SPINNER(spinTwo)
SPINNER(spinThree)
SPINNER(spinFour)
SPINNER(spinFive)

void waitForProgress(const Spinner& s) {
    const uint64_t start = s.counter.load();
    while (s.counter.load() == start) usleep(100);
}

class SpinnerSet {
public:
    SpinnerSet() {
        void (*functions[])(Spinner*) = {spinOne, spinTwo, spinThree, spinFour, spinFive};
        for (int i = 0; i < 5; i++) {
            functions_[i] = functions[i];
            threads_.emplace_back(functions[i], &spinners_[i]);
        }
        for (auto& s : spinners_) {
            while (s.tid == 0) usleep(100);
            waitForProgress(s);
        }
    }
    ~SpinnerSet() {
        for (auto& s : spinners_) s.stop = true;
        for (auto& t : threads_) t.join();
    }
    Spinner spinners_[5];
    void (*functions_[5])(Spinner*) = {};

private:
    std::vector<std::thread> threads_;
};

TEST(Suspension, ParkedThreadsStopAndShowTheirRegisters) {
    mdmc_installSuspendHandler();
    SpinnerSet set;
    StdoutCapture capture;
    mdmc_suspendEnvironment();
    uint64_t frozen[5];
    for (int i = 0; i < 5; i++) frozen[i] = set.spinners_[i].counter.load();
    usleep(20000);
    for (int i = 0; i < 5; i++) EXPECT_EQ(set.spinners_[i].counter.load(), frozen[i]) << i;

    for (int i = 0; i < 5; i++) {
        const Spinner& s = set.spinners_[i];
        MDMC_NEW_CONTEXT(context);
        mdmc_fillContextForThread(s.tid, context, i == 0);
        const uintptr_t fn = (uintptr_t)set.functions_[i];
        EXPECT_GE(mdcpu_instructionAddress(context), fn) << i;
        EXPECT_LT(mdcpu_instructionAddress(context), fn + 4096) << i;
        EXPECT_GT(mdcpu_stackPointer(context), s.stackLow) << i;
        EXPECT_LT(mdcpu_stackPointer(context), s.stackHigh) << i;
        EXPECT_EQ(mdmc_hasValidExceptionRegisters(context), i == 0);
        if (i == 0) {
            EXPECT_GE(mdmc_indexOfThread(context, s.tid), 0);
            EXPECT_EQ(mdmc_indexOfThread(context, (MDThread)0x7ffffff0), -1);
        }
    }
    // A second suspension before the resumption changes nothing.
    mdmc_suspendEnvironment();
    mdmc_resumeEnvironment();
    const std::string log = capture.finish();
    EXPECT_EQ(log, "");
    for (auto& s : set.spinners_) waitForProgress(s);

    // After the resumption the slots are gone: no stale registers.
    MDMC_NEW_CONTEXT(context);
    mdmc_fillContextForThread(set.spinners_[0].tid, context, false);
    EXPECT_EQ(mdcpu_instructionAddress(context), 0u);
    // A resumption without a suspension does nothing.
    mdmc_resumeEnvironment();
}

TEST(Suspension, BlockedSignalIsLoggedAndDoesNotHang) {
    mdmc_installSuspendHandler();
    const int signal = mdmc_suspendSignal();
    ASSERT_GT(signal, 0);
    std::atomic<bool> blocked{false}, stop{false}, unblocked{false};
    std::atomic<MDThread> tid{0};
    std::thread worker([&] {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, signal);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        tid = mdthread_self();
        blocked = true;
        while (!stop) usleep(1000);
        // The late signal arrives here, after the resumption: it must not park.
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        unblocked = true;
    });
    while (!blocked) usleep(100);
    SpinnerSet spinners;
    StdoutCapture capture;
    mdmc_suspendEnvironment();
    const uint64_t frozen = spinners.spinners_[2].counter.load();
    const std::string log = capture.text();
    usleep(5000);
    EXPECT_EQ(spinners.spinners_[2].counter.load(), frozen);
    mdmc_resumeEnvironment();
    capture.finish();
    EXPECT_EQ(occurrences(log, ": thread_suspend (" + hex8(tid) + "): Operation timed out\n"), 1u) << log;
    EXPECT_EQ(occurrences(log, "thread_suspend ("), 1u) << log;
    stop = true;
    worker.join();
    EXPECT_TRUE(unblocked);
    waitForProgress(spinners.spinners_[2]);
}

TEST(Suspension, ManyThreadsAreAllParked) {
    mdmc_installSuspendHandler();
    IdleThreads idle(MDMC_MAX_THREADS + 20);
    SpinnerSet set;
    StdoutCapture capture;
    mdmc_suspendEnvironment();
    uint64_t frozen[5];
    for (int i = 0; i < 5; i++) frozen[i] = set.spinners_[i].counter.load();
    usleep(5000);
    for (int i = 0; i < 5; i++) EXPECT_EQ(set.spinners_[i].counter.load(), frozen[i]);
    MDMC_NEW_CONTEXT(context);
    mdmc_fillContextForThread(set.spinners_[4].tid, context, true);
    EXPECT_EQ(mdmc_contextThreadCount(context), MDMC_MAX_THREADS);
    EXPECT_GE(mdcpu_instructionAddress(context), (uintptr_t)spinFive);
    EXPECT_LT(mdcpu_instructionAddress(context), (uintptr_t)spinFive + 4096);
    mdmc_resumeEnvironment();
    const std::string log = capture.finish();
    EXPECT_EQ(occurrences(log, "is higher than maximum of"), 1u) << log;
    EXPECT_EQ(occurrences(log, "thread_"), 0u) << log;
    for (auto& s : set.spinners_) waitForProgress(s);
}

// The resumption does not wait for the threads to leave; a suspension that
// follows at once must still find every one of them parked again, with
// fresh registers, and list the same threads the suspension signalled.
TEST(Suspension, BackToBackRoundsParkEveryThreadAgain) {
    mdmc_installSuspendHandler();
    IdleThreads idle(60);
    SpinnerSet set;
    StdoutCapture capture;
    std::string failures;
    for (int round = 0; round < 30 && failures.empty(); round++) {
        mdmc_suspendEnvironment();
        uint64_t frozen[5];
        for (int i = 0; i < 5; i++) frozen[i] = set.spinners_[i].counter.load();
        MDMC_NEW_CONTEXT(crashed);
        mdmc_fillContextForThread(set.spinners_[0].tid, crashed, true);
        // 1 (this thread) + 60 idle + 5 spinners, and the runner's own threads.
        if (mdmc_contextThreadCount(crashed) < 66) failures += "short list; ";
        for (int i = 0; i < 5; i++) {
            const Spinner& sp = set.spinners_[i];
            if (mdmc_indexOfThread(crashed, sp.tid) < 0) failures += "spinner missing from the list; ";
            MDMC_NEW_CONTEXT(context);
            mdmc_fillContextForThread(sp.tid, context, false);
            const uintptr_t ip = mdcpu_instructionAddress(context), fn = (uintptr_t)set.functions_[i];
            if (ip < fn || ip >= fn + 4096) failures += "registers of round " + std::to_string(round) + " stale; ";
        }
        for (int i = 0; i < 5; i++)
            if (set.spinners_[i].counter.load() != frozen[i]) failures += "a spinner ran while suspended; ";
        mdmc_resumeEnvironment();
    }
    const std::string log = capture.finish();
    EXPECT_EQ(failures, "");
    EXPECT_EQ(log, "");
    for (auto& sp : set.spinners_) waitForProgress(sp);
    // Out of suspension the list is read afresh: a thread started since is in it.
    std::atomic<MDThread> late{0};
    std::atomic<bool> stop{false};
    std::thread extra([&] {
        late = mdthread_self();
        while (!stop) usleep(1000);
    });
    while (late == 0) usleep(100);
    MDMC_NEW_CONTEXT(context);
    mdmc_fillContextForThread(mdthread_self(), context, true);
    EXPECT_GE(mdmc_indexOfThread(context, late), 0);
    stop = true;
    extra.join();
}

TEST(Suspension, ReservedThreadKeepsRunning) {
    // In a child: the reserved list lasts for the whole process.
    const std::string report = inChild([] {
        mdmc_installSuspendHandler();
        SpinnerSet set;
        mdmc_addReservedThread(set.spinners_[1].tid);
        mdmc_suspendEnvironment();
        const uint64_t frozen = set.spinners_[0].counter.load();
        // The reserved spinner advances while the others are parked.
        waitForProgress(set.spinners_[1]);
        waitForProgress(set.spinners_[1]);
        std::string out;
        if (set.spinners_[0].counter.load() != frozen) out += "unreserved thread ran; ";
        MDMC_NEW_CONTEXT(context);
        mdmc_fillContextForThread(set.spinners_[1].tid, context, false);
        if (mdcpu_instructionAddress(context) != 0) out += "reserved thread has parked registers; ";
        mdmc_resumeEnvironment();
        waitForProgress(set.spinners_[0]);
        return out.empty() ? std::string("ok") : out;
    });
    EXPECT_EQ(report, "ok");
}

}  // namespace
