// Copies of the dynamic linker's and the images' memory, which another
// thread's dlclose may unmap (or free) while we read it: every read goes
// through the kernel-checked copy (mdmem_copySafely), so memory that is gone
// reads as a failed copy, never as a fault. Internal to the image list.
//
// Crash-path safe: kernel-checked copies into the caller's fixed buffers and
// getauxval (a read of a table set up at start); no heap, no locks, no stdio.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mddl {

// Copies `length` bytes from `address`; false for address 0 or when any of
// them cannot be read.
bool copyFrom(uintptr_t address, void* buffer, size_t length);

// One 32-bit word at `address`.
bool readWord(uintptr_t address, uint32_t* value);

// The system's page size (4096 when the auxiliary vector lacks it).
uintptr_t pageSize(void);

// Copies the string at `address` into `buffer` (NUL-terminated); false when
// it cannot be read or does not end within `capacity` bytes.
bool copyString(uintptr_t address, char* buffer, size_t capacity);

}  // namespace mddl
