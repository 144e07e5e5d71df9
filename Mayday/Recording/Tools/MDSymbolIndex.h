// The prepared index of the images' full symbol tables (.symtab, which names
// non-exported functions too), with copies of each image's path and build
// id: built from the image files by mddl_initialize, read at crash time.
// Internal to the image list.
//
// Crash-path safe, except indexLoadedImages: the lookups only read the fixed
// static index up to the published count; no heap, no locks, no stdio.
#pragma once

#include <cstdint>

#include "Mayday/Recording/Tools/MDElfImage.h"

namespace mddl {

struct IndexedImage;

// Not crash-path safe (allocates, reads files): adds the images of the live
// link map that have no record yet. Called by mddl_initialize under its
// mutex, the index's only writer.
void indexLoadedImages(void);

// The record of a present image, or null. A record is used only for an
// image found in the live link map with the same entry, bias, dynamic
// section and path, so the tables of an unloaded image are never taken for
// whatever is loaded in its place.
const IndexedImage* indexedImage(const Image* image);

// The name to hand out: our own copy when there is one, since the dynamic
// linker frees its copy at dlclose.
const char* reportedName(const Image* image, const IndexedImage* record);

// The 16 build-id bytes: our copy when there is a record, else in the image.
const uint8_t* reportedUUID(const Image* image, const IndexedImage* record);
// The whole build id (at most kMaxBuildIDLength bytes) and its length; null
// and 0 without one.
const uint8_t* reportedBuildID(const Image* image, const IndexedImage* record, uint32_t* length);

// Over the record's symbols (none for null): replaces `*name` and
// `*symbolAddress` by the nearest symbol at or below `address` that is at
// least as near (any, while `*name` is null).
// A binary search: each image's symbols are kept sorted by address.
void nearestIndexedSymbol(const IndexedImage* record, uintptr_t address, const char** name, uintptr_t* symbolAddress);

// The nearest dynamic symbol by the rule of the image's own dynamic table
// (mddl_nearestSymbol, then no name for an address past a sized symbol),
// from the record's copy of the file's .dynsym: sets `*name` and
// `*symbolAddress` when it names one. False when the record has no such
// copy (null, or the file had none): the caller reads the image's table.
bool nearestIndexedDynamicName(const IndexedImage* record, uintptr_t address, const char** name,
                               uintptr_t* symbolAddress);

// The record's symbols in address order (for checking the lookups): how many
// (0 for null), and the name and address of the one at `index` (below that count).
uint32_t indexedSymbolCount(const IndexedImage* record);
void indexedSymbolAt(const IndexedImage* record, uint32_t index, const char** name, uintptr_t* symbolAddress);

}  // namespace mddl
