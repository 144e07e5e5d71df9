// The prepared index of the images' full symbol tables.
//
// indexLoadedImages is not crash-path code: it allocates and reads the image
// files. Everything else here is crash-path safe: it reads only the fixed
// static index and, through MDElfImage, kernel-checked copies of image
// memory; no heap, no locks, no stdio.
#include "Mayday/Recording/Tools/MDSymbolIndex.h"

#include <algorithm>
#include <elf.h>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "Mayday/Recording/Tools/MDCheckedCopy.h"
#include "Mayday/Recording/Tools/MDImageList.h"
#include "Mayday/Recording/Tools/MDLogger.h"

namespace mddl {

// The full-symbol-table index. Written only by mddl_initialize under its
// mutex; an image's entries are complete before the image count that
// publishes them is stored (release), and crash-time readers load that count
// (acquire) and never look past it.
constexpr uint32_t kMaxIndexedSymbols = 131072;
constexpr uint32_t kIndexedNamesSize = 4 * 1024 * 1024;
constexpr int kMaxIndexedImages = 512;

struct IndexedImage {
    uintptr_t map;
    uintptr_t bias;
    uintptr_t dynamic;
    uint32_t pathOffset;  // the path as reported, in g_names
    uint32_t first;
    uint32_t count;
    // The file's .dynsym, the same table the image maps: looked up here with
    // the in-memory table's rule, without a copy per batch of it.
    bool hasDynamicIndex;
    uint32_t dynamicFirst;
    uint32_t dynamicCount;
    uint8_t buildIDLength;  // 0 without a build id; its first 16 bytes are the uuid
    uint8_t buildID[kMaxBuildIDLength];
};

namespace {

struct IndexedSymbol {
    uintptr_t address;
    uint32_t nameOffset;
};

IndexedSymbol g_symbols[kMaxIndexedSymbols];

constexpr uint32_t kMaxIndexedDynamicSymbols = 65536;
constexpr uint32_t kUnnamed = UINT32_MAX;  // a name outside the string table

struct IndexedDynamicSymbol {
    uintptr_t address;
    uint64_t size;
    uint32_t nameOffset;  // kUnnamed when it has none
};

IndexedDynamicSymbol g_dynamicSymbols[kMaxIndexedDynamicSymbols];
uint32_t g_dynamicSymbolCount;
char g_names[kIndexedNamesSize];
IndexedImage g_indexedImages[kMaxIndexedImages];
uint32_t g_symbolCount;
uint32_t g_namesUsed;
int g_indexedImageCount;

bool sameName(const Image* image, const char* stored) {
    char name[kMaxPathLength];
    const char* path = currentPath(image, name, sizeof name);
    return path != nullptr && stringsEqual(stored, path);
}

// ---- Building (mddl_initialize, not crash-path) ----

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

// A symbol table section of the file and its strings.
struct SymbolSection {
    std::vector<ElfW(Sym)> symbols;
    std::vector<char> strings;  // one zero beyond the section's bytes
    size_t stringsSize = 0;
};

bool readSymbolSection(int fd, const std::vector<ElfW(Shdr)>& sections, uint32_t type, SymbolSection* out) {
    const ElfW(Shdr)* table = nullptr;
    for (const ElfW(Shdr)& section : sections) {
        if (section.sh_type == type) {
            table = &section;
            break;
        }
    }
    if (table == nullptr || table->sh_link >= sections.size() || table->sh_entsize != sizeof(ElfW(Sym))) {
        return false;
    }
    const ElfW(Shdr)& strtab = sections[table->sh_link];
    out->symbols.resize(table->sh_size / sizeof(ElfW(Sym)));
    out->strings.assign(strtab.sh_size + 1, '\0');
    out->stringsSize = strtab.sh_size;
    return readAt(fd, out->symbols.data(), out->symbols.size() * sizeof(ElfW(Sym)), (off_t)table->sh_offset) &&
           readAt(fd, out->strings.data(), strtab.sh_size, (off_t)strtab.sh_offset);
}

void indexFullTable(const Image& image, const char* path, const SymbolSection& table, IndexedImage* record) {
    for (const ElfW(Sym)& symbol : table.symbols) {
        const unsigned type = ELF64_ST_TYPE(symbol.st_info);
        if ((type != STT_FUNC && type != STT_GNU_IFUNC) || symbol.st_shndx == SHN_UNDEF ||
            symbol.st_shndx == SHN_ABS || symbol.st_value == 0 || symbol.st_name >= table.stringsSize) {
            continue;
        }
        uint32_t nameOffset;
        if (g_symbolCount >= kMaxIndexedSymbols || !appendName(table.strings.data() + symbol.st_name, &nameOffset)) {
            MDLOG_WARN("Symbol index full; later symbols of %s are named from the dynamic table only", path);
            break;
        }
        g_symbols[g_symbolCount].address = image.entry.bias + symbol.st_value;
        g_symbols[g_symbolCount].nameOffset = nameOffset;
        g_symbolCount++;
        record->count++;
    }
    // Sorted by address, so a lookup is a binary search. Stable: among
    // symbols at one address the last in the table still wins, as it would
    // in a scan of the table in its own order.
    std::stable_sort(g_symbols + record->first, g_symbols + record->first + record->count,
                     [](const IndexedSymbol& a, const IndexedSymbol& b) { return a.address < b.address; });
}

// The entries mddl_nearestSymbol considers, sorted (stably) by address; all
// or nothing, so a lookup never answers from part of the table.
void indexDynamicTable(const Image& image, const SymbolSection& table, IndexedImage* record) {
    const uint32_t first = g_dynamicSymbolCount;
    const uint32_t namesBefore = g_namesUsed;
    uint32_t count = 0;
    for (const ElfW(Sym)& symbol : table.symbols) {
        const unsigned type = ELF64_ST_TYPE(symbol.st_info);
        if (symbol.st_value == 0 || symbol.st_shndx == SHN_UNDEF ||
            (type != STT_FUNC && type != STT_GNU_IFUNC && type != STT_OBJECT)) {
            continue;
        }
        uint32_t nameOffset = kUnnamed;
        if (first + count >= kMaxIndexedDynamicSymbols ||
            (symbol.st_name < table.stringsSize && !appendName(table.strings.data() + symbol.st_name, &nameOffset))) {
            g_namesUsed = namesBefore;
            return;  // full: this image's dynamic table is read from memory
        }
        g_dynamicSymbols[first + count] = {image.entry.bias + symbol.st_value, symbol.st_size, nameOffset};
        count++;
    }
    std::stable_sort(g_dynamicSymbols + first, g_dynamicSymbols + first + count,
                     [](const IndexedDynamicSymbol& a, const IndexedDynamicSymbol& b) { return a.address < b.address; });
    g_dynamicSymbolCount = first + count;
    record->dynamicFirst = first;
    record->dynamicCount = count;
    record->hasDynamicIndex = true;
}

// Indexes the function symbols of `path`'s .symtab and its whole .dynsym;
// nothing of a table the file lacks or that cannot be read.
void indexSymbolTable(const Image& image, const char* path, IndexedImage* record) {
    record->first = g_symbolCount;
    record->count = 0;
    record->hasDynamicIndex = false;
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
    SymbolSection table;
    if (readSymbolSection(fd.get(), sections, SHT_SYMTAB, &table)) indexFullTable(image, path, table, record);
    SymbolSection dynamic;
    if (readSymbolSection(fd.get(), sections, SHT_DYNSYM, &dynamic)) indexDynamicTable(image, dynamic, record);
}

}  // namespace

void indexLoadedImages(void) {
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
                item.path.assign(executablePath(), executablePath() + kMaxPathLength);
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
        uint32_t length = 0;
        const uintptr_t buildID = buildIDInMemory(&item.image, &length);
        if (length > sizeof record.buildID) length = sizeof record.buildID;
        if (buildID != 0 && copyFrom(buildID, record.buildID, length)) record.buildIDLength = (uint8_t)length;
        indexSymbolTable(item.image, path, &record);
        g_indexedImages[g_indexedImageCount] = record;
        __atomic_store_n(&g_indexedImageCount, g_indexedImageCount + 1, __ATOMIC_RELEASE);
    }
}

