// Machine context records, the crash thread list and signal-based
// suspension. Crash-path safe (except mdmc_installSuspendHandler): raw
// system calls (gettid, tgkill, futex, getdents64, clock_gettime), fixed
// static tables claimed with atomics, no heap, no locks, no stdio.
#include "Mayday/Recording/Tools/MDMachineContext.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <sys/ucontext.h>
#include <unistd.h>

#include "Mayday/Recording/Tools/MDCPU.h"
#include "Mayday/Recording/Tools/MDLogger.h"
#include "Mayday/Recording/Tools/MDSysCall.h"

namespace {

// ---- Reserved threads ------------------------------------------------------

MDThread g_reserved[MDMC_MAX_RESERVED_THREADS];
int g_reservedCount = 0;

bool isReserved(MDThread thread) {
    const int count = __atomic_load_n(&g_reservedCount, __ATOMIC_ACQUIRE);
    for (int i = 0; i < count; i++)
        if (__atomic_load_n(&g_reserved[i], __ATOMIC_ACQUIRE) == thread) return true;
    return false;
}

// ---- Futex helpers ---------------------------------------------------------

long futexWait(int* word, int expected, const struct timespec* timeout) {
    return syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, expected, timeout, nullptr, 0);
}

void futexWake(int* word, int count) { syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0); }

int64_t nowNanoseconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

// Waits until *word >= target or the deadline passed; answers whether reached.
bool waitUntilAtLeast(int* word, int target, int64_t deadline) {
    for (;;) {
        const int value = __atomic_load_n(word, __ATOMIC_ACQUIRE);
        if (value >= target) return true;
        const int64_t left = deadline - nowNanoseconds();
        if (left <= 0) return false;
        struct timespec timeout = {(time_t)(left / 1000000000), (long)(left % 1000000000)};
        futexWait(word, value, &timeout);
    }
}

// The Mach text of a timed-out wait, the system's for the rest.
const char* errorText(int error) { return error == ETIMEDOUT ? "Operation timed out" : mdsys_errorText(error); }

// ---- Parking ---------------------------------------------------------------

constexpr int kSlotCount = 512;
constexpr int kMaxTargets = 1024;
constexpr int64_t kWaitNanoseconds = 200 * 1000000LL;

struct ParkSlot {
    MDThread thread;  // 0: free
    int parked;       // the registers below are valid
    MDExceptionState exceptionState;
    MDThreadState threadState;
};

ParkSlot g_slots[kSlotCount];
// Odd while the environment is suspended; parked threads wait for it to change.
int g_epoch = 0;
int g_acknowledged = 0;      // threads that parked in this round
int g_expected = INT_MAX;    // threads signalled, once all were; the last parker wakes the suspender
int g_left = 0;              // threads that left the handler in this round
int g_leaveWaiter = 0;       // someone waits for the previous round's threads to leave
int g_signal = 0;
int g_installed = 0;
struct sigaction g_previousSuspendAction;

// Only the suspending thread touches these.
MDThread g_targets[kMaxTargets];
int g_targetCount = 0;
int g_signalled = 0;
// Every thread listed while suspending, so a crash context need not list them again.
MDThread g_listed[MDMC_MAX_THREADS];
int g_listedCount = -1;  // -1: no list for this round
int g_listedEpoch = 0;
int g_listedTotal = 0;  // threads listed, also those beyond the table

// Each thread starts looking at its own place, so a hundred parkers do not
// all contend for the first free slots.
int slotStart(MDThread thread) { return (int)(((uint32_t)thread * 2654435761u) % kSlotCount); }

ParkSlot* claimSlot(MDThread thread) {
    const int start = slotStart(thread);
    for (int n = 0; n < kSlotCount; n++) {
        ParkSlot* slot = &g_slots[(start + n) % kSlotCount];
        MDThread expected = 0;
        if (__atomic_load_n(&slot->thread, __ATOMIC_RELAXED) == 0 &&
            __atomic_compare_exchange_n(&slot->thread, &expected, thread, false, __ATOMIC_ACQ_REL,
                                        __ATOMIC_RELAXED))
            return slot;
    }
    return nullptr;
}

ParkSlot* parkedSlot(MDThread thread) {
    // Threads may still be leaving after a resumption: their registers are stale.
    if ((__atomic_load_n(&g_epoch, __ATOMIC_ACQUIRE) & 1) == 0) return nullptr;
    const int start = slotStart(thread);
    for (int n = 0; n < kSlotCount; n++) {
        ParkSlot* slot = &g_slots[(start + n) % kSlotCount];
        if (__atomic_load_n(&slot->thread, __ATOMIC_ACQUIRE) == thread && __atomic_load_n(&slot->parked, __ATOMIC_ACQUIRE))
            return slot;
    }
    return nullptr;
}

