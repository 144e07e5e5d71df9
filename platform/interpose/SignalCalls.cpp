// sigaction, signal and their aliases, interposed in the executable so that
// every signal-action change in the process reaches the exception-port layer,
// which records the fault signals' actions as the kernel would (stands in for
// the kernel keeping Mach exception handling in front of BSD signals). Every
// other signal goes straight through to the next sigaction in line.
//
// Async-signal-safe like sigaction itself: no heap, no locks.
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dlfcn.h>

#include "platform/mach/ExceptionPorts.h"

extern "C" {

// Named by the link options so that the linker always takes this file.
int zel_interpose_signalCalls = 1;

int sigaction(int signum, const struct sigaction* act, struct sigaction* oldact) {
    return machexc_sigaction(signum, act, oldact);
}

}  // extern "C"

namespace {

__attribute__((constructor(101))) void findNextSigaction() {
    typedef int (*SigactionCall)(int, const struct sigaction*, struct sigaction*);
    machexc_setKernelSigaction(reinterpret_cast<SigactionCall>(dlsym(RTLD_NEXT, "sigaction")));
}

sighandler_t setHandler(int signum, sighandler_t handler, int flags, bool maskSelf) {
    if (handler == SIG_ERR || signum <= 0 || signum >= NSIG) {
        errno = EINVAL;
        return SIG_ERR;
    }
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = handler;
    action.sa_flags = flags;
    sigemptyset(&action.sa_mask);
    if (maskSelf) sigaddset(&action.sa_mask, signum);
    struct sigaction previous;
    if (machexc_sigaction(signum, &action, &previous) != 0) return SIG_ERR;
    return previous.sa_handler;
}

}  // namespace

extern "C" {

// BSD semantics, as the C library gives them: restarted calls, the signal
// blocked while its handler runs.
sighandler_t signal(int signum, sighandler_t handler) { return setHandler(signum, handler, SA_RESTART, true); }
sighandler_t bsd_signal(int signum, sighandler_t handler) { return signal(signum, handler); }
sighandler_t ssignal(int signum, sighandler_t handler) { return signal(signum, handler); }
// System V semantics: one delivery, nothing blocked.
sighandler_t sysv_signal(int signum, sighandler_t handler) {
    return setHandler(signum, handler, SA_RESETHAND | SA_NODEFER, false);
}

}  // extern "C"
