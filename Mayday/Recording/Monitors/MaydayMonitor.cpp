// The frame every monitor shares: the fixed monitor table, selection with the
// debugger and async-safety masks, fatal-event bookkeeping and dispatch.
//
// Crash path: mdcm_notifyFatalExceptionCaptured, mdcm_dispatchEvent and the
// selection they trigger run in signal handlers and with other threads
// suspended. They use no heap, no locks and no stdio: the frame state is
// lock-free atomics and logging goes through the async-safe MDLOG_* and
// mdlog_logBareLine.
#include "Mayday/Recording/Monitors/MaydayMonitor.h"

#include <atomic>
#include <cstddef>
#include <ctime>

#include "Mayday/Recording/Monitors/MDCrashWatchdog.h"
#include "Mayday/Recording/Tools/MDDebug.h"
#include "Mayday/Recording/Tools/MDLogger.h"
#include "Mayday/Recording/Tools/MDMachineContext.h"
#include "Mayday/Recording/Tools/MDThread.h"

// The table names every monitor's accessor directly, so that linking the
// frame pulls every monitor out of the static library.
#include "Mayday/Recording/Monitors/MaydayMonitor_AppState.h"
#include "Mayday/Recording/Monitors/MaydayMonitor_CPPException.h"
#include "Mayday/Recording/Monitors/MaydayMonitor_Deadlock.h"
#include "Mayday/Recording/Monitors/MaydayMonitor_MachException.h"
#include "Mayday/Recording/Monitors/MaydayMonitor_NSException.h"
#include "Mayday/Recording/Monitors/MaydayMonitor_Signal.h"
#include "Mayday/Recording/Monitors/MaydayMonitor_System.h"
#include "Mayday/Recording/Monitors/MaydayMonitor_UserReported.h"
#include "Mayday/Recording/Monitors/MaydayMonitor_Zombie.h"

namespace {

typedef const MaydayMonitorAPI* (*APIAccessor)(void);

struct MonitorEntry {
    MaydayMonitorFlags flag;
    APIAccessor getAPI;  // null when the monitor is not linked in
};

// The order is that of every walk: the Mach monitor's addition must run
// before the signal monitor's, and the information-only monitors come last.
const MonitorEntry g_monitors[] = {
    {MaydayMonitorTypeMachException, mdcm_machexception_getAPI},
    {MaydayMonitorTypeSignal, mdcm_signal_getAPI},
    {MaydayMonitorTypeNSException, mdcm_nsexception_getAPI},
    {MaydayMonitorTypeMainThreadDeadlock, mdcm_deadlock_getAPI},
    {MaydayMonitorTypeZombie, mdcm_zombie_getAPI},
    {MaydayMonitorTypeCPPException, mdcm_cppexception_getAPI},
    {MaydayMonitorTypeUserReported, mdcm_userreported_getAPI},
    {MaydayMonitorTypeSystem, mdcm_system_getAPI},
    {MaydayMonitorTypeApplicationState, mdcm_appstate_getAPI},
};
constexpr size_t kMonitorCount = sizeof(g_monitors) / sizeof(g_monitors[0]);

// Test overrides, one per entry.
std::atomic<bool> g_isOverridden[kMonitorCount];
std::atomic<const MaydayMonitorAPI*> g_overrideAPI[kMonitorCount];

typedef void (*EventHandler)(Mayday_MonitorContext*);

std::atomic<MaydayMonitorFlags> g_activeMonitors{MaydayMonitorTypeNone};
std::atomic<EventHandler> g_onEvent{nullptr};
std::atomic<bool> g_requiresAsyncSafety{false};
std::atomic<bool> g_handlingFatalException{false};
std::atomic<bool> g_crashedDuringExceptionHandling{false};
std::atomic<bool> g_noticeShown{false};
std::atomic<MDThread> g_handlingThread{0};
int g_handlingDepth = 0;  // touched by the holder only

static_assert(std::atomic<MaydayMonitorFlags>::is_always_lock_free, "signal handlers need lock-free flags");
static_assert(std::atomic<bool>::is_always_lock_free, "signal handlers need lock-free flags");
static_assert(std::atomic<EventHandler>::is_always_lock_free, "signal handlers need lock-free flags");
static_assert(std::atomic<MDThread>::is_always_lock_free, "signal handlers need lock-free flags");

const MaydayMonitorAPI* apiAt(size_t index) {
    if (g_isOverridden[index].load()) {
        return g_overrideAPI[index].load();
    }
    const APIAccessor accessor = g_monitors[index].getAPI;
    return accessor ? accessor() : nullptr;
}

void setMonitorEnabled(const MaydayMonitorAPI* api, bool isEnabled) {
    if (api && api->setEnabled) {
        api->setEnabled(isEnabled);
    }
}

bool isMonitorEnabled(const MaydayMonitorAPI* api) {
    return api && api->isEnabled && api->isEnabled();
}

void showDebuggerNoticeOnce() {
    if (g_noticeShown.exchange(true)) {
        return;
    }
    mdlog_logBareLine("%s", "    ************************ Crash Handler Notice ************************");
    mdlog_logBareLine("%s", "    *     App is running in a debugger. Masking out unsafe monitors.     *");
    mdlog_logBareLine("%s", "    * This means that most crashes WILL NOT BE RECORDED while debugging! *");
    mdlog_logBareLine("%s", "    **********************************************************************");
}

}  // namespace

