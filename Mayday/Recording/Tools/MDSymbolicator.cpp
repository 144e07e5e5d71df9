// Symbolication of stack entries. Crash-path safe: no heap, no locks, no stdio.
#include "Mayday/Recording/Tools/MDSymbolicator.h"

#include "Mayday/Recording/Tools/MDDynamicLinker.h"

bool mdsymbolicator_symbolicate(MDStackCursor* cursor) {
    uintptr_t address = cursor->stackEntry.address;
    // A return address points after its call; one less lands inside the call
    // so that a call ending a function is not named after the next one. The
    // instruction of a fault is already the right address: a fault at the
    // first byte of a function must not be named after the function before.
    if (!cursor->stackEntry.isInstructionAddress && address > 0) {
        address -= 1;
    }
    Dl_info info;
    if (mddl_dladdr(address, &info)) {
        cursor->stackEntry.imageName = info.dli_fname;
        cursor->stackEntry.imageAddress = (uintptr_t)info.dli_fbase;
        cursor->stackEntry.symbolName = info.dli_sname;
        cursor->stackEntry.symbolAddress = (uintptr_t)info.dli_saddr;
        return true;
    }
    cursor->stackEntry.imageName = nullptr;
    cursor->stackEntry.imageAddress = 0;
    cursor->stackEntry.symbolName = nullptr;
    cursor->stackEntry.symbolAddress = 0;
    return false;
}
