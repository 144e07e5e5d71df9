// The Mach exception monitor: registers its own port as the task's exception
// port for the fatal exception types and serves it from two dedicated threads
// (the secondary, started suspended, takes over if handling itself faults),
// so a crash is seen before it becomes a signal, even when the crashed
// thread's stack is unusable. Built over platform/mach/ExceptionPorts.h.
//
// The handler threads' exception path is crash-path code: no heap, no locks,
// no stdio, only async-signal-safe calls; the context, cursor and event IDs
// are static. Installation and removal run on one ordinary thread (removal
// also from the frame's dispatch, where it stays async-signal-safe).
#pragma once

#include "Mayday/Recording/Monitors/MaydayMonitor.h"

// The monitor's operation record for the frame's table.
const MaydayMonitorAPI* mdcm_machexception_getAPI(void);
