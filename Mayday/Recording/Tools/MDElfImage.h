// One loaded image's ELF structures as they are mapped: its ELF and program
// headers, its span, its GNU build-id note and its dynamic symbol table.
// Internal to the image list.
//
// Crash-path safe: image memory is read only through the kernel-checked copy
// into fixed buffers on the stack (an image whose memory is gone reads as
// absent); no heap, no locks, no stdio.
#pragma once

#include <cstddef>
#include <cstdint>
#include <elf.h>
#include <link.h>

#include "Mayday/Recording/Tools/MDImageList.h"

namespace mddl {

constexpr int kUUIDLength = 16;
// The longest build id kept whole (GNU ld writes 20 bytes, some linkers 32).
constexpr int kMaxBuildIDLength = 64;
constexpr int kCachedProgramHeaders = 16;

// What one image looks like in memory, from checked copies of its headers.
struct Image {
    uintptr_t map;
    LinkEntry entry;
    bool isMainProgram;
    uintptr_t phdrs;  // address of the program headers
    int phnum;
    uintptr_t start;  // page-aligned span of the PT_LOAD segments as mapped
    uintptr_t end;
    uintptr_t textVAddr;  // link-time p_vaddr of the executable PT_LOAD
    const char* name;     // the dynamic linker's l_name, our copy, or executablePath()
    // The program headers themselves when there are few (there nearly
    // always are): a second look needs no second copy.
    int cachedPhdrs;
    ElfW(Phdr) phdrCache[kCachedProgramHeaders];
    // Its full-symbol-table record, once looked up (a report's image list
    // keeps it): recordKnown false until then.
    bool recordKnown;
    const struct IndexedImage* record;
};

bool hasELFMagic(const ElfW(Ehdr)* header);

// True when the entry is a present image: its ELF and program headers read
// (the loader maps them with the lowest segment, which it unmaps with the
// rest) and it has a PT_LOAD.
bool describeImage(uintptr_t map, const LinkEntry& entry, uintptr_t firstMap, Image* image);

// True while the image's headers still read as they did.
bool stillMapped(const Image* image);

bool imageContains(const Image* image, uintptr_t address);

// The image's path now: the main program's read at install, otherwise a copy
// of the loader's name into `buffer`; null when that cannot be read.
const char* currentPath(const Image* image, char* buffer, size_t capacity);

// The GNU build-id bytes inside the image's notes, or 0; `length` (when
// given) receives the note's length, at least kUUIDLength.
uintptr_t buildIDInMemory(const Image* image, uint32_t* length = nullptr);

// The name (in the image) and address of the dynamic symbol nearest at or
// below `address` by mddl_nearestSymbol's rule; false, leaving both alone,
// when there is none that reads, when it has a size and the address lies
// past it, or when its name cannot be read.
bool nearestDynamicName(const Image* image, uintptr_t address, const char** name, uintptr_t* symbolAddress);

}  // namespace mddl
