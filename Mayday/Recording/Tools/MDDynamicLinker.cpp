// Loaded images and their symbols, from the dynamic linker's link map.
//
// Everything but mddl_initialize is crash-path safe: the link map and image
// memory are read only through the kernel-checked copy (mdmem_copySafely),
// without the loader's lock, into fixed buffers on the stack; no heap, no
// locks, no stdio, no exceptions. dlclose unmaps an image before it unlinks
// its entry and frees the entry after, so an entry we reach may describe
// memory that is gone, or be freed memory itself: such an entry reads as
// absent, never as a fault. The full-symbol-table index is filled by
// mddl_initialize (which allocates and reads files) and only read here.
#include "Mayday/Recording/Tools/MDDynamicLinker.h"

#include <cstddef>
#include <elf.h>
#include <execinfo.h>
#include <fcntl.h>
#include <mutex>
#include <sys/auxv.h>
#include <unistd.h>
#include <vector>

#include "Mayday/Recording/Tools/MDLogger.h"
#include "Mayday/Recording/Tools/MDMemory.h"

namespace {

// Mach numbers of x86_64 (the report's vocabulary).
constexpr int kCPUTypeX86_64 = 0x01000007;
constexpr int kCPUSubTypeX86_64 = 3;
constexpr int kUUIDLength = 16;

// Bounds on what a damaged image could make us read.
constexpr int kMaxDynamicEntries = 1024;
constexpr uint32_t kMaxDynamicSymbols = 1u << 20;
constexpr uint32_t kMaxHashBuckets = 1u << 20;
constexpr size_t kMaxPathLength = 4096;
constexpr int kMaxNotesPerSegment = 64;
constexpr int kCachedProgramHeaders = 16;
// Read at once from a shared object's start: the ELF header and, usually,
// its program headers behind it.
constexpr size_t kHeadLength = 1024;

// The main program's path: its link-map name is "".
char g_executablePath[kMaxPathLength];
const char g_noName[] = "";

// The full-symbol-table index. Written only by mddl_initialize under its
// mutex; an image's entries are complete before the image count that
// publishes them is stored (release), and crash-time readers load that count
// (acquire) and never look past it. A record is used only for an image found
// in the live link map with the same entry, bias, dynamic section and path,
// so the tables of an unloaded image are never taken for whatever is loaded
// in its place.
constexpr uint32_t kMaxIndexedSymbols = 131072;
constexpr uint32_t kIndexedNamesSize = 4 * 1024 * 1024;
constexpr int kMaxIndexedImages = 512;

struct IndexedSymbol {
    uintptr_t address;
    uint32_t nameOffset;
};

struct IndexedImage {
    uintptr_t map;
    uintptr_t bias;
    uintptr_t dynamic;
    uint32_t pathOffset;  // the path as reported, in g_names
    uint32_t first;
    uint32_t count;
    bool hasUUID;
    uint8_t uuid[kUUIDLength];
};

IndexedSymbol g_symbols[kMaxIndexedSymbols];
char g_names[kIndexedNamesSize];
IndexedImage g_indexedImages[kMaxIndexedImages];
uint32_t g_symbolCount;
uint32_t g_namesUsed;
int g_indexedImageCount;
std::mutex g_initializeMutex;

// ---- Checked reads ----

bool copyFrom(uintptr_t address, void* buffer, size_t length) {
    return address != 0 && mdmem_copySafely((const void*)address, buffer, (int)length);
}

uintptr_t pageSize(void) {
    const unsigned long size = getauxval(AT_PAGESZ);
    return size != 0 ? (uintptr_t)size : 4096;
}

// Copies the string at `address` into `buffer` (NUL-terminated); false when
// it cannot be read or does not end within `capacity` bytes. Reads stop at
// page ends so that a string just before an unmapped page still reads.
bool copyString(uintptr_t address, char* buffer, size_t capacity) {
    if (address == 0 || capacity == 0) {
        return false;
    }
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

bool stringsEqual(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) {
        a++;
        b++;
    }
    return *a == *b;
}

bool stringContains(const char* haystack, const char* needle) {
    if (*needle == '\0') {
        return true;
    }
    for (; *haystack != '\0'; haystack++) {
        const char* h = haystack;
        const char* n = needle;
        while (*n != '\0' && *h == *n) {
            h++;
            n++;
        }
        if (*n == '\0') {
            return true;
        }
    }
    return false;
}

// ---- The link map ----

// The public head of struct link_map, which is all we read of an entry.
struct LinkEntry {
    uintptr_t bias;     // l_addr
    uintptr_t name;     // l_name
    uintptr_t dynamic;  // l_ld
    uintptr_t next;     // l_next
};
static_assert(offsetof(struct link_map, l_addr) == offsetof(LinkEntry, bias), "link_map layout");
static_assert(offsetof(struct link_map, l_name) == offsetof(LinkEntry, name), "link_map layout");
static_assert(offsetof(struct link_map, l_ld) == offsetof(LinkEntry, dynamic), "link_map layout");
static_assert(offsetof(struct link_map, l_next) == offsetof(LinkEntry, next), "link_map layout");

struct ListHead {
    uintptr_t first;
    int state;  // r_debug's r_state
};

// The rendezvous the loader keeps up to date. The main program's DT_DEBUG
// entry points at it; the _r_debug symbol may instead be a copy the program
// took at start (a copy relocation, made when its own code names
// _r_debug), whose r_state then never changes again.
uintptr_t g_rendezvous;

uintptr_t findRendezvous(void) {
    const uintptr_t phdrs = (uintptr_t)getauxval(AT_PHDR);
    const unsigned long phnum = getauxval(AT_PHNUM);
    uintptr_t bias = 0;
    uintptr_t dynamic = 0;
    for (unsigned long i = 0; phdrs != 0 && i < phnum && i < 256; i++) {
        ElfW(Phdr) ph;
        if (!copyFrom(phdrs + i * sizeof ph, &ph, sizeof ph)) {
            return 0;
        }
        if (ph.p_type == PT_PHDR) bias = phdrs - ph.p_vaddr;
        if (ph.p_type == PT_DYNAMIC) dynamic = ph.p_vaddr;
    }
    if (dynamic == 0) {
        return 0;
    }
    dynamic += bias;
    for (int i = 0; i < kMaxDynamicEntries; i++) {
        ElfW(Dyn) entry;
        if (!copyFrom(dynamic + (uintptr_t)i * sizeof entry, &entry, sizeof entry) || entry.d_tag == DT_NULL) {
            break;
        }
        if (entry.d_tag == DT_DEBUG) {
            return entry.d_un.d_ptr;
        }
    }
    return 0;
}

bool readRendezvous(uintptr_t address, ListHead* head) {
    struct r_debug rendezvous;
    if (!copyFrom(address, &rendezvous, sizeof rendezvous) || rendezvous.r_map == nullptr) {
        return false;
    }
    head->first = (uintptr_t)rendezvous.r_map;
    head->state = rendezvous.r_state;
    return true;
}

bool readListHead(ListHead* head) {
    head->first = 0;
    head->state = r_debug::RT_CONSISTENT;
    // Found once (the loader fills DT_DEBUG before any of our code runs);
    // any thread may store the same value.
    uintptr_t rendezvous = __atomic_load_n(&g_rendezvous, __ATOMIC_RELAXED);
    if (rendezvous == 0) {
        rendezvous = findRendezvous();
        if (rendezvous != 0) {
            __atomic_store_n(&g_rendezvous, rendezvous, __ATOMIC_RELAXED);
        }
    }
    return (rendezvous != 0 && readRendezvous(rendezvous, head)) || readRendezvous((uintptr_t)&_r_debug, head);
}

// One pass over the link map: at most MDDL_MAX_IMAGES entries, ending at an
// entry that cannot be read or that was visited before (a loop). While
// r_state says an object is being added or deleted the list is walked as it
// is: in a crash the other threads are stopped, so waiting for
// RT_CONSISTENT could wait forever; entries whose memory is gone read as
// absent instead.
class LinkMapWalk {
public:
    LinkMapWalk() {
        readListHead(&head_);
        next_ = head_.first;
    }

