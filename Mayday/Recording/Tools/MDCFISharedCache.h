// The caches shared by all walks of the call-frame unwinder (the crash path
// walks every thread, and the walks find the same few images and FDEs).
// Internal to the unwinder (MDCFIUnwind.cpp).
//
// Crash-path safe: fixed static buffers, claimed with an atomic flag; every
// read of image memory is a kernel-checked copy.
#pragma once

#include <stdint.h>

#include "Mayday/Recording/Tools/MDCFIProgram.h"
#include "Mayday/Recording/Tools/MDDynamicLinker.h"

namespace mdcfi {

struct ImageInfo {
    uintptr_t header;  // .eh_frame_hdr
    uintptr_t table;   // its binary-search table, 0 when there is none we can use
    uint64_t count;
};

// The shared record of the image holding `address`, once one checked copy
// has shown the image still there; false otherwise (look it up then).
bool sharedImageFor(uintptr_t address, MDImageFrameInfo* found, ImageInfo* info);
// Records an image just found through the link map.
void shareImage(const MDImageFrameInfo& found, const ImageInfo& info);

// The last of `count` sorted table entries whose initial location is at or
// below the address, answered as its FDE.
bool searchEntries(const int32_t (*entries)[2], uint64_t count, uintptr_t header, uintptr_t address,
                   uintptr_t* fde);
// The search through the shared copy of the image's table, copying it
// first when there is none yet. False, leaving `fde` alone, when the table
// cannot be copied (too big, memory gone, the store claimed).
bool searchSharedTable(const ImageInfo& image, uintptr_t address, bool* found, uintptr_t* fde);

// Fills `bytes` from the shared chunk of the FDE at `fde`, when there is one.
void loadChunk(uintptr_t fde, ImageBytes* bytes);
// Keeps the chunk `bytes` holds when it starts at the FDE.
void storeChunk(uintptr_t fde, const ImageBytes& bytes);

// The row of an address whose rules need no expression, as worked out by an
// earlier step: the threads of one process stop in the same few places, and
// running their CIE and FDE programs again is most of a step's work. Kept
// for an image recognised by its .eh_frame_hdr; emptied, with the FDE
// chunks, whenever the shared images change.
struct CachedRow {
    Row row;
    uint64_t returnRegister;
    bool isSignalFrame;
};
bool loadRow(uintptr_t target, uintptr_t header, CachedRow* out);
void storeRow(uintptr_t target, uintptr_t header, const CachedRow& row);

}  // namespace mdcfi
