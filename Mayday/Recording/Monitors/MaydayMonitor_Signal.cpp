// The signal monitor (stands in for the BSD signal handling of macOS, which
// Linux has for real; the fault signals go through the exception-port layer,
// which plays the kernel's part for them).
//
// The handler below is crash-path code: no heap, no locks, no stdio, no
// exceptions; everything it uses is static or on the alternate stack.
#include "Mayday/Recording/Monitors/MaydayMonitor_Signal.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "Mayday/Recording/Monitors/MDID.h"
#include "Mayday/Recording/Tools/MDDynamicLinker.h"
#include "Mayday/Recording/Tools/MDLogger.h"
#include "Mayday/Recording/Tools/MDMachineContext.h"
#include "Mayday/Recording/Tools/MDSignalInfo.h"
#include "Mayday/Recording/Tools/MDStackCursor.h"
#include "Mayday/Recording/Tools/MDThread.h"
#include "platform/mach/ExceptionPorts.h"

namespace {

constexpr size_t kSignalStackSize = 0x20000;
constexpr int kMaxStackDepth = 100;

std::atomic<bool> g_isEnabled{false};
stack_t g_signalStack;
struct sigaction* g_previousSignalHandlers = nullptr;
char g_eventID[37];
Mayday_MonitorContext g_monitorContext;
MDStackCursor g_stackCursor;

// The thread whose signal is being handled, 0 when none.
std::atomic<MDThread> g_handlingThread{0};
static_assert(std::atomic<MDThread>::is_always_lock_free, "the handler cannot take locks");

std::atomic<int> g_failSigactionAt{-1};
void (*g_sigactionObserver)(int, const struct sigaction*) = nullptr;

// Every change of a fatal signal's action goes through here, so that tests
// can watch the order and make one installation fail.
int setSignalAction(int signum, const struct sigaction* action, struct sigaction* previous, int installIndex) {
    if (g_sigactionObserver) g_sigactionObserver(signum, action);
    if (installIndex >= 0 && g_failSigactionAt.load() == installIndex) {
        g_failSigactionAt.store(-1);
        errno = EINVAL;
        return -1;
    }
    return machexc_sigaction(signum, action, previous);
}

// A thread that faults while another one handles its signal waits here until
// that one is done, as if the other's suspension of the environment had
// stopped it (with Mach suspension it would have; parking by signal misses a
// thread that is itself just starting to suspend). It then goes on and the
// frame sees a crash during crash handling, while the first event is written
// as the first. A fault on the handling thread itself does not wait.
void waitForOtherHandlingThread(void) {
    const MDThread self = mdthread_self();
    for (;;) {
        MDThread expected = 0;
        if (g_handlingThread.compare_exchange_strong(expected, self) || expected == self) return;
        const struct timespec pause = {0, 1000000};
        nanosleep(&pause, nullptr);
    }
}

void handleSignal(int sigNum, siginfo_t* signalInfo, void* userContext) {
    if (g_isEnabled.load()) {
        waitForOtherHandlingThread();
        mdmc_suspendEnvironment();
        mdcm_notifyFatalExceptionCaptured(false);

        // On the alternate stack for the thread that installed it (and for a
        // stack overflow there); on the thread's own stack elsewhere.
        MDMC_NEW_CONTEXT(machineContext);
        mdmc_fillContextForSignal(userContext, machineContext);
        mdsc_initWithMachineContext(&g_stackCursor, kMaxStackDepth, machineContext);

        Mayday_MonitorContext* context = &g_monitorContext;
        memset(context, 0, sizeof(*context));
        context->crashType = MaydayMonitorTypeSignal;
        context->eventID = g_eventID;
        context->offendingMachineContext = machineContext;
        context->registersAreValid = true;
        context->faultAddress = (uint64_t)(uintptr_t)signalInfo->si_addr;
        context->signal.userContext = userContext;
        context->signal.signum = signalInfo->si_signo;
        context->signal.sigcode = signalInfo->si_code;
        context->stackCursor = &g_stackCursor;

        // The dispatcher removes every monitor, so the previous actions are back.
        mdcm_dispatchEvent(context);
        mdmc_resumeEnvironment();
        g_handlingThread.store(0);
    }
    // The signal stays blocked while this handler runs, so the raised copy is
    // delivered when it returns, under the previous (now reinstalled) action or
    // the default one: the process ends the way it would have without us. A
    // fault whose restored action returns re-executes the faulting
    // instruction and faults again under that action.
    raise(sigNum);
}

bool installSignalHandler(void) {
    mdid_newEventID(g_eventID);
    // Done here so the crash path never has to load or install anything.
    mdmc_installSuspendHandler();
    mddl_initialize();

    if (g_signalStack.ss_sp == nullptr) {
        g_signalStack.ss_sp = malloc(kSignalStackSize);
        g_signalStack.ss_size = kSignalStackSize;
        if (g_signalStack.ss_sp == nullptr) errno = ENOMEM;
    }
    g_signalStack.ss_flags = 0;
    if (g_signalStack.ss_sp == nullptr || sigaltstack(&g_signalStack, nullptr) != 0) {
        MDLOG_ERROR("signalstack: %s", strerror(errno));
        return false;
    }

    const int* fatalSignals = mdsignal_fatalSignals();
    const int fatalSignalsCount = mdsignal_fatalSignalCount();
    if (g_previousSignalHandlers == nullptr) {
        g_previousSignalHandlers =
            static_cast<struct sigaction*>(calloc((size_t)fatalSignalsCount, sizeof(struct sigaction)));
        if (g_previousSignalHandlers == nullptr) {
            MDLOG_ERROR("sigaction (%s): %s", "all", strerror(ENOMEM));
            return false;
        }
    }

    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    action.sa_sigaction = &handleSignal;

    for (int i = 0; i < fatalSignalsCount; i++) {
        if (setSignalAction(fatalSignals[i], &action, &g_previousSignalHandlers[i], i) != 0) {
            const int error = errno;
            char numberName[30];
            const char* name = mdsignal_signalName(fatalSignals[i]);
            if (name == nullptr) {
                snprintf(numberName, sizeof(numberName), "%d", fatalSignals[i]);
                name = numberName;
            }
            MDLOG_ERROR("sigaction (%s): %s", name, strerror(error));
            for (i--; i >= 0; i--) setSignalAction(fatalSignals[i], &g_previousSignalHandlers[i], nullptr, -1);
            return false;
        }
    }
    return true;
}

void uninstallSignalHandler(void) {
    if (g_previousSignalHandlers == nullptr) return;
    const int* fatalSignals = mdsignal_fatalSignals();
    const int fatalSignalsCount = mdsignal_fatalSignalCount();
    for (int i = 0; i < fatalSignalsCount; i++)
        setSignalAction(fatalSignals[i], &g_previousSignalHandlers[i], nullptr, -1);
}

void setEnabled(bool isEnabled) {
    if (isEnabled == g_isEnabled.load()) return;
    g_isEnabled.store(isEnabled);
    if (isEnabled) {
        // A failed installation has undone itself; the wanted state stays recorded.
        installSignalHandler();
    } else {
        uninstallSignalHandler();
    }
}

bool isEnabled(void) { return g_isEnabled.load(); }

void addContextToEvent(Mayday_MonitorContext* eventContext) {
    if (eventContext->crashType != MaydayMonitorTypeMachException && eventContext->crashType != MaydayMonitorTypeSignal)
        eventContext->signal.signum = SIGABRT;
}

const MaydayMonitorAPI g_api = {&setEnabled, &isEnabled, &addContextToEvent};

}  // namespace

const MaydayMonitorAPI* mdcm_signal_getAPI(void) { return &g_api; }

void mdsignal_testing_failSigactionAt(int index) { g_failSigactionAt.store(index); }

void mdsignal_testing_setSigactionObserver(void (*observer)(int signum, const struct sigaction* action)) {
    g_sigactionObserver = observer;
}
