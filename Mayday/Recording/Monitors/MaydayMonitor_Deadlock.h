// The main-thread deadlock monitor: a watchdog thread ("Mayday Deadlock
// Detection Thread") posts a pulse to the main queue every interval; when the
// previous pulse is still unanswered at the next tick the main thread is
// declared hung, a report with its stack is written and the process aborts.
//
// Crash path: the report of a deadlock is made on the watchdog thread with
// every other thread suspended (no heap, no locks, no stdio from the
// suspension to the abort); disabling the monitor from a crash's dispatch only
// sets a flag and keeps the monitor alive. Enabling, disabling and the
// watchdog's pulses run in ordinary thread context.
#pragma once

#include "Mayday/Recording/Monitors/MaydayMonitor.h"

// The monitor's operation record for the frame's table.
const MaydayMonitorAPI* mdcm_deadlock_getAPI(void);

// Seconds between two pulses, read by the watchdog at every tick. 0 (the
// default), a negative value or NaN: no detection; the watchdog then only
// wakes every 5 s.
void mdcm_setDeadlockWatchdogInterval(double seconds);
