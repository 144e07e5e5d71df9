// The caches shared by all walks: the images found, copies of their
// .eh_frame_hdr search tables, and the image bytes at the start of FDEs.
//
// Crash-path safe: fixed static buffers claimed with one atomic flag (a
// walker that finds it claimed goes without); every read of image memory is
// a kernel-checked copy; no heap, no locks, no stdio, no exceptions.
#include "Mayday/Recording/Tools/MDCFISharedCache.h"

#include <cstddef>

#include "Mayday/Recording/Tools/MDMemory.h"

namespace mdcfi {

namespace {

// Images found by earlier walks, shared by all (the crash path walks every
// thread, each walk finding the same few images), with copies of their
// search tables. The link map cannot be
// trusted to stay put, so an entry is taken only after one kernel-checked
// copy of its .eh_frame_hdr start (header fields, entry count, first table
// entry) reads the bytes it was made from: an image unloaded since reads as
// gone or different and is looked up again. Everything read through the
// entry is still a checked copy (a table copy is only searched, and its
// image was recognised by this walk). Claimed with an atomic flag; a walker that
// finds it claimed looks up through the link map.
constexpr int kSharedImages = 16;
constexpr int kHeaderProbe = 20;

struct SharedImage {
    uintptr_t start, end;
    ImageInfo info;
    int probeLength;
    uint8_t probe[kHeaderProbe];
    int tableAt;  // its table's copy in g_tables, -1 for none
    uint32_t checkedIn;  // the image-list snapshot it was last recognised in, 0 for none
};

// The copied search tables (a libc's is about 30 KiB), filled in turn and
// emptied when full.
constexpr int kTableWords = 128 * 1024 / 4;
int32_t g_tables[kTableWords];
int g_tablesUsed;

SharedImage g_sharedImages[kSharedImages];
int g_sharedCount;
int g_sharedNext;
int g_sharedClaimed;

// The image bytes at the start of FDEs found earlier (one copy per frame
// otherwise): valid while the shared images stay the same, so emptied
// whenever one is added or dropped.
constexpr int kChunkSlots = 128;

struct SharedChunk {
    uintptr_t start;  // the FDE, 0 for an empty slot
    int length;
    uint8_t bytes[sizeof(MDCFIWalker::cieChunk)];
};

SharedChunk g_chunks[kChunkSlots];

constexpr int kRowSlots = 256;

struct SharedRow {
    uintptr_t target;  // 0 for an empty slot
    uintptr_t header;
    CachedRow row;
};

SharedRow g_rows[kRowSlots];

SharedRow* rowSlot(uintptr_t target) {
    return &g_rows[(target ^ (target >> 9)) % kRowSlots];
}

void forgetChunks(void) {
    for (int i = 0; i < kChunkSlots; i++) g_chunks[i].start = 0;
    for (int i = 0; i < kRowSlots; i++) g_rows[i].target = 0;
}

SharedChunk* chunkSlot(uintptr_t fde) {
    return &g_chunks[(fde >> 2) % kChunkSlots];
}

}  // namespace

void loadChunk(uintptr_t fde, ImageBytes* bytes) {
    if (__atomic_exchange_n(&g_sharedClaimed, 1, __ATOMIC_ACQUIRE) != 0) return;
    const SharedChunk* chunk = chunkSlot(fde);
    if (chunk->start == fde && chunk->length > 0) {
        bytes->start = fde;
        bytes->length = chunk->length;
        __builtin_memcpy(bytes->chunk, chunk->bytes, (size_t)chunk->length);
    }
    __atomic_store_n(&g_sharedClaimed, 0, __ATOMIC_RELEASE);
}

void storeChunk(uintptr_t fde, const ImageBytes& bytes) {
    if (bytes.start != fde || bytes.length <= 0) return;
    if (__atomic_exchange_n(&g_sharedClaimed, 1, __ATOMIC_ACQUIRE) != 0) return;
    SharedChunk* chunk = chunkSlot(fde);
    chunk->start = fde;
    chunk->length = bytes.length;
    __builtin_memcpy(chunk->bytes, bytes.chunk, (size_t)bytes.length);
    __atomic_store_n(&g_sharedClaimed, 0, __ATOMIC_RELEASE);
}

bool loadRow(uintptr_t target, uintptr_t header, CachedRow* out) {
    if (target == 0 || __atomic_exchange_n(&g_sharedClaimed, 1, __ATOMIC_ACQUIRE) != 0) return false;
    const SharedRow* slot = rowSlot(target);
    const bool hit = slot->target == target && slot->header == header;
    if (hit) *out = slot->row;
    __atomic_store_n(&g_sharedClaimed, 0, __ATOMIC_RELEASE);
    return hit;
}

void storeRow(uintptr_t target, uintptr_t header, const CachedRow& row) {
    if (target == 0 || header == 0 || __atomic_exchange_n(&g_sharedClaimed, 1, __ATOMIC_ACQUIRE) != 0) return;
    SharedRow* slot = rowSlot(target);
    slot->target = target;
    slot->header = header;
    slot->row = row;
    __atomic_store_n(&g_sharedClaimed, 0, __ATOMIC_RELEASE);
}

namespace {

int probeLength(const ImageInfo& info) {
    return info.table != 0 && info.table - info.header <= kHeaderProbe - 8 ? (int)(info.table - info.header) + 8 : 4;
}

}  // namespace

bool sharedImageFor(uintptr_t address, MDImageFrameInfo* found, ImageInfo* info) {
    if (__atomic_exchange_n(&g_sharedClaimed, 1, __ATOMIC_ACQUIRE) != 0) return false;
    bool hit = false;
    for (int i = 0; i < g_sharedCount && !hit; i++) {
        SharedImage& image = g_sharedImages[i];
        if (address < image.start || address >= image.end) continue;
        // Within one snapshot of the image list (one report) an image
        // recognised once stays: the probe is copied once per report.
        const uint32_t snapshot = mddl_snapshotGeneration();
        uint8_t probe[kHeaderProbe];
        if ((snapshot != 0 && image.checkedIn == snapshot) ||
            (mdmem_copySafely((const void*)image.info.header, probe, image.probeLength) &&
             __builtin_memcmp(probe, image.probe, (size_t)image.probeLength) == 0)) {
            image.checkedIn = snapshot;
            found->start = image.start;
            found->end = image.end;
            *info = image.info;
            hit = true;
        } else {
            // Gone or replaced: never matches again.
            image.start = image.end = 0;
            image.info.header = 0;
            forgetChunks();
        }
    }
    __atomic_store_n(&g_sharedClaimed, 0, __ATOMIC_RELEASE);
    return hit;
}

void shareImage(const MDImageFrameInfo& found, const ImageInfo& info) {
    if (info.header == 0) return;  // nothing to recognise it by
    SharedImage image;
    image.start = found.start;
    image.end = found.end;
    image.info = info;
    image.probeLength = probeLength(info);
    image.tableAt = -1;
    image.checkedIn = mddl_snapshotGeneration();
    if (!mdmem_copySafely((const void*)info.header, image.probe, image.probeLength)) return;
    if (__atomic_exchange_n(&g_sharedClaimed, 1, __ATOMIC_ACQUIRE) != 0) return;
    forgetChunks();
    g_sharedImages[g_sharedNext] = image;
    g_sharedNext = (g_sharedNext + 1) % kSharedImages;
    if (g_sharedCount < kSharedImages) g_sharedCount++;
    __atomic_store_n(&g_sharedClaimed, 0, __ATOMIC_RELEASE);
}

// The last of `count` sorted entries whose initial location is at or below
// the address.
bool searchEntries(const int32_t (*entries)[2], uint64_t count, uintptr_t header, uintptr_t address,
                   uintptr_t* fde) {
    if (count == 0) return false;
    uint64_t low = 0;
    uint64_t high = count;
    while (high - low > 1) {
        const uint64_t middle = low + (high - low) / 2;
        if (header + (intptr_t)entries[middle][0] <= address) {
            low = middle;
        } else {
            high = middle;
        }
    }
    if (header + (intptr_t)entries[low][0] > address) return false;
    *fde = header + (intptr_t)entries[low][1];
    return true;
}

// The search through the shared copy of the image's table, copying it
// first (one copy) when there is none yet. False, leaving `fde` alone, when
// the table cannot be copied (too big, memory gone, the store claimed).
bool searchSharedTable(const ImageInfo& image, uintptr_t address, bool* found, uintptr_t* fde) {
    const uint64_t words = image.count * 2;
    if (words > (uint64_t)kTableWords || __atomic_exchange_n(&g_sharedClaimed, 1, __ATOMIC_ACQUIRE) != 0) {
        return false;
    }
    SharedImage* shared = nullptr;
    for (int i = 0; i < g_sharedCount && shared == nullptr; i++) {
        const ImageInfo& info = g_sharedImages[i].info;
        if (info.header == image.header && info.table == image.table && info.count == image.count) {
            shared = &g_sharedImages[i];
        }
    }
    bool searched = false;
    if (shared != nullptr) {
        if (shared->tableAt < 0) {
            if ((uint64_t)(kTableWords - g_tablesUsed) < words) {
                for (int i = 0; i < g_sharedCount; i++) g_sharedImages[i].tableAt = -1;
                g_tablesUsed = 0;
            }
            if (mdmem_copySafely((const void*)image.table, g_tables + g_tablesUsed, (int)(words * 4))) {
                shared->tableAt = g_tablesUsed;
                g_tablesUsed += (int)words;
            }
        }
        if (shared->tableAt >= 0) {
            *found = searchEntries((const int32_t(*)[2])(g_tables + shared->tableAt), image.count, image.header,
                                   address, fde);
            searched = true;
        }
    }
    __atomic_store_n(&g_sharedClaimed, 0, __ATOMIC_RELEASE);
    return searched;
}

}  // namespace mdcfi
