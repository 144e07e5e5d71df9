// The signal monitor: catches the fatal POSIX signals of the process on an
// alternate signal stack, fills the event context from the signal's user
// context and hands it to the monitor frame; then lets the previous actions
// end the process.
//
// The handler is crash-path code: no heap, no locks, no stdio, only
// async-signal-safe calls; its context, cursor and event ID are static and
// the alternate stack and the saved actions are allocated at installation.
// Installation and removal are not async-signal-safe and run on one thread.
#pragma once

#include "Mayday/Recording/Monitors/MaydayMonitor.h"

struct sigaction;

// The monitor's operation record for the frame's table.
const MaydayMonitorAPI* mdcm_signal_getAPI(void);

// Tests only: the installation of the fatal signal at `index` (0 = the first
// of mdsignal_fatalSignals) fails with EINVAL, once; a negative index turns
// the injection off.
void mdsignal_testing_failSigactionAt(int index);

// Tests only: called before each signal-action change the monitor makes, with
// the signal and the action it sets (never a query); null to stop.
void mdsignal_testing_setSigactionObserver(void (*observer)(int signum, const struct sigaction* action));
