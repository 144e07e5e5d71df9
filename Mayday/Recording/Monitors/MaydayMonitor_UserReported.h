// The user-reported exception monitor: lets the application report an
// exception of its own as an event, optionally with the other threads
// stopped while the report is written and optionally ending the process.
//
// Runs on the reporting thread in ordinary context; the event ID, the machine
// context and the stack walk are made on that thread's stack before any
// other thread is suspended.
#pragma once

#include "Mayday/Recording/Monitors/MaydayMonitor.h"

// The monitor's operation record for the frame's table (enabling only
// records the wish).
const MaydayMonitorAPI* mdcm_userreported_getAPI(void);

// Reports one exception of the application's: `name`, `reason` and
// `language` as given, `lineOfCode` and `stackTrace` (a JSON array text) may
// be null. With `logAllThreads` the other threads are suspended during the
// report; with `terminateProgram` the event is fatal and abort() ends the
// process after it (no second report: the monitors are gone by then). While
// the monitor is off it logs a warning and records nothing.
void mdcm_reportUserException(const char* name, const char* reason, const char* language, const char* lineOfCode,
                              const char* stackTrace, bool logAllThreads, bool terminateProgram);
