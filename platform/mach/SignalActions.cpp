// The process's signal actions for the fault signals and the layer's fault
// handler (see ExceptionPorts.h). The layer plays the kernel: every sigaction
// call for a fault signal (the recorder's, and with the interposer linked into
// the executable everyone's) is recorded here. While an exception port covers
// the signal's type the kernel's action is the layer's handler; otherwise the
// kernel holds the recorded action itself, so the layer costs nothing when no
// port is set and disabling leaves the latest recorded action in place.
//
// Crash-path code: no heap, no stdio; a per-signal spin guard that a signal
// handler on the holding thread passes through, raw system calls.
#include <cerrno>
#include <cstring>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/mach/ExceptionPortsInternal.h"

// glibc's own entry point of sigaction: never the interposed one.
extern "C" int __sigaction(int signum, const struct sigaction* act, struct sigaction* oldact);

namespace {

constexpr int kMaxSignal = 65;
constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS};
// A record changes in well under a microsecond; this many yields is far past that.
constexpr int kMaxGuardAttempts = 100000;

struct SignalRecord {
    pid_t guard;    // the thread changing this record, 0 when none
    bool known;     // `recorded` holds the process's action
    bool taken;     // the kernel's action is the layer's handler
    struct sigaction recorded;
};

SignalRecord g_signals[kMaxSignal];
int (*g_kernelSigaction)(int, const struct sigaction*, struct sigaction*) = __sigaction;

pid_t selfThread() { return (pid_t)syscall(SYS_gettid); }

bool isFaultSignal(int signum) {
    for (int s : kFaultSignals)
        if (s == signum) return true;
    return false;
}

// Held while a record changes. A signal handler that interrupts the holder on
// its own thread goes through (the kernel would not make it wait either), and
// so does anyone after a bounded wait: the holder may be a thread that crash
// handling has parked, and a crash must never hang on it.
class Guard {
  public:
    explicit Guard(SignalRecord* record) : record_(record), self_(selfThread()) {
        for (int attempt = 0; attempt < kMaxGuardAttempts; attempt++) {
            pid_t expected = 0;
            if (__atomic_compare_exchange_n(&record_->guard, &expected, self_, false, __ATOMIC_ACQUIRE,
                                            __ATOMIC_RELAXED)) {
                owned_ = true;
                return;
            }
            if (expected == self_) return;
            sched_yield();
        }
    }
    ~Guard() {
        if (owned_) __atomic_store_n(&record_->guard, 0, __ATOMIC_RELEASE);
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

  private:
    SignalRecord* record_;
    pid_t self_;
    bool owned_ = false;
};

void faultHandler(int signum, siginfo_t* info, void* userContext);

// With the layer out of the way the kernel's action is the process's own; it
// is read back so that a change made past the layer is not lost.
void refresh(int signum, SignalRecord* s) {
    if (s->taken) return;
    struct sigaction current;
    if (g_kernelSigaction(signum, nullptr, &current) != 0) return;
    if (current.sa_sigaction != faultHandler) {
        s->recorded = current;
        s->known = true;
    }
}

// Puts the kernel's action in step with the port table and the record.
int reconcile(int signum, SignalRecord* s) {
    if (!s->known) refresh(signum, s);
    if (machexc_internal_portSetForSignal(signum)) {
        if (s->taken) return 0;
        struct sigaction own;
        memset(&own, 0, sizeof(own));
        own.sa_sigaction = faultHandler;
        // SA_NODEFER: a fault inside an action the layer runs comes back here,
        // where the action's own mask decides, as the kernel would.
        own.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
        sigemptyset(&own.sa_mask);
        if (g_kernelSigaction(signum, &own, nullptr) != 0) return -1;
        s->taken = true;
        return 0;
    }
    if (g_kernelSigaction(signum, &s->recorded, nullptr) != 0) return -1;
    s->taken = false;
    return 0;
}

void setKernelDefault(int signum) {
    struct sigaction defaultAction;
    memset(&defaultAction, 0, sizeof(defaultAction));
    defaultAction.sa_handler = SIG_DFL;
    sigemptyset(&defaultAction.sa_mask);
    g_kernelSigaction(signum, &defaultAction, nullptr);
}

// The recorded action, run as the kernel would have run it: on the faulting
// thread, with the action's mask, SA_RESETHAND honoured.
void runRecordedAction(int signum, siginfo_t* info, void* userContext) {
    SignalRecord* s = &g_signals[signum];
    struct sigaction action;
    {
        Guard guard(s);
        action = s->recorded;
        if (action.sa_handler == SIG_DFL || action.sa_handler == SIG_IGN) {
            if (action.sa_handler == SIG_IGN && info->si_code <= 0) return;  // a sent signal can be ignored
            // A fault cannot be ignored: the default action ends the process.
            setKernelDefault(signum);
            s->taken = false;
            s->known = false;
        } else if (action.sa_flags & SA_RESETHAND) {
            memset(&s->recorded, 0, sizeof(s->recorded));
            s->recorded.sa_handler = SIG_DFL;
            reconcile(signum, s);
        }
    }
    if (action.sa_handler == SIG_DFL || action.sa_handler == SIG_IGN) {
        machexc_deliverAgain(signum, info);
        return;
    }
    sigset_t mask = action.sa_mask;
    if (!(action.sa_flags & SA_NODEFER)) sigaddset(&mask, signum);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &mask, &previous);
    if (action.sa_flags & SA_SIGINFO)
        action.sa_sigaction(signum, info, userContext);
    else
        action.sa_handler(signum);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void faultHandler(int signum, siginfo_t* info, void* userContext) {
    const int savedErrno = errno;
    if (info->si_code > 0 && machexc_internal_raise(signum, info, userContext)) {
        errno = savedErrno;
        return;  // handled: the thread goes on where it stopped
    }
    runRecordedAction(signum, info, userContext);
    errno = savedErrno;
}

}  // namespace

