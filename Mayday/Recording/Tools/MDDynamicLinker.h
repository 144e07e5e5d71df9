// The loaded images of this process and the symbols in them. Stands in for
// dyld's image list (_dyld_image_count and friends) and dladdr.
//
// Crash-path safe (everything except mddl_initialize): the image list is the
// dynamic linker's link map (_r_debug.r_map), walked without the loader's
// lock (dl_iterate_phdr and dladdr take it, and a suspended thread may hold
// it); ELF headers, program headers, notes and dynamic symbol tables are read
// in place. No heap, no locks, no stdio, no exceptions.
//
// Full symbol tables (.symtab, which names non-exported functions too) are
// read from the image files once, by mddl_initialize, into a fixed static
// index; images loaded after the last mddl_initialize fall back to their
// dynamic symbol table alone.
#pragma once

#include <dlfcn.h>
#include <link.h>
#include <stdint.h>

// One loaded image as the crash report describes it.
typedef struct {
    uint64_t address;          // the ELF header's address
    uint64_t vmAddress;        // start of the executable PT_LOAD (load bias applied)
    uint64_t size;             // its memory size
    const char* name;          // path (borrowed from the dynamic linker or our own buffer)
    const uint8_t* uuid;       // first 16 bytes of the GNU build id, or null
    int cpuType;               // Mach vocabulary of the report: x86_64
    int cpuSubType;
    uint64_t majorVersion;     // ELF images carry no version: always 0
    uint64_t minorVersion;
    uint64_t revisionVersion;
} MDBinaryImage;

// Not crash-path safe (allocates, reads files): reads the main program's path
// once, loads the stack unwinder by calling backtrace(3) once, and indexes the
// full symbol tables of the images loaded now. Call at install; calling again
// adds images loaded since.
void mddl_initialize(void);

// Number of images in the link map.
uint32_t mddl_imageCount(void);

// The record of image `index` (link-map order; 0 is the main program).
bool mddl_binaryImage(int index, MDBinaryImage* buffer);

// Index of the first image whose path equals `imageName` (exactMatch) or
// contains it; -1 when none or for null.
int mddl_imageNamed(const char* imageName, bool exactMatch);

// The 16 build-id bytes of the image found by mddl_imageNamed, or null.
const uint8_t* mddl_imageUUID(const char* imageName, bool exactMatch);

// Image path and base (ELF header address) of `address`, plus the nearest
// symbol at or below it (dli_sname/dli_saddr null when there is none).
// False when no loaded image contains the address.
bool mddl_dladdr(uintptr_t address, Dl_info* info);

// The nearest-symbol rule over one symbol table: the index of the entry with
// the smallest non-negative distance `address - (bias + st_value)`, entries of
// value 0, undefined entries and types other than function, indirect function
// and object skipped; on equal distance the later entry wins. -1 when none.
int mddl_nearestSymbol(const ElfW(Sym)* symbols, uint32_t count, uintptr_t bias, uintptr_t address);

// The part of `path` after its last "/" (all of it without one; "" when it
// ends in "/"); null for null. Crash-path safe.
const char* mdfu_lastPathEntry(const char* path);
