// Loaded images and their symbols, from the dynamic linker's link map: the
// public mddl_ functions over the link-map walk (MDImageList), the images'
// ELF structures (MDElfImage) and the full-symbol-table index
// (MDSymbolIndex).
//
// Everything but mddl_initialize is crash-path safe: the link map and image
// memory are read only through the kernel-checked copy (mdmem_copySafely),
// without the loader's lock, into fixed buffers on the stack; no heap, no
// locks, no stdio, no exceptions. An entry or image whose memory is gone
// reads as absent, never as a fault. The full-symbol-table index is filled
// by mddl_initialize (which allocates and reads files) and only read here.
#include "Mayday/Recording/Tools/MDDynamicLinker.h"

#include <elf.h>
#include <execinfo.h>
#include <mutex>

#include "Mayday/Recording/Tools/MDCheckedCopy.h"
#include "Mayday/Recording/Tools/MDElfImage.h"
#include "Mayday/Recording/Tools/MDImageList.h"
#include "Mayday/Recording/Tools/MDSymbolIndex.h"
#include "Mayday/Recording/Tools/MDThread.h"

using namespace mddl;

namespace {

// Mach numbers of x86_64 (the report's vocabulary).
constexpr int kCPUTypeX86_64 = 0x01000007;
constexpr int kCPUSubTypeX86_64 = 3;

std::mutex g_initializeMutex;

// The image list of one report, read once: a report asks for every image,
// then for the image of each address on every stack, and each of those was
// a walk of the link map through checked copies. Only the thread that took
// it reads it.
constexpr int kSnapshotImages = 128;
struct Snapshot {
    int count;
    bool complete;  // the whole list, read while it was consistent
    Image images[kSnapshotImages];
};
Snapshot g_snapshot;
MDThread g_snapshotOwner = 0;
uint32_t g_snapshotGeneration = 0;

// Without a snapshot (every lookup outside a report) no system call is made.
const Snapshot* ownSnapshot() {
    const MDThread owner = __atomic_load_n(&g_snapshotOwner, __ATOMIC_ACQUIRE);
    if (owner == 0 || owner != mdthread_self() || !g_snapshot.complete) return nullptr;
    return &g_snapshot;
}

// The `index`-th present image; -1 counts them all (answering false).
bool presentImage(int index, Image* image, int* count) {
    if (const Snapshot* snapshot = ownSnapshot()) {
        if (index >= 0 && index < snapshot->count) {
            *image = snapshot->images[index];
            return true;
        }
        if (count != nullptr) *count = snapshot->count;
        return false;
    }
    LinkMapWalk walk;
    uintptr_t map;
    LinkEntry entry;
    int i = 0;
    while (walk.next(&map, &entry)) {
        if (!describeImage(map, entry, walk.head().first, image)) {
            continue;
        }
        if (i == index) {
            return true;
        }
        i++;
    }
    if (count != nullptr) {
        *count = i;
    }
    return false;
}

bool wantedSymbolType(unsigned type) {
    return type == STT_FUNC || type == STT_GNU_IFUNC || type == STT_OBJECT;
}

}  // namespace

void mddl_initialize(void) {
    std::lock_guard<std::mutex> lock(g_initializeMutex);
    readExecutablePath();
    // The first backtrace() loads the unwinder (libgcc_s) through dlopen,
    // which must not first happen in a crashed process.
    void* frames[4];
    (void)backtrace(frames, 4);

    indexLoadedImages();
}