// ---- The index, as crash-time code sees it ----

const IndexedImage* indexedImage(const Image* image) {
    if (image->recordKnown) return image->record;
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

const char* reportedName(const Image* image, const IndexedImage* record) {
    if (record != nullptr) {
        return g_names + record->pathOffset;
    }
    if (image->isMainProgram) {
        return executablePath();
    }
    char first;
    return copyFrom((uintptr_t)image->name, &first, 1) ? image->name : kNoName;
}

const uint8_t* reportedUUID(const Image* image, const IndexedImage* record) {
    uint32_t length = 0;
    return reportedBuildID(image, record, &length);
}

const uint8_t* reportedBuildID(const Image* image, const IndexedImage* record, uint32_t* length) {
    if (record != nullptr) {
        *length = record->buildIDLength;
        return record->buildIDLength != 0 ? record->buildID : nullptr;
    }
    uint32_t found = 0;
    const uint8_t* bytes = (const uint8_t*)buildIDInMemory(image, &found);
    *length = bytes != nullptr ? (found > kMaxBuildIDLength ? kMaxBuildIDLength : found) : 0;
    return bytes;
}

void nearestIndexedSymbol(const IndexedImage* record, uintptr_t address, const char** name, uintptr_t* symbolAddress) {
    if (record == nullptr || record->count == 0) {
        return;
    }
    // The first symbol above `address`; the one before it is the nearest at
    // or below, and the last of its address.
    uint32_t low = record->first;
    uint32_t high = record->first + record->count;
    while (low < high) {
        const uint32_t middle = low + (high - low) / 2;
        if (g_symbols[middle].address <= address) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    if (low == record->first) {
        return;  // every symbol lies above
    }
    const IndexedSymbol& nearest = g_symbols[low - 1];
    if (*name == nullptr || address - nearest.address <= address - *symbolAddress) {
        *name = g_names + nearest.nameOffset;
        *symbolAddress = nearest.address;
    }
}

bool nearestIndexedDynamicName(const IndexedImage* record, uintptr_t address, const char** name,
                               uintptr_t* symbolAddress) {
    if (record == nullptr || !record->hasDynamicIndex) {
        return false;
    }
    // The last entry at or below `address`: the nearest, and on equal
    // distance the later one in the table's own order.
    uint32_t low = record->dynamicFirst;
    uint32_t high = record->dynamicFirst + record->dynamicCount;
    while (low < high) {
        const uint32_t middle = low + (high - low) / 2;
        if (g_dynamicSymbols[middle].address <= address) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    if (low == record->dynamicFirst) {
        return true;
    }
    const IndexedDynamicSymbol& nearest = g_dynamicSymbols[low - 1];
    // A sized symbol the address lies past is some other, unexported
    // function: no name beats a wrong one.
    const bool inside = nearest.size == 0 || address - nearest.address < nearest.size;
    if (inside && nearest.nameOffset != kUnnamed) {
        *name = g_names + nearest.nameOffset;
        *symbolAddress = nearest.address;
    }
    return true;
}

uint32_t indexedSymbolCount(const IndexedImage* record) { return record != nullptr ? record->count : 0; }

void indexedSymbolAt(const IndexedImage* record, uint32_t index, const char** name, uintptr_t* symbolAddress) {
    const IndexedSymbol& symbol = g_symbols[record->first + index];
    *name = g_names + symbol.nameOffset;
    *symbolAddress = symbol.address;
}

}  // namespace mddl
