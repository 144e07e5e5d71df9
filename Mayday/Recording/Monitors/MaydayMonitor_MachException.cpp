// The Mach exception monitor over the exception-port layer.
//
// Crash path (handleExceptions after a message arrives, uninstallation from
// the frame's dispatch): no heap, no locks, no stdio; static context, cursor
// and event IDs; the machine context lives on the handler thread's stack.
#include "Mayday/Recording/Monitors/MaydayMonitor_MachException.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <execinfo.h>
#include <poll.h>
#include <pthread.h>

#include "Mayday/Recording/Monitors/MDID.h"
#include "Mayday/Recording/Tools/MDCPU.h"
#include "Mayday/Recording/Tools/MDDynamicLinker.h"
#include "Mayday/Recording/Tools/MDLogger.h"
#include "Mayday/Recording/Tools/MDMach.h"
#include "Mayday/Recording/Tools/MDMachineContext.h"
#include "Mayday/Recording/Tools/MDSignalStack.h"
#include "Mayday/Recording/Tools/MDStackCursor.h"
#include "Mayday/Recording/Tools/MDSysCall.h"
#include "Mayday/Recording/Tools/MDThread.h"
#include "platform/mach/ExceptionPorts.h"

namespace {

constexpr machexc_exception_mask_t kExceptionMask = MACHEXC_EXC_MASK_BAD_ACCESS | MACHEXC_EXC_MASK_BAD_INSTRUCTION |
                                                    MACHEXC_EXC_MASK_ARITHMETIC | MACHEXC_EXC_MASK_SOFTWARE |
                                                    MACHEXC_EXC_MASK_BREAKPOINT;
static_assert(kExceptionMask == 0x6E, "emulation exceptions are not claimed");

constexpr int kMaxStackDepth = 100;
const char kThreadPrimary[] = "Mayday Exception Handler (Primary)";
const char kThreadSecondary[] = "Mayday Exception Handler (Secondary)";

std::atomic<bool> g_isEnabled{false};
std::atomic<bool> g_isHandlingCrash{false};
bool g_lazyLoadsDone = false;
bool g_holdsSignalStacks = false;

machexc_port_t g_exceptionPort = MACHEXC_PORT_NULL;

struct {
    machexc_exception_mask_t masks[MACHEXC_EXC_TYPES_COUNT];
    machexc_port_t ports[MACHEXC_EXC_TYPES_COUNT];
    machexc_exception_behavior_t behaviors[MACHEXC_EXC_TYPES_COUNT];
    machexc_thread_state_flavor_t flavors[MACHEXC_EXC_TYPES_COUNT];
    unsigned count;  // 0: nothing saved
} g_previousExceptionPorts;

pthread_t g_primaryPThread;
pthread_t g_secondaryPThread;
std::atomic<MDThread> g_primaryMachThread{0};
std::atomic<MDThread> g_secondaryMachThread{0};

char g_primaryEventID[37];
char g_secondaryEventID[37];

Mayday_MonitorContext g_monitorContext;
MDStackCursor g_stackCursor;

int machExceptionForSignal(int signum) {
    switch (signum) {
        case SIGILL: return MD_EXC_BAD_INSTRUCTION;
        case SIGTRAP: return MD_EXC_BREAKPOINT;
        case SIGABRT: return MD_EXC_CRASH;
        case SIGFPE: return MD_EXC_ARITHMETIC;
        case SIGKILL: return MD_EXC_SOFT_SIGNAL;
        case SIGBUS: return MD_EXC_BAD_ACCESS;
        case SIGSEGV: return MD_EXC_BAD_ACCESS;
        case SIGSYS: return MD_EXC_UNIX_BAD_SYSCALL;
        case SIGPIPE: return MD_EXC_UNIX_BAD_PIPE;
        default: return 0;
    }
}

void restoreExceptionPorts() {
    if (g_previousExceptionPorts.count == 0) return;
    for (unsigned i = 0; i < g_previousExceptionPorts.count; i++) {
        const machexc_return_t kr = machexc_task_set_exception_ports(
            g_previousExceptionPorts.masks[i], g_previousExceptionPorts.ports[i],
            g_previousExceptionPorts.behaviors[i], g_previousExceptionPorts.flavors[i]);
        if (kr != MACHEXC_KERN_SUCCESS) MDLOG_ERROR("task_set_exception_ports: %s", machexc_error_string(kr));
    }
    g_previousExceptionPorts.count = 0;
}

void stopThread(std::atomic<MDThread>* machThread, pthread_t pthread, MDThread self) {
    const MDThread thread = machThread->load();
    if (thread == 0 || thread == self) return;
    // What enabling took is given back, so that cycles do not run out of places.
    if (!g_isHandlingCrash.load()) {
        mdmc_removeReservedThread(thread);
        mdthread_forgetName(thread);
    }
    // While handling, the other threads are suspended and pthread_cancel
    // could wait on them; the layer's terminate only sets a flag.
    if (g_isHandlingCrash.load())
        machexc_thread_terminate(thread);
    else
        pthread_cancel(pthread);
    machThread->store(0);
}

void uninstallExceptionHandler() {
    restoreExceptionPorts();
    const MDThread self = mdthread_self();
    stopThread(&g_primaryMachThread, g_primaryPThread, self);
    stopThread(&g_secondaryMachThread, g_secondaryPThread, self);
    if (g_holdsSignalStacks) {
        g_holdsSignalStacks = false;
        mdss_release();
    }
}

// A forked child has none of the handler threads (and the layer counts the
// parent's ports as unset there): nothing to stop or give back later.
void forgetThreadsInChild() {
    g_primaryMachThread.store(0);
    g_secondaryMachThread.store(0);
    g_isHandlingCrash.store(false);
}

// The crashed thread's registers: the state its fault published, else what it
// saved when the environment was suspended.
bool fillContextForCrashedThread(MDThread thread, MDMachineContext* machineContext) {
    ucontext_t state;
    if (machexc_thread_get_state(thread, &state) == MACHEXC_KERN_SUCCESS) {
        memset(machineContext, 0, sizeof(*machineContext));
        mdmc_fillContextForSignal(&state, machineContext);
        machineContext->thread = thread;
        machineContext->isCurrentThread = false;
        return true;
    }
    return mdmc_fillContextForThread(thread, machineContext, true);
}

void* handleExceptions(void* argument) {
    const bool isSecondary = argument == static_cast<const void*>(kThreadSecondary);
    // The secondary thread was created suspended: its start gate is the
    // suspension, so it arrives here only once the primary resumed it.
    const char* eventID = isSecondary ? g_secondaryEventID : g_primaryEventID;

    machexc_exception_raise_request_t request;
    // Never parked: a report written meanwhile shows it waiting here.
    mdmc_publishWaitingState();
    for (;;) {
        const machexc_return_t kr = machexc_msg_receive(g_exceptionPort, &request, sizeof(request));
        if (kr == MACHEXC_KERN_SUCCESS) break;
        MDLOG_ERROR("mach_msg: %s", machexc_error_string(kr));
        poll(nullptr, 0, 100);  // a pause, async-signal-safe
    }
    mdmc_clearWaitingState();

    const MDThread crashedThread = (MDThread)request.thread.name;
    if (g_isEnabled.load()) {
        // One event at a time, whichever monitor caught it first.
        mdcm_beginCrashHandling();
        // The crashed thread is held by its exception already and could not answer.
        mdmc_suspendEnvironmentExcept(crashedThread);
        g_isHandlingCrash.store(true);
        mdcm_notifyFatalExceptionCaptured(true);

        if (!isSecondary) {
            // A fault from here on goes to the previous handlers, and the
            // secondary thread is ready for one that comes back to us.
            restoreExceptionPorts();
            const MDThread secondary = g_secondaryMachThread.load();
            if (secondary != 0) machexc_thread_resume(secondary);
        }

        MDMC_NEW_CONTEXT(machineContext);
        Mayday_MonitorContext* crashContext = &g_monitorContext;
        crashContext->offendingMachineContext = machineContext;
        mdsc_initCursor(&g_stackCursor, nullptr, nullptr);
        if (fillContextForCrashedThread(crashedThread, machineContext)) {
            mdsc_initWithMachineContext(&g_stackCursor, kMaxStackDepth, machineContext);
            crashContext->faultAddress = request.exception == MD_EXC_BAD_ACCESS
                                             ? (uint64_t)mdcpu_faultAddress(machineContext)
                                             : (uint64_t)mdcpu_instructionAddress(machineContext);
        }

        crashContext->crashType = MaydayMonitorTypeMachException;
        crashContext->eventID = eventID;
        crashContext->registersAreValid = true;
        crashContext->mach.type = request.exception;
        crashContext->mach.code = (int64_t)request.code[0];
        crashContext->mach.subcode = (int64_t)request.code[1];
        // The Mach vocabulary stays; the signal is the one the kernel delivered
        // (a write to a read-only page is KERN_PROTECTION_FAILURE and SIGSEGV).
        siginfo_t delivered;
        if (machexc_thread_get_siginfo(crashedThread, &delivered) == MACHEXC_KERN_SUCCESS) {
            crashContext->signal.signum = delivered.si_signo;
            crashContext->signal.sigcode = delivered.si_code;
        } else {
            crashContext->signal.signum =
                mdmach_signalForMachException(crashContext->mach.type, crashContext->mach.code);
        }
        crashContext->stackCursor = &g_stackCursor;

        mdcm_dispatchEvent(crashContext);

        g_isHandlingCrash.store(false);
        mdmc_resumeEnvironment();
        mdcm_endCrashHandling();
    }

    // Not handled: the faulting thread goes on to the signal actions.
    machexc_exception_raise_reply_t reply;
    memset(&reply, 0, sizeof(reply));
    reply.Head = request.Head;
    reply.NDR = request.NDR;
    reply.RetCode = MACHEXC_KERN_FAILURE;
    const machexc_return_t kr = machexc_msg_send(&reply, sizeof(reply));
    if (kr != MACHEXC_KERN_SUCCESS) MDLOG_ERROR("mach_msg: %s", machexc_error_string(kr));

    // This thread ends here; nobody must stop it later.
    const MDThread self = mdthread_self();
    MDThread expected = self;
    g_primaryMachThread.compare_exchange_strong(expected, 0);
    expected = self;
    g_secondaryMachThread.compare_exchange_strong(expected, 0);
    return nullptr;
}

// What the crash path would otherwise load lazily (image list, the parking
// handler, the unwinder behind backtrace).
void prepareCrashPath() {
    if (g_lazyLoadsDone) return;
    g_lazyLoadsDone = true;
    pthread_atfork(nullptr, nullptr, forgetThreadsInChild);
    mddl_initialize();
    mdmc_installSuspendHandler();
    void* frames[2];
    backtrace(frames, 2);
}

void installExceptionHandler() {
    mdid_newEventID(g_primaryEventID);
    mdid_newEventID(g_secondaryEventID);
    // The layer's fault handler runs on the faulting thread: every thread
    // needs an alternate stack for a stack overflow to be reported.
    if (!g_holdsSignalStacks) {
        g_holdsSignalStacks = true;
        mdss_acquire();
    }

    pthread_attr_t attr;
    bool attributesCreated = false;
    int error = 0;
    MDThread thread = 0;

    unsigned count = MACHEXC_EXC_TYPES_COUNT;
    machexc_return_t kr = machexc_task_get_exception_ports(
        kExceptionMask, g_previousExceptionPorts.masks, &count, g_previousExceptionPorts.ports,
        g_previousExceptionPorts.behaviors, g_previousExceptionPorts.flavors);
    if (kr != MACHEXC_KERN_SUCCESS) {
        MDLOG_ERROR("task_get_exception_ports: %s", machexc_error_string(kr));
        goto failed;
    }
    g_previousExceptionPorts.count = count;

    if (g_exceptionPort == MACHEXC_PORT_NULL) {
        kr = machexc_port_allocate(MACHEXC_PORT_RIGHT_RECEIVE, &g_exceptionPort);
        if (kr != MACHEXC_KERN_SUCCESS) {
            MDLOG_ERROR("mach_port_allocate: %s", machexc_error_string(kr));
            g_exceptionPort = MACHEXC_PORT_NULL;
            goto failed;
        }
        kr = machexc_port_insert_right(g_exceptionPort, g_exceptionPort, MACHEXC_MSG_TYPE_MAKE_SEND);
        if (kr != MACHEXC_KERN_SUCCESS) {
            MDLOG_ERROR("mach_port_insert_right: %s", machexc_error_string(kr));
            goto failed;
        }
    }

    kr = machexc_task_set_exception_ports(kExceptionMask, g_exceptionPort, MACHEXC_EXCEPTION_DEFAULT,
                                          MACHEXC_THREAD_STATE_NONE);
    if (kr != MACHEXC_KERN_SUCCESS) {
        MDLOG_ERROR("task_set_exception_ports: %s", machexc_error_string(kr));
        goto failed;
    }

    pthread_attr_init(&attr);
    attributesCreated = true;
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);

