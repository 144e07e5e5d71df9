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
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "Mayday/Recording/Monitors/MDID.h"
#include "Mayday/Recording/Tools/MDDynamicLinker.h"
#include "Mayday/Recording/Tools/MDLogger.h"
#include "Mayday/Recording/Tools/MDMachineContext.h"
#include "Mayday/Recording/Tools/MDNumberText.h"
#include "Mayday/Recording/Tools/MDSignalInfo.h"
#include "Mayday/Recording/Tools/MDSignalStack.h"
#include "Mayday/Recording/Tools/MDStackCursor.h"
#include "Mayday/Recording/Tools/MDSysCall.h"
#include "Mayday/Recording/Tools/MDThread.h"
#include "platform/mach/ExceptionPorts.h"

namespace {

constexpr int kMaxStackDepth = 100;

std::atomic<bool> g_isEnabled{false};
bool g_holdsSignalStacks = false;
struct sigaction* g_previousSignalHandlers = nullptr;
char g_eventID[37];
Mayday_MonitorContext g_monitorContext;
MDStackCursor g_stackCursor;

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

void handleSignal(int sigNum, siginfo_t* signalInfo, void* userContext) {
    if (g_isEnabled.load()) {
        // A thread that faults while another one handles its event waits
        // here, as if that one's suspension had stopped it; a fault on the
        // handling thread itself goes on and is seen as a crash during
        // crash handling.
        mdcm_beginCrashHandling();
        mdmc_suspendEnvironment();
        mdcm_notifyFatalExceptionCaptured(false);

        // On this thread's alternate stack (every thread has one while the
        // monitor is enabled), so a stack overflow is reported too.
        MDMC_NEW_CONTEXT(machineContext);
        mdmc_fillContextForSignal(userContext, machineContext);
        mdsc_initWithMachineContext(&g_stackCursor, kMaxStackDepth, machineContext);

        Mayday_MonitorContext* context = &g_monitorContext;
        memset(context, 0, sizeof(*context));
        context->crashType = MaydayMonitorTypeSignal;
        context->eventID = g_eventID;
        context->offendingMachineContext = machineContext;
        context->registersAreValid = true;
        // A sent signal (kill, raise, abort) has no fault address: si_addr
        // shares its memory with the sender's pid.
        context->faultAddress = signalInfo->si_code > 0 ? (uint64_t)(uintptr_t)signalInfo->si_addr : 0;
        context->signal.userContext = userContext;
        context->signal.signum = signalInfo->si_signo;
        context->signal.sigcode = signalInfo->si_code;
        context->stackCursor = &g_stackCursor;

        // The dispatcher removes every monitor, so the previous actions are back.
        mdcm_dispatchEvent(context);
        mdmc_resumeEnvironment();
        mdcm_endCrashHandling();
    }
    // The previous (now reinstalled) action or the default one gets the
    // signal once this handler returns, with the information it came with:
    // the process ends, or goes on, the way it would have without us.
    machexc_deliverAgain(sigNum, signalInfo);
}

void releaseSignalStacks() {
    if (!g_holdsSignalStacks) return;
    g_holdsSignalStacks = false;
    mdss_release();
}

bool installSignalHandler(void) {
    mdid_newEventID(g_eventID);
    // Done here so the crash path never has to load or install anything.
    mdmc_installSuspendHandler();
    mddl_initialize();

    // Every thread, this one and those made later, gets its alternate stack.
    if (!g_holdsSignalStacks) {
        g_holdsSignalStacks = true;
        if (!mdss_acquire()) {
            const int error = errno ? errno : ENOMEM;
            mdss_release();
            g_holdsSignalStacks = false;
            MDLOG_ERROR("signalstack: %s", mdsys_errorText(error));
            return false;
        }
    }

    const int* fatalSignals = mdsignal_fatalSignals();
    const int fatalSignalsCount = mdsignal_fatalSignalCount();
    if (g_previousSignalHandlers == nullptr) {
        g_previousSignalHandlers =
            static_cast<struct sigaction*>(calloc((size_t)fatalSignalsCount, sizeof(struct sigaction)));
        if (g_previousSignalHandlers == nullptr) {
            MDLOG_ERROR("sigaction (%s): %s", "all", mdsys_errorText(ENOMEM));
            return false;
        }
    }

    struct sigaction action;
    memset(&action, 0, sizeof(action));
    // SA_NODEFER: a fault inside the handler must come back to it, where the
    // frame sees a crash in the crash reporter, instead of being a kernel kill.
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    action.sa_sigaction = &handleSignal;

    for (int i = 0; i < fatalSignalsCount; i++) {
        if (setSignalAction(fatalSignals[i], &action, &g_previousSignalHandlers[i], i) != 0) {
            const int error = errno;
            char numberName[30];
            const char* name = mdsignal_signalName(fatalSignals[i]);
            if (name == nullptr) {
                mdnum_formatInt64(numberName, fatalSignals[i]);
                name = numberName;
            }
            MDLOG_ERROR("sigaction (%s): %s", name, mdsys_errorText(error));
            for (i--; i >= 0; i--) setSignalAction(fatalSignals[i], &g_previousSignalHandlers[i], nullptr, -1);
            releaseSignalStacks();
            return false;
        }
    }
    return true;
}

void uninstallSignalHandler(void) {
    if (g_previousSignalHandlers == nullptr) return;
    const int* fatalSignals = mdsignal_fatalSignals();
    const int fatalSignalsCount = mdsignal_fatalSignalCount();
    for (int i = 0; i < fatalSignalsCount; i++) {
        // An action installed after ours is the latest word on the signal: kept.
        struct sigaction current;
        if (machexc_sigaction(fatalSignals[i], nullptr, &current) == 0 &&
            !((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == &handleSignal))
            continue;
        setSignalAction(fatalSignals[i], &g_previousSignalHandlers[i], nullptr, -1);
    }
    releaseSignalStacks();
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