void mdcm_setEventHandler(void (*onEvent)(Mayday_MonitorContext* monitorContext)) {
    g_onEvent.store(onEvent);
}

void mdcm_selectMonitors(MaydayMonitorFlags monitorTypes) {
    // The tracer check reads /proc; only ask when it can change anything.
    if ((monitorTypes & MaydayMonitorTypeDebuggerUnsafe) && mddebug_isBeingTraced()) {
        showDebuggerNoticeOnce();
        monitorTypes &= MaydayMonitorTypeDebuggerSafe;
    }
    if (g_requiresAsyncSafety.load() && (monitorTypes & MaydayMonitorTypeAsyncUnsafe)) {
        monitorTypes &= MaydayMonitorTypeAsyncSafe;
    }

    MaydayMonitorFlags active = g_activeMonitors.load();
    for (size_t i = 0; i < kMonitorCount; i++) {
        const MaydayMonitorFlags flag = g_monitors[i].flag;
        const MaydayMonitorAPI* api = apiAt(i);
        setMonitorEnabled(api, (monitorTypes & flag) != 0);
        // A monitor whose installation failed still answers true here: it
        // recorded the wish before trying, and stays in the active set.
        if (isMonitorEnabled(api)) {
            active |= flag;
        } else {
            active &= ~flag;
        }
    }
    g_activeMonitors.store(active);
    if (active != MaydayMonitorTypeNone) {
        mdcw_prepare();
    } else if (!g_handlingFatalException.load()) {
        // Nothing will suspend threads any more; the signal is the process's again.
        mdmc_uninstallSuspendHandler();
    }
}

MaydayMonitorFlags mdcm_activeMonitorTypes(void) {
    return g_activeMonitors.load();
}

bool mdcm_notifyFatalExceptionCaptured(bool isAsyncSafeEnvironment) {
    if (isAsyncSafeEnvironment) {
        g_requiresAsyncSafety.store(true);
    }
    if (g_handlingFatalException.exchange(true)) {
        g_crashedDuringExceptionHandling.store(true);
    } else {
        mdcw_arm();
    }
    if (g_crashedDuringExceptionHandling.load()) {
        // Take every hook out first, so the crash reporter cannot loop on
        // its own fault.
        MDLOG_INFO("%s", "Detected crash in the crash reporter. Uninstalling Mayday.");
        mdcm_selectMonitors(MaydayMonitorTypeNone);
        return true;
    }
    return false;
}

void mdcm_dispatchEvent(Mayday_MonitorContext* context) {
    context->requiresAsyncSafety = g_requiresAsyncSafety.load();
    if (g_crashedDuringExceptionHandling.load()) {
        context->crashedDuringCrashHandling = true;
    }
    for (size_t i = 0; i < kMonitorCount; i++) {
        const MaydayMonitorAPI* api = apiAt(i);
        if (isMonitorEnabled(api) && api->addContextToEvent) {
            api->addContextToEvent(context);
        }
    }
    if (context->signal.signum > 0) mdcw_setSignal(context->signal.signum);
    const EventHandler onEvent = g_onEvent.load();
    if (onEvent) {
        onEvent(context);
    }
    // After the first fatal event's report the previous handlers go back,
    // so the platform's own handling ends the process. On a recrash the
    // capture step already removed everything.
    if (g_handlingFatalException.load() && !g_crashedDuringExceptionHandling.load()) {
        mdcm_selectMonitors(MaydayMonitorTypeNone);
    }
}

void mdcm_beginCrashHandling(void) {
    const MDThread self = mdthread_self();
    for (;;) {
        MDThread expected = 0;
        if (g_handlingThread.compare_exchange_strong(expected, self) || expected == self) break;
        const struct timespec pause = {0, 1000000};
        nanosleep(&pause, nullptr);
    }
    g_handlingDepth++;
}

void mdcm_endCrashHandling(void) {
    if (g_handlingThread.load() != mdthread_self()) return;
    if (--g_handlingDepth > 0) return;
    g_handlingDepth = 0;
    mdcw_disarm();
    g_handlingThread.store(0);
}

void mdcm_testing_reset(void) {
    g_handlingThread.store(0);
    g_handlingDepth = 0;
    mdcw_disarm();
    g_activeMonitors.store(MaydayMonitorTypeNone);
    g_onEvent.store(nullptr);
    g_requiresAsyncSafety.store(false);
    g_handlingFatalException.store(false);
    g_crashedDuringExceptionHandling.store(false);
    g_noticeShown.store(false);
    for (size_t i = 0; i < kMonitorCount; i++) {
        g_isOverridden[i].store(false);
        g_overrideAPI[i].store(nullptr);
    }
}

void mdcm_testing_setAPI(MaydayMonitorFlags flag, const MaydayMonitorAPI* api) {
    for (size_t i = 0; i < kMonitorCount; i++) {
        if (g_monitors[i].flag == flag) {
            g_overrideAPI[i].store(api);
            g_isOverridden[i].store(true);
            return;
        }
    }
}