void parkHandler(int, siginfo_t*, void* userContext) {
    const int savedErrno = errno;
    const int epoch = __atomic_load_n(&g_epoch, __ATOMIC_ACQUIRE);
    if ((epoch & 1) == 0) {
        // A late signal after the resumption: nothing to wait for.
        errno = savedErrno;
        return;
    }
    ParkSlot* slot = claimSlot((MDThread)syscall(SYS_gettid));
    if (slot) {
        mdcpu_registersFromUserContext(userContext, &slot->exceptionState, &slot->threadState);
        __atomic_store_n(&slot->parked, 1, __ATOMIC_RELEASE);
    }
    // Only the last one wakes the suspender: one wake-up instead of one per thread.
    if (__atomic_add_fetch(&g_acknowledged, 1, __ATOMIC_ACQ_REL) >= __atomic_load_n(&g_expected, __ATOMIC_ACQUIRE))
        futexWake(&g_acknowledged, 1);
    while (__atomic_load_n(&g_epoch, __ATOMIC_ACQUIRE) == epoch) futexWait(&g_epoch, epoch, nullptr);
    // The resumption wakes one thread and each wakes the next: the resuming
    // thread is not held up by a hundred wake-ups, nor crowded off its core.
    futexWake(&g_epoch, 1);
    if (slot) {
        __atomic_store_n(&slot->parked, 0, __ATOMIC_RELEASE);
        __atomic_store_n(&slot->thread, (MDThread)0, __ATOMIC_RELEASE);
    }
    if (__atomic_add_fetch(&g_left, 1, __ATOMIC_ACQ_REL) >= __atomic_load_n(&g_acknowledged, __ATOMIC_ACQUIRE) &&
        __atomic_load_n(&g_leaveWaiter, __ATOMIC_ACQUIRE))
        futexWake(&g_left, 1);
    errno = savedErrno;
}

// The resumption does not wait for the threads to leave the handler (the
// crash path has nothing to wait for); the next suspension waits for the
// previous round's threads here.
bool waitForPreviousRound(void) {
    const int parked = __atomic_load_n(&g_acknowledged, __ATOMIC_ACQUIRE);
    if (__atomic_load_n(&g_left, __ATOMIC_ACQUIRE) >= parked) return true;
    __atomic_store_n(&g_leaveWaiter, 1, __ATOMIC_SEQ_CST);
    const bool left = waitUntilAtLeast(&g_left, parked, nowNanoseconds() + kWaitNanoseconds);
    __atomic_store_n(&g_leaveWaiter, 0, __ATOMIC_RELEASE);
    if (!left) {
        for (int i = 0; i < kSlotCount; i++) {
            const MDThread thread = __atomic_load_n(&g_slots[i].thread, __ATOMIC_ACQUIRE);
            if (thread != 0 && __atomic_load_n(&g_slots[i].parked, __ATOMIC_ACQUIRE))
                MDLOG_ERROR("thread_resume (%08x): %s", (unsigned)thread, errorText(ETIMEDOUT));
        }
    }
    return left;
}

struct SuspendWalk {
    MDThread self;
    MDThread stoppedElsewhere;  // already held (a faulting thread parked by the exception layer)
    int signal;
};

bool signalThread(MDThread thread, void* context) {
    const SuspendWalk* walk = static_cast<const SuspendWalk*>(context);
    const bool kept = g_listedCount < MDMC_MAX_THREADS;
    if (kept) g_listed[g_listedCount++] = thread;
    g_listedTotal++;
    if (thread == walk->self || thread == walk->stoppedElsewhere || isReserved(thread)) return true;
    if (syscall(SYS_tgkill, (pid_t)getpid(), (pid_t)thread, walk->signal) != 0) {
        const int error = errno;
        if (error == ESRCH) {
            // A thread that ended since the listing has nothing to suspend, and is not listed.
            g_listedTotal--;
            if (kept) g_listedCount--;
        } else {
            MDLOG_ERROR("thread_suspend (%08x): %s", (unsigned)thread, errorText(error));
        }
        return true;
    }
    g_signalled++;
    if (g_targetCount < kMaxTargets) g_targets[g_targetCount++] = thread;
    return true;
}

// ---- Thread list of a crashed context --------------------------------------

struct ListWalk {
    MDMachineContext* context;
};

bool collectThread(MDThread thread, void* context) {
    MDMachineContext* record = static_cast<ListWalk*>(context)->context;
    if (record->threadCount < MDMC_MAX_THREADS) record->threadList[record->threadCount++] = thread;
    return true;
}