    const ListHead& head() const { return head_; }

    bool next(uintptr_t* address, LinkEntry* entry) {
        if (next_ == 0 || count_ >= MDDL_MAX_IMAGES) {
            return false;
        }
        for (int i = 0; i < count_; i++) {
            if (visited_[i] == next_) {
                return false;
            }
        }
        if (!copyFrom(next_, entry, sizeof *entry)) {
            return false;
        }
        *address = next_;
        visited_[count_++] = next_;
        next_ = entry->next;
        return true;
    }

private:
    ListHead head_;
    uintptr_t next_ = 0;
    int count_ = 0;
    uintptr_t visited_[MDDL_MAX_IMAGES];
};

// ---- Images ----

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
    const char* name;     // the dynamic linker's l_name, our copy, or g_executablePath
    // The program headers themselves when there are few (there nearly
    // always are): a second look needs no second copy.
    int cachedPhdrs;
    ElfW(Phdr) phdrCache[kCachedProgramHeaders];
};

bool hasELFMagic(const ElfW(Ehdr)* header) {
    return header->e_ident[EI_MAG0] == ELFMAG0 && header->e_ident[EI_MAG1] == ELFMAG1 &&
           header->e_ident[EI_MAG2] == ELFMAG2 && header->e_ident[EI_MAG3] == ELFMAG3 &&
           header->e_ident[EI_CLASS] == ELFCLASS64;
}