void machexc_internal_portsChanged(machexc_exception_mask_t mask) {
    for (int signum : kFaultSignals) {
        if (!(mask & MACHEXC_EXC_MASK(machexc_exceptionTypeForSignal(signum)))) continue;
        SignalRecord* s = &g_signals[signum];
        Guard guard(s);
        reconcile(signum, s);
    }
}

int machexc_sigaction(int signum, const struct sigaction* act, struct sigaction* oldact) {
    if (!isFaultSignal(signum)) return g_kernelSigaction(signum, act, oldact);
    SignalRecord* s = &g_signals[signum];
    Guard guard(s);
    refresh(signum, s);
    if (!s->known) return g_kernelSigaction(signum, act, oldact);
    const struct sigaction previous = s->recorded;
    if (act) {
        s->recorded = *act;
        if (reconcile(signum, s) != 0) {
            const int error = errno;
            s->recorded = previous;
            reconcile(signum, s);
            errno = error;
            return -1;
        }
    }
    if (oldact) *oldact = previous;
    return 0;
}

int machexc_kernel_sigaction(int signum, const struct sigaction* act, struct sigaction* oldact) {
    return g_kernelSigaction(signum, act, oldact);
}

void machexc_setKernelSigaction(int (*kernelSigaction)(int, const struct sigaction*, struct sigaction*)) {
    if (kernelSigaction) g_kernelSigaction = kernelSigaction;
}

bool machexc_signalRepeatsOnReturn(int signum, const siginfo_t* info) {
    if (!info || info->si_code <= 0) return false;
    return signum == SIGSEGV || signum == SIGBUS || signum == SIGILL || signum == SIGFPE;
}

void machexc_deliverAgain(int signum, const siginfo_t* info) {
    // A hardware fault comes back by itself when the instruction runs again,
    // with the kernel's own information.
    if (machexc_signalRepeatsOnReturn(signum, info)) return;
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, signum);
    pthread_sigmask(SIG_BLOCK, &block, nullptr);
    const pid_t pid = getpid();
    const pid_t tid = selfThread();
    if (info) {
        // Queued to this very thread with the information it came with;
        // it stays pending until the handler returns and restores the mask.
        siginfo_t copy;
        memcpy(&copy, info, sizeof(copy));
        if (syscall(SYS_rt_tgsigqueueinfo, pid, tid, signum, &copy) == 0) return;
    }
    syscall(SYS_tgkill, pid, tid, signum);
}
