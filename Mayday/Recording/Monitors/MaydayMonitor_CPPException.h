// The C++ exception monitor: replaces the process's terminate handler and
// watches every throw (through the interposed __cxa_throw), so that an
// uncaught C++ exception is reported with the stack of its throw, not that
// of the terminate handler, and with a description of the thrown value.
//
// Runs in ordinary thread context, never in a signal handler: the terminate
// handler rethrows, catches and formats (snprintf, what()) before it suspends
// the other threads, and only the capture and dispatch that follow run with
// them suspended. The platform's invalid-argument exception is left to the
// terminate handler that was there before, which reports it as an
// NSException. Installation and removal run on one thread.
#pragma once

#include "Mayday/Recording/Monitors/MaydayMonitor.h"

// The monitor's operation record for the frame's table.
const MaydayMonitorAPI* mdcm_cppexception_getAPI(void);
