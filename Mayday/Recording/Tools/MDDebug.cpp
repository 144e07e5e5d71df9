// Debugger detection from the kernel's process status. Crash-path safe.
#include "Mayday/Recording/Tools/MDDebug.h"

#include <cerrno>
#include <cstdint>

#include "Mayday/Recording/Tools/MDLogger.h"
#include "Mayday/Recording/Tools/MDSysCall.h"
#include "Mayday/Recording/Tools/MDSysCtl.h"

bool mddebug_isBeingTraced(void) {
    uint64_t tracer = 0;
    if (!mdsysctl_readKeyedNumber("/proc/self/status", "TracerPid:", &tracer)) {
        const int error = errno;
        MDLOG_ERROR("sysctl: %s", mdsys_errorText(error));
        errno = error;
        return false;
    }
    return tracer != 0;
}
