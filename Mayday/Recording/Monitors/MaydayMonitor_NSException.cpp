// The NSException monitor over platform/foundation/UncaughtException.h.
//
// Crash path: from mdmc_suspendEnvironment to mdmc_resumeEnvironment in
// handleUncaughtException: static context, buffers and cursor, no heap, no
// locks, no stdio.
#include "Mayday/Recording/Monitors/MaydayMonitor_NSException.h"

#include <atomic>
#include <cstring>

#include "Mayday/Recording/Monitors/MDID.h"
#include "Mayday/Recording/Tools/MDMachineContext.h"
#include "Mayday/Recording/Tools/MDStackCursor.h"
#include "Mayday/Recording/Tools/MDThread.h"
#include "platform/foundation/UncaughtException.h"

namespace {

constexpr size_t kNameSize = 256;
constexpr size_t kReasonSize = 1000;
constexpr size_t kMaxAddresses = 512;

std::atomic<bool> g_isEnabled{false};
std::atomic<platform::UncaughtExceptionHandler> g_previousHandler{nullptr};

// Static: the frame lets one thread at a time handle an event, and the
// report outlives this function only within it.
Mayday_MonitorContext g_monitorContext;
MDStackCursor g_stackCursor;
char g_eventID[37];
char g_name[kNameSize];
char g_reason[kReasonSize];
uintptr_t g_addresses[kMaxAddresses];

void copyCut(const std::string& text, char* destination, size_t size) {
    const size_t length = text.size() < size - 1 ? text.size() : size - 1;
    memcpy(destination, text.data(), length);
    destination[length] = '\0';
}

void handleUncaughtException(const platform::InvalidArgumentException& exception) {
    if (g_isEnabled.load()) {
        mdcm_beginCrashHandling();

        // Everything that may allocate or lock happens before the other
        // threads stop: one of them could hold the allocator's lock.
        copyCut(exception.name(), g_name, sizeof(g_name));
        copyCut(exception.reason(), g_reason, sizeof(g_reason));
        const std::vector<uintptr_t>& addresses = exception.callStackReturnAddresses();
        const size_t count = addresses.size() < kMaxAddresses ? addresses.size() : kMaxAddresses;
        if (count > 0) memcpy(g_addresses, addresses.data(), count * sizeof(uintptr_t));
        mdid_newEventID(g_eventID);
        MDMC_NEW_CONTEXT(machineContext);
        mdmc_fillContextForThread(mdthread_self(), machineContext, true);
        mdsc_initWithBacktrace(&g_stackCursor, g_addresses, static_cast<int>(count), 0);

        mdmc_suspendEnvironment();
        mdcm_notifyFatalExceptionCaptured(false);

        Mayday_MonitorContext* crashContext = &g_monitorContext;
        memset(crashContext, 0, sizeof(*crashContext));
        crashContext->crashType = MaydayMonitorTypeNSException;
        crashContext->eventID = g_eventID;
        crashContext->offendingMachineContext = machineContext;
        crashContext->registersAreValid = false;
        crashContext->nsexceptionName = g_name;
        crashContext->exceptionName = g_name;
        crashContext->crashReason = g_reason;
        crashContext->stackCursor = &g_stackCursor;
        mdcm_dispatchEvent(crashContext);

        // The previous handler may need the other threads (a lock, a log
        // writer): they run again before it is called.
        mdmc_resumeEnvironment();
        mdcm_endCrashHandling();
    }
    if (const platform::UncaughtExceptionHandler previous = g_previousHandler.load()) previous(exception);
}

void setEnabled(bool isEnabled) {
    if (isEnabled == g_isEnabled.load()) return;
    g_isEnabled.store(isEnabled);
    if (isEnabled) {
        // Installing the parking handler inside a crash would not be safe.
        mdmc_installSuspendHandler();
        g_previousHandler.store(platform::getUncaughtExceptionHandler());
        platform::setUncaughtExceptionHandler(handleUncaughtException);
    } else {
        platform::setUncaughtExceptionHandler(g_previousHandler.load());
    }
}

bool isEnabled() { return g_isEnabled.load(); }

const MaydayMonitorAPI g_api = {setEnabled, isEnabled, nullptr};

}  // namespace

const MaydayMonitorAPI* mdcm_nsexception_getAPI(void) { return &g_api; }