void getThreadList(MDMachineContext* context) {
    context->threadCount = 0;
    ListWalk walk = {context};
    const int epoch = __atomic_load_n(&g_epoch, __ATOMIC_ACQUIRE);
    int total;
    if ((epoch & 1) && __atomic_load_n(&g_listedEpoch, __ATOMIC_ACQUIRE) == epoch && g_listedCount >= 0) {
        // Suspended: the threads are the ones just listed, and none can start.
        for (int i = 0; i < g_listedCount; i++) collectThread(g_listed[i], &walk);
        total = g_listedTotal;
    } else {
        total = mdthread_forEachThread(collectThread, &walk);
    }
    if (total < 0) {
        MDLOG_ERROR("task_threads: %s", errorText(errno));
        context->threadCount = 0;
        return;
    }
    if (total > MDMC_MAX_THREADS)
        MDLOG_ERROR("Thread count %d is higher than maximum of %d", total, MDMC_MAX_THREADS);
}

}  // namespace

int mdmc_contextSize(void) { return MDMC_CONTEXT_SIZE; }

bool mdmc_fillContextForThread(MDThread thread, MDMachineContext* destination, bool isCrashedContext) {
    memset(destination, 0, sizeof(*destination));
    destination->thread = thread;
    destination->isCurrentThread = thread == mdthread_self();
    destination->isCrashedContext = isCrashedContext;
    destination->isSignalContext = false;
    // The current thread's registers are never fetched: they would describe this code.
    if (!destination->isCurrentThread) mdcpu_fetchState(destination);
    if (isCrashedContext) getThreadList(destination);
    return true;
}

bool mdmc_fillContextForSignal(void* signalUserContext, MDMachineContext* destination) {
    const ucontext_t* uc = static_cast<const ucontext_t*>(signalUserContext);
    // The record is often fresh stack memory: nothing may be left from it.
    memset(destination, 0, sizeof(*destination));
    MDMachineState* state = &destination->machineState;
    mdcpu_registersFromUserContext(uc, &state->exceptionState, &state->threadState);
    if (uc->uc_mcontext.fpregs)
        memcpy(state->floatState, uc->uc_mcontext.fpregs, sizeof(state->floatState));
    else
        memset(state->floatState, 0, sizeof(state->floatState));
    destination->thread = mdthread_self();
    destination->isCurrentThread = true;
    destination->isCrashedContext = true;
    destination->isSignalContext = true;
    getThreadList(destination);
    return true;
}

void mdmc_fillThreadList(MDMachineContext* context) { getThreadList(context); }

MDThread mdmc_contextThread(const MDMachineContext* context) { return context->thread; }

int mdmc_contextThreadCount(const MDMachineContext* context) { return context->threadCount; }

MDThread mdmc_contextThreadAt(const MDMachineContext* context, int index) { return context->threadList[index]; }

int mdmc_indexOfThread(const MDMachineContext* context, MDThread thread) {
    for (int i = 0; i < context->threadCount; i++)
        if (context->threadList[i] == thread) return i;
    return -1;
}

bool mdmc_isCrashedContext(const MDMachineContext* context) { return context->isCrashedContext; }

bool mdmc_canHaveCPUState(const MDMachineContext* context) {
    return !context->isCurrentThread || context->isSignalContext || context->isCapturedContext;
}

bool mdmc_hasValidExceptionRegisters(const MDMachineContext* context) {
    return mdmc_canHaveCPUState(context) && context->isCrashedContext;
}

