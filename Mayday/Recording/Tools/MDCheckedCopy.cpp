// Kernel-checked copies of loader and image memory.
//
// Crash-path safe: mdmem_copySafely into the caller's buffers and getauxval;
// no heap, no locks, no stdio.
#include "Mayday/Recording/Tools/MDCheckedCopy.h"

#include <sys/auxv.h>

#include "Mayday/Recording/Tools/MDMemory.h"

namespace mddl {

bool copyFrom(uintptr_t address, void* buffer, size_t length) {
    return address != 0 && mdmem_copySafely((const void*)address, buffer, (int)length);
}

bool readWord(uintptr_t address, uint32_t* value) {
    return copyFrom(address, value, sizeof *value);
}

uintptr_t pageSize(void) {
    const unsigned long size = getauxval(AT_PAGESZ);
    return size != 0 ? (uintptr_t)size : 4096;
}

bool copyString(uintptr_t address, char* buffer, size_t capacity) {
    if (address == 0 || capacity == 0) {
        return false;
    }
    // Reads stop at page ends so that a string just before an unmapped page
    // still reads.
    const uintptr_t page = pageSize();
    size_t done = 0;
    while (done < capacity) {
        const uintptr_t at = address + done;
        size_t piece = page - (at & (page - 1));
        if (piece > 256) piece = 256;
        if (piece > capacity - done) piece = capacity - done;
        if (!copyFrom(at, buffer + done, piece)) {
            return false;
        }
        for (size_t i = done; i < done + piece; i++) {
            if (buffer[i] == '\0') {
                return true;
            }
        }
        done += piece;
    }
    buffer[capacity - 1] = '\0';
    return false;
}

}  // namespace mddl
