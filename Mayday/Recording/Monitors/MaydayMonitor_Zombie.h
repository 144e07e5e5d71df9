// The zombie monitor: replaces the dealloc of the two root classes NSObject
// and NSProxy of the object runtime (platform/objc/Runtime.h) to remember,
// for recently freed addresses, the class of the object that lived there,
// and the address, name and reason of the last NSException freed. Every
// event carries the latter; the report writer names freed objects that
// registers or the stack still point to with the former.
//
// Once enabled it stays enabled for the life of the process (freed objects
// keep going through the recording dealloc; disabling changes nothing).
//
// Crash-path safe: the lookup and the addition to an event read fixed memory
// only, no heap, no locks. The recording dealloc runs on every thread that
// frees an object and writes without a lock; readers see what the last
// writes left. Enabling runs on one ordinary thread.
#pragma once

#include "Mayday/Recording/Monitors/MaydayMonitor.h"

// The class name of the object last deallocated at `address`, or null when
// the address is 0, the monitor was never installed or the cache entry of
// the address holds another one.
const char* mdzombie_classNameForAddress(const void* address);

// The monitor's operation record for the frame's table.
const MaydayMonitorAPI* mdcm_zombie_getAPI(void);