bool mddl_beginSnapshot(void) {
    const MDThread self = mdthread_self();
    MDThread expected = 0;
    if (!__atomic_compare_exchange_n(&g_snapshotOwner, &expected, self, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
        return false;
    g_snapshot.complete = false;
    g_snapshot.count = 0;
    if (++g_snapshotGeneration == 0) g_snapshotGeneration = 1;
    ListHead before;
    if (!readListHead(&before) || before.state != r_debug::RT_CONSISTENT) return true;
    LinkMapWalk walk;
    uintptr_t map;
    LinkEntry entry;
    Image image;
    while (walk.next(&map, &entry)) {
        if (!describeImage(map, entry, walk.head().first, &image)) continue;
        if (g_snapshot.count == kSnapshotImages) return true;  // too many: every question walks the list
        // Found once here, not again for every record and address of the report.
        image.record = indexedImage(&image);
        image.recordKnown = true;
        g_snapshot.images[g_snapshot.count++] = image;
    }
    ListHead after;
    g_snapshot.complete = readListHead(&after) && after.state == r_debug::RT_CONSISTENT && after.first == before.first;
    return true;
}

uint32_t mddl_snapshotGeneration(void) { return ownSnapshot() != nullptr ? g_snapshotGeneration : 0; }

void mddl_endSnapshot(void) {
    MDThread expected = mdthread_self();
    __atomic_compare_exchange_n(&g_snapshotOwner, &expected, (MDThread)0, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
}

uint32_t mddl_imageCount(void) {
    Image image;
    int count = 0;
    presentImage(-1, &image, &count);
    return (uint32_t)count;
}

bool mddl_binaryImage(int index, MDBinaryImage* buffer) {
    Image image;
    if (buffer == nullptr || index < 0 || !presentImage(index, &image, nullptr)) {
        return false;
    }
    const IndexedImage* record = indexedImage(&image);
    buffer->address = image.start;
    buffer->vmAddress = image.textVAddr;
    buffer->size = image.end - image.start;
    buffer->name = reportedName(&image, record);
    buffer->buildID = reportedBuildID(&image, record, &buffer->buildIDLength);
    buffer->uuid = buffer->buildID;
    buffer->cpuType = kCPUTypeX86_64;
    buffer->cpuSubType = kCPUSubTypeX86_64;
    buffer->majorVersion = 0;
    buffer->minorVersion = 0;
    buffer->revisionVersion = 0;
    return true;
}

int mddl_imageNamed(const char* imageName, bool exactMatch) {
    if (imageName == nullptr) {
        return -1;
    }
    Image image;
    char name[kMaxPathLength];
    if (const Snapshot* snapshot = ownSnapshot()) {
        for (int index = 0; index < snapshot->count; index++) {
            const char* path = currentPath(&snapshot->images[index], name, sizeof name);
            if (path == nullptr) path = kNoName;
            if (exactMatch ? stringsEqual(path, imageName) : stringContains(path, imageName)) return index;
        }
        return -1;
    }
    LinkMapWalk walk;
    uintptr_t map;
    LinkEntry entry;
    int index = 0;
    while (walk.next(&map, &entry)) {
        if (!describeImage(map, entry, walk.head().first, &image)) {
            continue;
        }
        const char* path = currentPath(&image, name, sizeof name);
        if (path == nullptr) {
            path = kNoName;
        }
        if (exactMatch ? stringsEqual(path, imageName) : stringContains(path, imageName)) {
            return index;
        }
        index++;
    }
    return -1;
}

const uint8_t* mddl_imageUUID(const char* imageName, bool exactMatch) {
    Image image;
    const int index = mddl_imageNamed(imageName, exactMatch);
    if (index < 0 || !presentImage(index, &image, nullptr)) {
        return nullptr;
    }
    return reportedUUID(&image, indexedImage(&image));
}

int mddl_nearestSymbol(const ElfW(Sym)* symbols, uint32_t count, uintptr_t bias, uintptr_t address) {
    int best = -1;
    uintptr_t bestDistance = 0;
    for (uint32_t i = 0; i < count; i++) {
        const ElfW(Sym)* symbol = &symbols[i];
        if (symbol->st_value == 0 || symbol->st_shndx == SHN_UNDEF || !wantedSymbolType(ELF64_ST_TYPE(symbol->st_info))) {
            continue;
        }
        const uintptr_t value = bias + symbol->st_value;
        if (value > address) {
            continue;
        }
        const uintptr_t distance = address - value;
        if (best < 0 || distance <= bestDistance) {
            best = (int)i;
            bestDistance = distance;
        }
    }
    return best;
}

namespace {

// The loaded image whose span holds `address`, and r_state when the walk
// began.
bool findImageContaining(uintptr_t address, Image* image, int* stateBefore) {
    if (const Snapshot* snapshot = ownSnapshot()) {
        *stateBefore = r_debug::RT_CONSISTENT;
        for (int i = 0; i < snapshot->count; i++) {
            if (imageContains(&snapshot->images[i], address)) {
                *image = snapshot->images[i];
                return true;
            }
        }
        return false;
    }
    LinkMapWalk walk;
    *stateBefore = walk.head().state;
    uintptr_t map;
    LinkEntry entry;
    while (walk.next(&map, &entry)) {
        if (describeImage(map, entry, walk.head().first, image) && imageContains(image, address)) return true;
    }
    return false;
}

}  // namespace

bool mddl_dladdr(uintptr_t address, Dl_info* info) {
    info->dli_fname = nullptr;
    info->dli_fbase = nullptr;
    info->dli_sname = nullptr;
    info->dli_saddr = nullptr;

    Image image;
    int stateBefore;
    if (!findImageContaining(address, &image, &stateBefore)) {
        return false;
    }
    const IndexedImage* record = indexedImage(&image);

    const char* bestName = nullptr;
    uintptr_t bestAddress = 0;
    if (!nearestIndexedDynamicName(record, address, &bestName, &bestAddress))
        (void)nearestDynamicName(&image, address, &bestName, &bestAddress);
    // The full table comes after the dynamic one: on equal distance it wins.
    nearestIndexedSymbol(record, address, &bestName, &bestAddress);
    // While a change of the list is under way the image may have gone
    // during the lookup: answer only for one still there.
    ListHead head;
    if (ownSnapshot() == nullptr &&
        (stateBefore != r_debug::RT_CONSISTENT || !readListHead(&head) || head.state != r_debug::RT_CONSISTENT) &&
        !stillMapped(&image)) {
        return false;
    }
    info->dli_fname = reportedName(&image, record);
    info->dli_fbase = (void*)image.start;
    if (bestName != nullptr) {
        info->dli_sname = bestName;
        info->dli_saddr = (void*)bestAddress;
    }
    return true;
}

bool mddl_frameInfoForAddress(uintptr_t address, MDImageFrameInfo* info) {
    Image image;
    int stateBefore;
    if (!findImageContaining(address, &image, &stateBefore)) {
        return false;
    }
    info->start = image.start;
    info->end = image.end;
    info->bias = image.entry.bias;
    info->ehFrameHeader = 0;
    info->ehFrameHeaderSize = 0;
    for (int i = 0; i < image.phnum; i++) {
        ElfW(Phdr) header;
        if (i < image.cachedPhdrs) {
            header = image.phdrCache[i];
        } else if (!copyFrom(image.phdrs + (uintptr_t)i * sizeof header, &header, sizeof header)) {
            return false;
        }
        if (header.p_type == PT_GNU_EH_FRAME) {
            info->ehFrameHeader = image.entry.bias + header.p_vaddr;
            info->ehFrameHeaderSize = header.p_memsz;
            break;
        }
    }
    return true;
}