    error = machexc_pthread_create_suspended_np(&g_secondaryPThread, &attr, handleExceptions,
                                                const_cast<char*>(kThreadSecondary));
    if (error != 0) {
        MDLOG_ERROR("pthread_create_suspended_np: %s", mdsys_errorText(error));
        goto failed;
    }
    thread = machexc_pthread_mach_thread_np(g_secondaryPThread);
    g_secondaryMachThread.store(thread);
    // Named from here: the thread itself does not run until resumed.
    mdthread_setName(thread, kThreadSecondary);
    mdmc_addReservedThread(thread);

    error = machexc_pthread_create(&g_primaryPThread, &attr, handleExceptions, const_cast<char*>(kThreadPrimary));
    if (error != 0) {
        MDLOG_ERROR("pthread_create: %s", mdsys_errorText(error));
        goto failed;
    }
    thread = machexc_pthread_mach_thread_np(g_primaryPThread);
    g_primaryMachThread.store(thread);
    mdthread_setName(thread, kThreadPrimary);
    mdmc_addReservedThread(thread);

    pthread_attr_destroy(&attr);
    return;

failed:
    if (attributesCreated) pthread_attr_destroy(&attr);
    uninstallExceptionHandler();
}

void setEnabled(bool isEnabled) {
    if (isEnabled == g_isEnabled.load()) return;
    g_isEnabled.store(isEnabled);
    if (isEnabled) {
        prepareCrashPath();
        installExceptionHandler();
    } else {
        uninstallExceptionHandler();
    }
}

bool isEnabled() { return g_isEnabled.load(); }

void addContextToEvent(Mayday_MonitorContext* eventContext) {
    if (eventContext->crashType == MaydayMonitorTypeMachException) return;
    if (eventContext->crashType == MaydayMonitorTypeSignal)
        eventContext->mach.type = machExceptionForSignal(eventContext->signal.signum);
    else
        eventContext->mach.type = MD_EXC_CRASH;
}

const MaydayMonitorAPI g_api = {setEnabled, isEnabled, addContextToEvent};

}  // namespace

const MaydayMonitorAPI* mdcm_machexception_getAPI(void) { return &g_api; }
