// Whether a debugger traces this process. Stands in for the kinfo_proc
// P_TRACED query of macOS sysctl.
//
// Async-signal-safe: reads TracerPid from /proc/self/status with plain
// open/read into a stack buffer (no heap, no locks, no stdio).
#pragma once

// True when a tracer (a debugger, strace) is attached. When the status cannot
// be read, logs "sysctl: <error>" and answers false.
bool mddebug_isBeingTraced(void);
