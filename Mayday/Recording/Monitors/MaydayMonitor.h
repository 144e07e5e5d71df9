// The frame every monitor shares: selection of the active monitors (with the
// debugger and async-safety masks), fatal-event bookkeeping with detection
// of a crash inside the crash reporter, and dispatch of an event to the
// monitors' additions and then to the one event handler.
//
// Crash-path safe: no heap, no locks; the frame's flags are atomics.
#pragma once

#include "Mayday/Recording/Monitors/MaydayMonitorContext.h"
#include "Mayday/Recording/Monitors/MaydayMonitorType.h"

// The operation record each monitor exposes (one static instance per monitor).
typedef struct {
    void (*setEnabled)(bool isEnabled);
    bool (*isEnabled)(void);
    void (*addContextToEvent)(Mayday_MonitorContext* eventContext);  // may be null
} MaydayMonitorAPI;

// Installs the single consumer of events; set it before enabling any monitor.
void mdcm_setEventHandler(void (*onEvent)(Mayday_MonitorContext* monitorContext));
// Enables the wanted monitors (after masking) and disables the rest.
void mdcm_selectMonitors(MaydayMonitorFlags monitorTypes);
MaydayMonitorFlags mdcm_activeMonitorTypes(void);
// Called first thing by a monitor that caught a fatal event; answers whether
// this is a crash during the handling of another.
bool mdcm_notifyFatalExceptionCaptured(bool isAsyncSafeEnvironment);
// Completes the event with every enabled monitor's addition and hands it to
// the event handler; after a first fatal event, removes every monitor.
void mdcm_dispatchEvent(Mayday_MonitorContext* context);

// One fatal event at a time, whichever monitor catches it. The thread that
// handles an event holds the frame from before it suspends the environment
// until it has resumed it; another thread that catches one meanwhile waits
// here (1 ms pauses; the crash watchdog bounds the wait). The holder itself
// passes again (a crash during its own handling). The last end also stops
// the crash watchdog. Crash-path safe.
void mdcm_beginCrashHandling(void);
void mdcm_endCrashHandling(void);

// Tests only: the frame back to its state at process start (and every table
// entry back to its monitor's own accessor).
void mdcm_testing_reset(void);
// Tests only: makes the table entry of `flag` (one bit) yield `api` (which
// may be null: an entry that yields nothing) instead of the monitor's own.
void mdcm_testing_setAPI(MaydayMonitorFlags flag, const MaydayMonitorAPI* api);