// Calls `visit` with each program header, read in checked batches; false
// when one cannot be read (or `visit` answers false).
template <typename Visit> bool forEachProgramHeader(const Image* image, Visit visit) {
    if (image->cachedPhdrs == image->phnum) {
        for (int i = 0; i < image->cachedPhdrs; i++) {
            if (!visit(image->phdrCache[i])) {
                return false;
            }
        }
        return true;
    }
    constexpr int kBatch = 16;
    ElfW(Phdr) batch[kBatch];
    for (int i = 0; i < image->phnum; i += kBatch) {
        const int n = image->phnum - i < kBatch ? image->phnum - i : kBatch;
        if (!copyFrom(image->phdrs + (uintptr_t)i * sizeof(ElfW(Phdr)), batch, (size_t)n * sizeof(ElfW(Phdr)))) {
            return false;
        }
        for (int j = 0; j < n; j++) {
            if (!visit(batch[j])) {
                return false;
            }
        }
    }
    return true;
}

// True when the entry is a present image: its ELF and program headers read
// (the loader maps them with the lowest segment, which it unmaps with the
// rest) and it has a PT_LOAD.
bool describeImage(uintptr_t map, const LinkEntry& entry, uintptr_t firstMap, Image* image) {
    image->map = map;
    image->entry = entry;
    image->phdrs = 0;
    image->phnum = 0;
    image->start = 0;
    image->end = 0;
    image->textVAddr = 0;
    image->cachedPhdrs = 0;
    char first = 1;
    image->isMainProgram =
        map == firstMap && (entry.name == 0 || (copyFrom(entry.name, &first, 1) && first == '\0'));
    if (image->isMainProgram) {
        // The kernel tells where the program's headers are; getauxval only
        // reads a table set up at start.
        image->phdrs = (uintptr_t)getauxval(AT_PHDR);
        image->phnum = (int)getauxval(AT_PHNUM);
        image->name = g_executablePath;
    } else {
        // Shared objects are linked at 0, so their ELF header sits at the
        // load bias (the first PT_LOAD maps file offset 0 at vaddr 0). The
        // head is read within the header's page, which is mapped whole.
        alignas(ElfW(Phdr)) unsigned char head[kHeadLength];
        const uintptr_t page = pageSize();
        size_t length = page - (entry.bias & (page - 1));
        if (length > sizeof head) length = sizeof head;
        ElfW(Ehdr) header;
        if (entry.bias == 0 || length < sizeof header || !copyFrom(entry.bias, head, length)) {
            return false;
        }
        __builtin_memcpy(&header, head, sizeof header);
        if (!hasELFMagic(&header) || header.e_phentsize != sizeof(ElfW(Phdr))) {
            return false;
        }
        image->phdrs = entry.bias + header.e_phoff;
        image->phnum = header.e_phnum;
        image->name = (const char*)entry.name;
        if (image->phnum > 0 && image->phnum <= kCachedProgramHeaders &&
            header.e_phoff + (size_t)image->phnum * sizeof(ElfW(Phdr)) <= length) {
            __builtin_memcpy(image->phdrCache, head + header.e_phoff, (size_t)image->phnum * sizeof(ElfW(Phdr)));
            image->cachedPhdrs = image->phnum;
        }
    }
    if (image->phdrs == 0 || image->phnum <= 0) {
        return false;
    }
    if (image->cachedPhdrs == 0 && image->phnum <= kCachedProgramHeaders) {
        if (!copyFrom(image->phdrs, image->phdrCache, (size_t)image->phnum * sizeof(ElfW(Phdr)))) {
            return false;
        }
        image->cachedPhdrs = image->phnum;
    }
    const uintptr_t pageMask = pageSize() - 1;
    bool hasText = false;
    const bool readable = forEachProgramHeader(image, [&](const ElfW(Phdr)& ph) {
        if (ph.p_type != PT_LOAD) {
            return true;
        }
        const uintptr_t start = (entry.bias + ph.p_vaddr) & ~pageMask;
        const uintptr_t end = (entry.bias + ph.p_vaddr + ph.p_memsz + pageMask) & ~pageMask;
        if (image->end == 0 || start < image->start) image->start = start;
        if (end > image->end) image->end = end;
        if ((ph.p_flags & PF_X) != 0 && !hasText) {
            image->textVAddr = ph.p_vaddr;
            hasText = true;
        }
        return true;
    });
    return readable && image->end > image->start;
}

