// The user-reported exception monitor. Everything it needs is made on the
// reporting thread's stack before the other threads are suspended, since
// one of them could hold a lock the stack walk or the event ID needs.
#include "Mayday/Recording/Monitors/MaydayMonitor_UserReported.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "Mayday/Recording/Monitors/MDID.h"
#include "Mayday/Recording/Tools/MDLogger.h"
#include "Mayday/Recording/Tools/MDMachineContext.h"
#include "Mayday/Recording/Tools/MDStackCursor.h"
#include "Mayday/Recording/Tools/MDThread.h"

namespace {

std::atomic<bool> g_isEnabled{false};

void setEnabled(bool isEnabled) { g_isEnabled.store(isEnabled); }

bool isEnabled(void) { return g_isEnabled.load(); }

const MaydayMonitorAPI g_api = {&setEnabled, &isEnabled, nullptr};

}  // namespace

const MaydayMonitorAPI* mdcm_userreported_getAPI(void) { return &g_api; }

void mdcm_reportUserException(const char* name, const char* reason, const char* language, const char* lineOfCode,
                              const char* stackTrace, bool logAllThreads, bool terminateProgram) {
    if (!g_isEnabled.load()) {
        MDLOG_WARN("%s", "User-reported exception monitor is not installed. Exception has not been recorded.");
        return;
    }
    mdcm_beginCrashHandling();

    char eventID[37];
    mdid_newEventID(eventID);
    MDMC_NEW_CONTEXT(machineContext);
    mdmc_fillContextForThread(mdthread_self(), machineContext, true);
    MDStackCursor stackCursor;
    mdsc_initSelfThread(&stackCursor, 0);

    if (logAllThreads) mdmc_suspendEnvironment();
    // A fatal report makes the frame remove every monitor after it, so the
    // abort below ends the process without a second report.
    if (terminateProgram) mdcm_notifyFatalExceptionCaptured(false);

    Mayday_MonitorContext context;
    memset(&context, 0, sizeof(context));
    context.crashType = MaydayMonitorTypeUserReported;
    context.eventID = eventID;
    context.offendingMachineContext = machineContext;
    context.registersAreValid = false;
    context.crashReason = reason;
    context.userException.name = name;
    context.userException.language = language;
    context.userException.lineOfCode = lineOfCode;
    context.userException.customStackTrace = stackTrace;
    context.stackCursor = &stackCursor;

    mdcm_dispatchEvent(&context);
    if (logAllThreads) mdmc_resumeEnvironment();
    mdcm_endCrashHandling();
    if (terminateProgram) abort();
}
