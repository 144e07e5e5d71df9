// The NSException monitor: reports an uncaught platform exception
// (platform::InvalidArgumentException, this program's NSException) through
// the platform's uncaught-exception handler slot, with the exception's own
// return-address list as the stack, and then hands it on to the handler that
// was installed before.
//
// The handler runs on the failing thread in ordinary context (the terminate
// path). It copies what it needs out of the exception into fixed buffers
// first; from suspending the other threads until resuming them it uses no
// heap, no locks and no stdio (a suspended thread may hold the allocator).
// Enabling and disabling run on one ordinary thread.
#pragma once

#include "Mayday/Recording/Monitors/MaydayMonitor.h"

// The monitor's operation record for the frame's table.
const MaydayMonitorAPI* mdcm_nsexception_getAPI(void);
