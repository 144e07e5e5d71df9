// The system monitor: describes the machine, the operating system and the
// application once, when it is first enabled in the process, and adds that
// description plus the current free and usable memory to every event. It
// catches nothing itself.
//
// Enabling gathers (allocates, reads files, asks the main bundle) and runs on
// the installing thread. The monitor's addContextToEvent is crash-path safe
// (may run in a crashed process or a signal handler): it copies the gathered
// record and reads /proc/meminfo (or sysinfo(2)) with raw system calls; no
// heap, no locks, no stdio.
#pragma once

#include "Mayday/Recording/Monitors/MaydayMonitor.h"

// The monitor's operation record for the frame's table.
const MaydayMonitorAPI* mdcm_system_getAPI(void);

// Tests only: disables the monitor and forgets the gathered record, so that
// the next enable gathers again.
void mdcm_system_testing_reset(void);