void mdmc_installSuspendHandler(void) {
    int expected = 0;
    if (!__atomic_compare_exchange_n(&g_installed, &expected, 1, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
        return;
    static bool touched = false;
    if (!touched) {
        // The parkers' first touch of their slots would otherwise be a page
        // fault each, in the middle of a suspension.
        touched = true;
        memset(g_slots, 0, sizeof(g_slots));
    }
    const int signal = SIGRTMIN + MDMC_SUSPEND_SIGNAL_OFFSET;
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_sigaction = parkHandler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
    // Nothing else interrupts a parked thread's bookkeeping.
    sigfillset(&action.sa_mask);
    sigdelset(&action.sa_mask, SIGSEGV);
    sigdelset(&action.sa_mask, SIGBUS);
    sigdelset(&action.sa_mask, SIGILL);
    sigdelset(&action.sa_mask, SIGFPE);
    if (sigaction(signal, &action, &g_previousSuspendAction) != 0) {
        MDLOG_ERROR("sigaction: %s", errorText(errno));
        __atomic_store_n(&g_installed, 0, __ATOMIC_RELEASE);
        return;
    }
    if (g_previousSuspendAction.sa_handler != SIG_DFL && g_previousSuspendAction.sa_handler != SIG_IGN)
        MDLOG_WARN("Signal %d already had a handler; thread suspension takes it over until uninstalled", signal);
    __atomic_store_n(&g_signal, signal, __ATOMIC_RELEASE);
}

void mdmc_uninstallSuspendHandler(void) {
    if (mdmc_isEnvironmentSuspended()) return;  // parked threads still run the handler
    int expected = 1;
    if (!__atomic_compare_exchange_n(&g_installed, &expected, 0, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) return;
    __atomic_store_n(&g_signal, 0, __ATOMIC_RELEASE);
    if (sigaction(SIGRTMIN + MDMC_SUSPEND_SIGNAL_OFFSET, &g_previousSuspendAction, nullptr) != 0)
        MDLOG_ERROR("sigaction: %s", errorText(errno));
}

bool mdmc_isEnvironmentSuspended(void) { return (__atomic_load_n(&g_epoch, __ATOMIC_ACQUIRE) & 1) != 0; }

int mdmc_suspendSignal(void) { return __atomic_load_n(&g_signal, __ATOMIC_ACQUIRE); }

void mdmc_suspendEnvironment(void) { mdmc_suspendEnvironmentExcept(0); }

void mdmc_suspendEnvironmentExcept(MDThread stoppedElsewhere) {
    mdmc_installSuspendHandler();
    int epoch = __atomic_load_n(&g_epoch, __ATOMIC_ACQUIRE);
    // Already suspended (odd), or another thread won the race: nothing to do.
    if ((epoch & 1) ||
        !__atomic_compare_exchange_n(&g_epoch, &epoch, epoch + 1, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
        return;
    waitForPreviousRound();
    __atomic_store_n(&g_expected, INT_MAX, __ATOMIC_RELEASE);
    __atomic_store_n(&g_acknowledged, 0, __ATOMIC_RELEASE);
    __atomic_store_n(&g_left, 0, __ATOMIC_RELEASE);
    g_targetCount = 0;
    g_signalled = 0;
    g_listedCount = 0;
    g_listedTotal = 0;
    // Not g_signal: a concurrent first installation may not have stored it yet.
    SuspendWalk walk = {mdthread_self(), stoppedElsewhere, SIGRTMIN + MDMC_SUSPEND_SIGNAL_OFFSET};
    const int total = mdthread_forEachThread(signalThread, &walk);
    if (total < 0) {
        MDLOG_ERROR("task_threads: %s", errorText(errno));
        g_listedCount = -1;
    }
    __atomic_store_n(&g_listedEpoch, epoch + 1, __ATOMIC_RELEASE);
    __atomic_store_n(&g_expected, g_signalled, __ATOMIC_RELEASE);
    const int64_t deadline = nowNanoseconds() + kWaitNanoseconds;
    if (waitUntilAtLeast(&g_acknowledged, g_signalled, deadline)) return;
    // Someone never answered: most likely the signal is blocked there.
    for (int i = 0; i < g_targetCount; i++)
        if (!parkedSlot(g_targets[i]))
            MDLOG_ERROR("thread_suspend (%08x): %s", (unsigned)g_targets[i], errorText(ETIMEDOUT));
}

void mdmc_resumeEnvironment(void) {
    int epoch = __atomic_load_n(&g_epoch, __ATOMIC_ACQUIRE);
    if ((epoch & 1) == 0 ||
        !__atomic_compare_exchange_n(&g_epoch, &epoch, epoch + 1, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
        return;
    g_listedCount = -1;
    futexWake(&g_epoch, 1);
}

void mdmc_addReservedThread(MDThread thread) {
    const int count = __atomic_load_n(&g_reservedCount, __ATOMIC_ACQUIRE);
    if (count >= MDMC_MAX_RESERVED_THREADS) {
        MDLOG_ERROR("Too many reserved threads (%d). Max is %d", count, MDMC_MAX_RESERVED_THREADS - 1);
        return;
    }
    __atomic_store_n(&g_reserved[count], thread, __ATOMIC_RELEASE);
    __atomic_store_n(&g_reservedCount, count + 1, __ATOMIC_RELEASE);
}

void mdmc_removeReservedThread(MDThread thread) {
    const int count = __atomic_load_n(&g_reservedCount, __ATOMIC_ACQUIRE);
    for (int i = 0; i < count; i++) {
        if (__atomic_load_n(&g_reserved[i], __ATOMIC_ACQUIRE) != thread) continue;
        // The last entry takes the freed place; the thread stays listed until then.
        __atomic_store_n(&g_reserved[i], __atomic_load_n(&g_reserved[count - 1], __ATOMIC_ACQUIRE), __ATOMIC_RELEASE);
        __atomic_store_n(&g_reservedCount, count - 1, __ATOMIC_RELEASE);
        return;
    }
}

bool mdmc_copyParkedState(MDThread thread, MDExceptionState* exceptionState, MDThreadState* threadState) {
    ParkSlot* slot = parkedSlot(thread);
    if (!slot) return false;
    *exceptionState = slot->exceptionState;
    *threadState = slot->threadState;
    return true;
}