// The `index`-th present image; -1 counts them all (answering false).
bool presentImage(int index, Image* image, int* count) {
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

// True while the image's headers still read as they did.
bool stillMapped(const Image* image) {
    if (image->isMainProgram) {
        return true;
    }
    ElfW(Ehdr) header;
    return copyFrom(image->entry.bias, &header, sizeof header) && hasELFMagic(&header) &&
           image->phdrs == image->entry.bias + header.e_phoff;
}

bool imageContains(const Image* image, uintptr_t address) {
    // The loader reserves the whole span for the image (holes between
    // segments stay reserved), so nothing else lives inside it.
    return address >= image->start && address < image->end;
}

uintptr_t alignUp(uintptr_t value, uintptr_t alignment) {
    return (value + alignment - 1) & ~(alignment - 1);
}

// The GNU build-id bytes inside the image's notes, or 0.
uintptr_t buildIDInMemory(const Image* image) {
    uintptr_t found = 0;
    forEachProgramHeader(image, [&](const ElfW(Phdr)& ph) {
        if (ph.p_type != PT_NOTE) {
            return true;
        }
        const uintptr_t alignment = ph.p_align == 8 ? 8 : 4;
        uintptr_t note = image->entry.bias + ph.p_vaddr;
        const uintptr_t end = note + ph.p_filesz;
        for (int n = 0; n < kMaxNotesPerSegment && note + sizeof(ElfW(Nhdr)) <= end; n++) {
            ElfW(Nhdr) header;
            if (!copyFrom(note, &header, sizeof header)) {
                return false;
            }
            const uintptr_t name = note + sizeof(ElfW(Nhdr));
            const uintptr_t desc = alignUp(name + header.n_namesz, alignment);
            const uintptr_t next = alignUp(desc + header.n_descsz, alignment);
            if (next > end || next <= note) {
                break;
            }
            char noteName[4];
            uint8_t bytes[kUUIDLength];
            if (header.n_type == NT_GNU_BUILD_ID && header.n_namesz == 4 && header.n_descsz >= kUUIDLength &&
                copyFrom(name, noteName, sizeof noteName) && noteName[0] == 'G' && noteName[1] == 'N' &&
                noteName[2] == 'U' && noteName[3] == '\0' && copyFrom(desc, bytes, sizeof bytes)) {
                found = desc;
                return false;
            }
            note = next;
        }
        return true;
    });
    return found;
}

// ---- The index, as crash-time code sees it ----

bool sameName(const Image* image, const char* stored) {
    if (image->isMainProgram) {
        return stringsEqual(stored, g_executablePath);
    }
    char name[kMaxPathLength];
    return copyString(image->entry.name, name, sizeof name) && stringsEqual(stored, name);
}

const IndexedImage* indexedImage(const Image* image) {
    const int count = __atomic_load_n(&g_indexedImageCount, __ATOMIC_ACQUIRE);
    for (int i = 0; i < count; i++) {
        const IndexedImage* record = &g_indexedImages[i];
        if (record->map == image->map && record->bias == image->entry.bias &&
            record->dynamic == image->entry.dynamic && sameName(image, g_names + record->pathOffset)) {
            return record;
        }
    }
    return nullptr;
}

// The name to hand out: our own copy when there is one, since the dynamic
// linker frees its copy at dlclose.
const char* reportedName(const Image* image, const IndexedImage* record) {
    if (record != nullptr) {
        return g_names + record->pathOffset;
    }
    if (image->isMainProgram) {
        return g_executablePath;
    }
    char first;
    return copyFrom((uintptr_t)image->name, &first, 1) ? image->name : g_noName;
}

const uint8_t* reportedUUID(const Image* image, const IndexedImage* record) {
    if (record != nullptr) {
        return record->hasUUID ? record->uuid : nullptr;
    }
    return (const uint8_t*)buildIDInMemory(image);
}

// ---- Dynamic symbols, read in checked batches ----

// Dynamic-section pointers are relocated in place by the loader, except in
// read-only dynamic sections (the vDSO's), which keep link-time values.
uintptr_t dynamicPointer(const Image* image, uintptr_t value) {
    return value < image->entry.bias ? value + image->entry.bias : value;
}

bool readWord(uintptr_t address, uint32_t* value) {
    return copyFrom(address, value, sizeof *value);
}

// The number of symbols a GNU hash table covers: the chain of the highest
// bucket ends at the table's last symbol. 0 when the table cannot be read.
uint32_t gnuHashSymbolCount(uintptr_t table) {
    uint32_t header[4];
    if (!copyFrom(table, header, sizeof header)) {
        return 0;
    }
    const uint32_t bucketCount = header[0];
    const uint32_t symbolOffset = header[1];
    const uint32_t bloomSize = header[2];
    if (bucketCount > kMaxHashBuckets || bloomSize > kMaxHashBuckets) {
        return 0;
    }
    const uintptr_t buckets = table + sizeof header + (uintptr_t)bloomSize * sizeof(ElfW(Addr));
    const uintptr_t chains = buckets + (uintptr_t)bucketCount * sizeof(uint32_t);
    uint32_t last = 0;
    constexpr uint32_t kBatch = 512;
    uint32_t batch[kBatch];
    for (uint32_t i = 0; i < bucketCount; i += kBatch) {
        const uint32_t n = bucketCount - i < kBatch ? bucketCount - i : kBatch;
        if (!copyFrom(buckets + (uintptr_t)i * sizeof(uint32_t), batch, n * sizeof(uint32_t))) {
            return 0;
        }
        for (uint32_t j = 0; j < n; j++) {
            if (batch[j] > last) last = batch[j];
        }
    }
    if (last < symbolOffset) {
        return symbolOffset;
    }
    // The chain may end just before unmapped memory: a batch that cannot be
    // read is retried a word at a time.
    while (last < kMaxDynamicSymbols) {
        const uintptr_t at = chains + (uintptr_t)(last - symbolOffset) * sizeof(uint32_t);
        uint32_t n = kBatch;
        if (!copyFrom(at, batch, sizeof batch)) {
            n = 1;
            if (!readWord(at, &batch[0])) {
                return 0;
            }
        }
        for (uint32_t j = 0; j < n; j++, last++) {
            if ((batch[j] & 1) != 0) {
                return last + 1;
            }
        }
    }
    return 0;
}

struct DynamicSymbols {
    uintptr_t symbols;
    uintptr_t strings;
    uintptr_t stringsSize;  // 0 when unknown
    uint32_t count;
};

bool dynamicSymbols(const Image* image, DynamicSymbols* out) {
    out->symbols = 0;
    out->strings = 0;
    out->stringsSize = 0;
    out->count = 0;
    uintptr_t hash = 0;
    uintptr_t gnuHash = 0;
    constexpr int kBatch = 32;
    ElfW(Dyn) batch[kBatch];
    bool ended = false;
    for (int i = 0; i < kMaxDynamicEntries && !ended; i += kBatch) {
        // A batch may run past the section's end into unmapped memory: then
        // read one entry at a time.
        const uintptr_t at = image->entry.dynamic + (uintptr_t)i * sizeof(ElfW(Dyn));
        int n = kBatch;
        if (!copyFrom(at, batch, sizeof batch)) {
            n = 0;
            while (n < kBatch && copyFrom(at + (uintptr_t)n * sizeof(ElfW(Dyn)), &batch[n], sizeof batch[n])) {
                if (batch[n++].d_tag == DT_NULL) break;
            }
            if (n == 0) return false;
        }
        for (int j = 0; j < n && !ended; j++) {
            const ElfW(Dyn)& dyn = batch[j];
            switch (dyn.d_tag) {
            case DT_NULL:
                ended = true;
                break;
            case DT_SYMTAB:
                out->symbols = dynamicPointer(image, dyn.d_un.d_ptr);
                break;
            case DT_STRTAB:
                out->strings = dynamicPointer(image, dyn.d_un.d_ptr);
                break;
            case DT_STRSZ:
                out->stringsSize = dyn.d_un.d_val;
                break;
            case DT_HASH:
                hash = dynamicPointer(image, dyn.d_un.d_ptr);
                break;
            case DT_GNU_HASH:
                gnuHash = dynamicPointer(image, dyn.d_un.d_ptr);
                break;
            default:
                break;
            }
        }
        if (n < kBatch) break;
    }
    if (out->symbols == 0 || out->strings == 0) {
        return false;
    }
    uint32_t nchain = 0;
    if (hash != 0 && readWord(hash + sizeof(uint32_t), &nchain)) {
        out->count = nchain;  // one chain entry per symbol
    } else if (gnuHash != 0) {
        out->count = gnuHashSymbolCount(gnuHash);
    }
    if (out->count > kMaxDynamicSymbols) {
        out->count = kMaxDynamicSymbols;
    }
    return out->count > 0;
}

// The nearest dynamic symbol by mddl_nearestSymbol's rule, over checked
// batches; false when none (or the table stops being readable).
bool nearestDynamicSymbol(const Image* image, const DynamicSymbols& table, uintptr_t address, ElfW(Sym)* best) {
    constexpr uint32_t kBatch = 256;  // 6 KB of stack: few copies for a big table
    ElfW(Sym) batch[kBatch];
    bool found = false;
    uintptr_t bestDistance = 0;
    for (uint32_t i = 0; i < table.count; i += kBatch) {
        const uint32_t n = table.count - i < kBatch ? table.count - i : kBatch;
        if (!copyFrom(table.symbols + (uintptr_t)i * sizeof(ElfW(Sym)), batch, n * sizeof(ElfW(Sym)))) {
            return false;
        }
        const int local = mddl_nearestSymbol(batch, n, image->entry.bias, address);
        if (local < 0) {
            continue;
        }
        const uintptr_t distance = address - (image->entry.bias + batch[local].st_value);
        if (!found || distance <= bestDistance) {
            *best = batch[local];
            bestDistance = distance;
            found = true;
        }
    }
    return found;
}

bool wantedSymbolType(unsigned type) {
    return type == STT_FUNC || type == STT_GNU_IFUNC || type == STT_OBJECT;
}

// ---- Index of the full symbol tables (built by mddl_initialize, not crash-path) ----

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

bool readAt(int fd, void* buffer, size_t length, off_t offset) {
    size_t done = 0;
    while (done < length) {
        const ssize_t n = pread(fd, (char*)buffer + done, length - done, offset + (off_t)done);
        if (n <= 0) {
            return false;
        }
        done += (size_t)n;
    }
    return true;
}

bool appendName(const char* name, uint32_t* offset) {
    size_t length = 0;
    while (name[length] != '\0') {
        length++;
    }
    if (g_namesUsed + length + 1 > kIndexedNamesSize) {
        return false;
    }
    for (size_t i = 0; i <= length; i++) {
        g_names[g_namesUsed + i] = name[i];
    }
    *offset = g_namesUsed;
    g_namesUsed += (uint32_t)length + 1;
    return true;
}

// Appends the function symbols of `path`'s .symtab to the record; none when
// the file has no .symtab or cannot be read.
void indexSymbolTable(const Image& image, const char* path, IndexedImage* record) {
    record->first = g_symbolCount;
    record->count = 0;
    FileDescriptor fd(open(path, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        return;
    }
    ElfW(Ehdr) header;
    if (!readAt(fd.get(), &header, sizeof header, 0) || !hasELFMagic(&header) ||
        header.e_shentsize != sizeof(ElfW(Shdr)) || header.e_shnum == 0) {
        return;
    }
    std::vector<ElfW(Shdr)> sections(header.e_shnum);
    if (!readAt(fd.get(), sections.data(), sections.size() * sizeof(ElfW(Shdr)), (off_t)header.e_shoff)) {
        return;
    }
    const ElfW(Shdr)* symtab = nullptr;
    for (const ElfW(Shdr)& section : sections) {
        if (section.sh_type == SHT_SYMTAB) {
            symtab = &section;
            break;
        }
    }
    if (symtab == nullptr || symtab->sh_link >= sections.size() || symtab->sh_entsize != sizeof(ElfW(Sym))) {
        return;
    }
    const ElfW(Shdr)& strtab = sections[symtab->sh_link];
    std::vector<ElfW(Sym)> symbols(symtab->sh_size / sizeof(ElfW(Sym)));
    std::vector<char> strings(strtab.sh_size + 1, '\0');
    if (!readAt(fd.get(), symbols.data(), symbols.size() * sizeof(ElfW(Sym)), (off_t)symtab->sh_offset) ||
        !readAt(fd.get(), strings.data(), strtab.sh_size, (off_t)strtab.sh_offset)) {
        return;
    }
    for (const ElfW(Sym)& symbol : symbols) {
        const unsigned type = ELF64_ST_TYPE(symbol.st_info);
        if ((type != STT_FUNC && type != STT_GNU_IFUNC) || symbol.st_shndx == SHN_UNDEF ||
            symbol.st_shndx == SHN_ABS || symbol.st_value == 0 || symbol.st_name >= strtab.sh_size) {
            continue;
        }
        uint32_t nameOffset;
        if (g_symbolCount >= kMaxIndexedSymbols || !appendName(strings.data() + symbol.st_name, &nameOffset)) {
            MDLOG_WARN("Symbol index full; later symbols of %s are named from the dynamic table only", path);
            break;
        }
        g_symbols[g_symbolCount].address = image.entry.bias + symbol.st_value;
        g_symbols[g_symbolCount].nameOffset = nameOffset;
        g_symbolCount++;
        record->count++;
    }
}

}  // namespace

void mddl_initialize(void) {
    std::lock_guard<std::mutex> lock(g_initializeMutex);
    if (g_executablePath[0] == '\0') {
        const ssize_t length = readlink("/proc/self/exe", g_executablePath, sizeof g_executablePath - 1);
        if (length > 0) {
            g_executablePath[length] = '\0';
        } else {
            g_executablePath[0] = '\0';
            MDLOG_ERROR("Cannot read the path of the running program");
        }
    }
    // The first backtrace() loads the unwinder (libgcc_s) through dlopen,
    // which must not first happen in a crashed process.
    void* frames[4];
    (void)backtrace(frames, 4);

    // A snapshot first: another thread may dlclose while the files are read.
    struct Found {
        Image image;
        std::vector<char> path;
    };
    std::vector<Found> found;
    {
        LinkMapWalk walk;
        uintptr_t map;
        LinkEntry entry;
        while (walk.next(&map, &entry)) {
            Found item;
            if (!describeImage(map, entry, walk.head().first, &item.image) || indexedImage(&item.image) != nullptr) {
                continue;
            }
            item.path.resize(kMaxPathLength);
            if (item.image.isMainProgram) {
                item.path.assign(g_executablePath, g_executablePath + sizeof g_executablePath);
            } else if (!copyString(entry.name, item.path.data(), item.path.size())) {
                continue;
            }
            found.push_back(std::move(item));
        }
    }
    for (Found& item : found) {
        const char* path = item.path.data();
        if (path[0] == '\0') {
            continue;  // the vDSO: no file, its dynamic table names it
        }
        if (g_indexedImageCount >= kMaxIndexedImages) {
            MDLOG_WARN("Too many images to index their symbol tables");
            break;
        }
        IndexedImage record{};
        record.map = item.image.map;
        record.bias = item.image.entry.bias;
        record.dynamic = item.image.entry.dynamic;
        if (!appendName(path, &record.pathOffset)) {
            MDLOG_WARN("Symbol index full; %s is not indexed", path);
            break;
        }
        const uintptr_t uuid = buildIDInMemory(&item.image);
        record.hasUUID = uuid != 0 && copyFrom(uuid, record.uuid, sizeof record.uuid);
        indexSymbolTable(item.image, path, &record);
        g_indexedImages[g_indexedImageCount] = record;
        __atomic_store_n(&g_indexedImageCount, g_indexedImageCount + 1, __ATOMIC_RELEASE);
    }
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
    buffer->uuid = reportedUUID(&image, record);
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
    LinkMapWalk walk;
    uintptr_t map;
    LinkEntry entry;
    Image image;
    char name[kMaxPathLength];
    int index = 0;
    while (walk.next(&map, &entry)) {
        if (!describeImage(map, entry, walk.head().first, &image)) {
            continue;
        }
        const char* path = name;
        if (image.isMainProgram) {
            path = g_executablePath;
        } else if (!copyString(entry.name, name, sizeof name)) {
            path = g_noName;
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

bool mddl_dladdr(uintptr_t address, Dl_info* info) {
    info->dli_fname = nullptr;
    info->dli_fbase = nullptr;
    info->dli_sname = nullptr;
    info->dli_saddr = nullptr;

    Image image;
    bool found = false;
    int stateBefore;
    {
        LinkMapWalk walk;
        stateBefore = walk.head().state;
        uintptr_t map;
        LinkEntry entry;
        while (!found && walk.next(&map, &entry)) {
            found = describeImage(map, entry, walk.head().first, &image) && imageContains(&image, address);
        }
    }
    if (!found) {
        return false;
    }
    const IndexedImage* record = indexedImage(&image);

    const char* bestName = nullptr;
    uintptr_t bestAddress = 0;
    DynamicSymbols dynamic;
    ElfW(Sym) symbol;
    if (dynamicSymbols(&image, &dynamic) && nearestDynamicSymbol(&image, dynamic, address, &symbol)) {
        const uintptr_t value = image.entry.bias + symbol.st_value;
        // A sized symbol the address lies past is some other, unexported
        // function: no name beats a wrong one.
        const bool inside = symbol.st_size == 0 || address - value < symbol.st_size;
        const bool named = dynamic.stringsSize == 0 || symbol.st_name < dynamic.stringsSize;
        char first;
        const uintptr_t name = dynamic.strings + symbol.st_name;
        if (inside && named && copyFrom(name, &first, 1)) {
            bestName = (const char*)name;
            bestAddress = value;
        }
    }
    // The full table comes after the dynamic one: on equal distance it wins.
    if (record != nullptr) {
        for (uint32_t i = record->first; i < record->first + record->count; i++) {
            const uintptr_t value = g_symbols[i].address;
            if (value <= address && (bestName == nullptr || address - value <= address - bestAddress)) {
                bestName = g_names + g_symbols[i].nameOffset;
                bestAddress = value;
            }
        }
    }
    // While a change of the list is under way the image may have gone
    // during the lookup: answer only for one still there.
    ListHead head;
    if ((stateBefore != r_debug::RT_CONSISTENT || !readListHead(&head) || head.state != r_debug::RT_CONSISTENT) &&
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
