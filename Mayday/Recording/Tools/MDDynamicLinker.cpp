// Loaded images and their symbols, from the dynamic linker's link map.
//
// Everything but mddl_initialize is crash-path safe: the link map, ELF
// headers, program headers, notes and dynamic symbol tables are read in place
// without the loader's lock; no heap, no locks, no stdio, no exceptions. The
// full-symbol-table index is filled by mddl_initialize (which allocates and
// reads files) and only read here.
#include "Mayday/Recording/Tools/MDDynamicLinker.h"

#include <elf.h>
#include <execinfo.h>
#include <fcntl.h>
#include <mutex>
#include <sys/auxv.h>
#include <unistd.h>
#include <vector>

#include "Mayday/Recording/Tools/MDLogger.h"

namespace {

// Mach numbers of x86_64 (the report's vocabulary).
constexpr int kCPUTypeX86_64 = 0x01000007;
constexpr int kCPUSubTypeX86_64 = 3;
constexpr int kUUIDLength = 16;

// The main program's path: its link-map name is "".
char g_executablePath[4096];

// The full-symbol-table index. Written only by mddl_initialize under its
// mutex; an image's entries are complete before the image count that
// publishes them is stored (release), and crash-time readers load that count
// (acquire) and never look past it.
constexpr uint32_t kMaxIndexedSymbols = 131072;
constexpr uint32_t kIndexedNamesSize = 4 * 1024 * 1024;
constexpr int kMaxIndexedImages = 512;

struct IndexedSymbol {
    uintptr_t address;
    uint32_t nameOffset;
};

struct IndexedImage {
    const struct link_map* map;
    uintptr_t bias;
    uintptr_t dynamic;
    uint32_t first;
    uint32_t count;
};

IndexedSymbol g_symbols[kMaxIndexedSymbols];
char g_names[kIndexedNamesSize];
IndexedImage g_indexedImages[kMaxIndexedImages];
uint32_t g_symbolCount;
uint32_t g_namesUsed;
int g_indexedImageCount;
std::mutex g_initializeMutex;

// What one image looks like in memory.
struct Image {
    const struct link_map* map;
    uintptr_t bias;
    uintptr_t header;  // the ELF header's address
    const ElfW(Phdr)* phdrs;
    int phnum;
    const char* name;
};

const struct link_map* firstLinkMap(void) {
    if (_r_debug.r_map != nullptr) {
        return _r_debug.r_map;
    }
    // Without the debugger rendezvous the main program's DT_DEBUG entry
    // points at the same record.
    for (const ElfW(Dyn)* dyn = _DYNAMIC; dyn != nullptr && dyn->d_tag != DT_NULL; dyn++) {
        if (dyn->d_tag == DT_DEBUG && dyn->d_un.d_ptr != 0) {
            return ((const struct r_debug*)dyn->d_un.d_ptr)->r_map;
        }
    }
    return nullptr;
}

bool isMainProgram(const struct link_map* map) {
    return map == firstLinkMap() && (map->l_name == nullptr || map->l_name[0] == '\0');
}

bool hasELFMagic(const ElfW(Ehdr)* header) {
    return header->e_ident[EI_MAG0] == ELFMAG0 && header->e_ident[EI_MAG1] == ELFMAG1 &&
           header->e_ident[EI_MAG2] == ELFMAG2 && header->e_ident[EI_MAG3] == ELFMAG3 &&
           header->e_ident[EI_CLASS] == ELFCLASS64;
}

bool describeImage(const struct link_map* map, Image* image) {
    image->map = map;
    image->bias = map->l_addr;
    image->header = 0;
    image->phdrs = nullptr;
    image->phnum = 0;
    if (isMainProgram(map)) {
        // The kernel tells where the program's headers are; getauxval only
        // reads a table set up at start.
        image->phdrs = (const ElfW(Phdr)*)getauxval(AT_PHDR);
        image->phnum = (int)getauxval(AT_PHNUM);
        image->name = g_executablePath;
    } else {
        // Shared objects are linked at 0, so their ELF header sits at the
        // load bias (the first PT_LOAD maps file offset 0 at vaddr 0).
        const ElfW(Ehdr)* header = (const ElfW(Ehdr)*)map->l_addr;
        if (header == nullptr || !hasELFMagic(header) || header->e_phentsize != sizeof(ElfW(Phdr))) {
            return false;
        }
        image->phdrs = (const ElfW(Phdr)*)(map->l_addr + header->e_phoff);
        image->phnum = header->e_phnum;
        image->name = map->l_name;
    }
    if (image->phdrs == nullptr || image->phnum <= 0) {
        return false;
    }
    for (int i = 0; i < image->phnum; i++) {
        const ElfW(Phdr)* ph = &image->phdrs[i];
        if (ph->p_type == PT_LOAD && ph->p_offset == 0) {
            image->header = image->bias + ph->p_vaddr;
            break;
        }
    }
    return image->header != 0;
}

bool imageAtIndex(int index, Image* image) {
    if (index < 0) {
        return false;
    }
    int i = 0;
    for (const struct link_map* map = firstLinkMap(); map != nullptr; map = map->l_next, i++) {
        if (i == index) {
            return describeImage(map, image);
        }
    }
    return false;
}

bool imageContains(const Image* image, uintptr_t address) {
    for (int i = 0; i < image->phnum; i++) {
        const ElfW(Phdr)* ph = &image->phdrs[i];
        const uintptr_t start = image->bias + ph->p_vaddr;
        if (ph->p_type == PT_LOAD && address >= start && address - start < ph->p_memsz) {
            return true;
        }
    }
    return false;
}

uintptr_t alignUp(uintptr_t value, uintptr_t alignment) {
    return (value + alignment - 1) & ~(alignment - 1);
}

const uint8_t* buildID(const Image* image) {
    for (int i = 0; i < image->phnum; i++) {
        const ElfW(Phdr)* ph = &image->phdrs[i];
        if (ph->p_type != PT_NOTE) {
            continue;
        }
        const uintptr_t alignment = ph->p_align == 8 ? 8 : 4;
        uintptr_t note = image->bias + ph->p_vaddr;
        const uintptr_t end = note + ph->p_filesz;
        while (note + sizeof(ElfW(Nhdr)) <= end) {
            const ElfW(Nhdr)* header = (const ElfW(Nhdr)*)note;
            const uintptr_t name = note + sizeof(ElfW(Nhdr));
            const uintptr_t desc = alignUp(name + header->n_namesz, alignment);
            const uintptr_t next = alignUp(desc + header->n_descsz, alignment);
            if (next > end || next <= note) {
                break;
            }
            const char* noteName = (const char*)name;
            if (header->n_type == NT_GNU_BUILD_ID && header->n_namesz == 4 && noteName[0] == 'G' &&
                noteName[1] == 'N' && noteName[2] == 'U' && noteName[3] == '\0' && header->n_descsz >= kUUIDLength) {
                return (const uint8_t*)desc;
            }
            note = next;
        }
    }
    return nullptr;
}

// Dynamic-section pointers are relocated in place by the loader, except in
// read-only dynamic sections (the vDSO's), which keep link-time values.
uintptr_t dynamicPointer(const Image* image, uintptr_t value) {
    return value < image->bias ? value + image->bias : value;
}

uint32_t gnuHashSymbolCount(const uint32_t* table) {
    const uint32_t bucketCount = table[0];
    const uint32_t symbolOffset = table[1];
    const uint32_t bloomSize = table[2];
    const uint32_t* buckets = (const uint32_t*)((const uint8_t*)(table + 4) + bloomSize * sizeof(ElfW(Addr)));
    const uint32_t* chains = buckets + bucketCount;
    uint32_t last = 0;
    for (uint32_t i = 0; i < bucketCount; i++) {
        if (buckets[i] > last) {
            last = buckets[i];
        }
    }
    if (last < symbolOffset) {
        return symbolOffset;
    }
    // The chain of the highest bucket ends at the table's last symbol.
    while ((chains[last - symbolOffset] & 1) == 0) {
        last++;
    }
    return last + 1;
}

struct DynamicSymbols {
    const ElfW(Sym)* symbols;
    const char* strings;
    uint32_t count;
};

bool dynamicSymbols(const Image* image, DynamicSymbols* out) {
    out->symbols = nullptr;
    out->strings = nullptr;
    out->count = 0;
    const ElfW(Dyn)* dyn = image->map->l_ld;
    if (dyn == nullptr) {
        return false;
    }
    const uint32_t* hash = nullptr;
    const uint32_t* gnuHash = nullptr;
    for (; dyn->d_tag != DT_NULL; dyn++) {
        switch (dyn->d_tag) {
        case DT_SYMTAB:
            out->symbols = (const ElfW(Sym)*)dynamicPointer(image, dyn->d_un.d_ptr);
            break;
        case DT_STRTAB:
            out->strings = (const char*)dynamicPointer(image, dyn->d_un.d_ptr);
            break;
        case DT_HASH:
            hash = (const uint32_t*)dynamicPointer(image, dyn->d_un.d_ptr);
            break;
        case DT_GNU_HASH:
            gnuHash = (const uint32_t*)dynamicPointer(image, dyn->d_un.d_ptr);
            break;
        default:
            break;
        }
    }
    if (out->symbols == nullptr || out->strings == nullptr) {
        return false;
    }
    if (hash != nullptr) {
        out->count = hash[1];  // nchain: one chain entry per symbol
    } else if (gnuHash != nullptr) {
        out->count = gnuHashSymbolCount(gnuHash);
    }
    return out->count > 0;
}

bool wantedSymbolType(unsigned type) {
    return type == STT_FUNC || type == STT_GNU_IFUNC || type == STT_OBJECT;
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

// Appends the function symbols of `path`'s .symtab; false when the file has
// none or cannot be read.
bool indexSymbolTable(const Image& image, const char* path, IndexedImage* record) {
    FileDescriptor fd(open(path, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        return false;
    }
    ElfW(Ehdr) header;
    if (!readAt(fd.get(), &header, sizeof header, 0) || !hasELFMagic(&header) ||
        header.e_shentsize != sizeof(ElfW(Shdr)) || header.e_shnum == 0) {
        return false;
    }
    std::vector<ElfW(Shdr)> sections(header.e_shnum);
    if (!readAt(fd.get(), sections.data(), sections.size() * sizeof(ElfW(Shdr)), (off_t)header.e_shoff)) {
        return false;
    }
    const ElfW(Shdr)* symtab = nullptr;
    for (const ElfW(Shdr)& section : sections) {
        if (section.sh_type == SHT_SYMTAB) {
            symtab = &section;
            break;
        }
    }
    if (symtab == nullptr || symtab->sh_link >= sections.size() || symtab->sh_entsize != sizeof(ElfW(Sym))) {
        return false;
    }
    const ElfW(Shdr)& strtab = sections[symtab->sh_link];
    std::vector<ElfW(Sym)> symbols(symtab->sh_size / sizeof(ElfW(Sym)));
    std::vector<char> strings(strtab.sh_size + 1, '\0');
    if (!readAt(fd.get(), symbols.data(), symbols.size() * sizeof(ElfW(Sym)), (off_t)symtab->sh_offset) ||
        !readAt(fd.get(), strings.data(), strtab.sh_size, (off_t)strtab.sh_offset)) {
        return false;
    }
    record->map = image.map;
    record->bias = image.bias;
    record->dynamic = (uintptr_t)image.map->l_ld;
    record->first = g_symbolCount;
    record->count = 0;
    for (const ElfW(Sym)& symbol : symbols) {
        const unsigned type = ELF64_ST_TYPE(symbol.st_info);
        if ((type != STT_FUNC && type != STT_GNU_IFUNC) || symbol.st_shndx == SHN_UNDEF ||
            symbol.st_shndx == SHN_ABS || symbol.st_value == 0 || symbol.st_name >= strtab.sh_size) {
            continue;
        }
        const char* name = strings.data() + symbol.st_name;
        size_t length = 0;
        while (name[length] != '\0') {
            length++;
        }
        if (g_symbolCount >= kMaxIndexedSymbols || g_namesUsed + length + 1 > kIndexedNamesSize) {
            MDLOG_WARN("Symbol index full; later symbols of %s are named from the dynamic table only", path);
            break;
        }
        for (size_t i = 0; i <= length; i++) {
            g_names[g_namesUsed + i] = name[i];
        }
        g_symbols[g_symbolCount].address = image.bias + symbol.st_value;
        g_symbols[g_symbolCount].nameOffset = g_namesUsed;
        g_namesUsed += (uint32_t)length + 1;
        g_symbolCount++;
        record->count++;
    }
    return record->count > 0;
}

const IndexedImage* indexedImage(const Image* image) {
    const int count = __atomic_load_n(&g_indexedImageCount, __ATOMIC_ACQUIRE);
    for (int i = 0; i < count; i++) {
        const IndexedImage* record = &g_indexedImages[i];
        if (record->map == image->map && record->bias == image->bias &&
            record->dynamic == (uintptr_t)image->map->l_ld) {
            return record;
        }
    }
    return nullptr;
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

    for (const struct link_map* map = firstLinkMap(); map != nullptr; map = map->l_next) {
        Image image;
        if (!describeImage(map, &image) || indexedImage(&image) != nullptr) {
            continue;
        }
        if (g_indexedImageCount >= kMaxIndexedImages) {
            MDLOG_WARN("Too many images to index their symbol tables");
            break;
        }
        if (image.name == nullptr || image.name[0] == '\0') {
            continue;
        }
        IndexedImage record;
        if (indexSymbolTable(image, image.name, &record)) {
            g_indexedImages[g_indexedImageCount] = record;
            __atomic_store_n(&g_indexedImageCount, g_indexedImageCount + 1, __ATOMIC_RELEASE);
        }
    }
}

uint32_t mddl_imageCount(void) {
    uint32_t count = 0;
    for (const struct link_map* map = firstLinkMap(); map != nullptr; map = map->l_next) {
        count++;
    }
    return count;
}

bool mddl_binaryImage(int index, MDBinaryImage* buffer) {
    Image image;
    if (buffer == nullptr || !imageAtIndex(index, &image)) {
        return false;
    }
    buffer->address = image.header;
    buffer->vmAddress = 0;
    buffer->size = 0;
    for (int i = 0; i < image.phnum; i++) {
        const ElfW(Phdr)* ph = &image.phdrs[i];
        if (ph->p_type == PT_LOAD && (ph->p_flags & PF_X) != 0) {
            buffer->vmAddress = image.bias + ph->p_vaddr;
            buffer->size = ph->p_memsz;
            break;
        }
    }
    buffer->name = image.name;
    buffer->uuid = buildID(&image);
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
    int index = 0;
    for (const struct link_map* map = firstLinkMap(); map != nullptr; map = map->l_next, index++) {
        const char* name = isMainProgram(map) ? g_executablePath : map->l_name;
        if (name == nullptr) {
            continue;
        }
        if (exactMatch ? stringsEqual(name, imageName) : stringContains(name, imageName)) {
            return index;
        }
    }
    return -1;
}

const uint8_t* mddl_imageUUID(const char* imageName, bool exactMatch) {
    Image image;
    const int index = mddl_imageNamed(imageName, exactMatch);
    if (index < 0 || !imageAtIndex(index, &image)) {
        return nullptr;
    }
    return buildID(&image);
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
    for (const struct link_map* map = firstLinkMap(); map != nullptr; map = map->l_next) {
        if (describeImage(map, &image) && imageContains(&image, address)) {
            found = true;
            break;
        }
    }
    if (!found) {
        return false;
    }
    info->dli_fname = image.name;
    info->dli_fbase = (void*)image.header;

    const char* bestName = nullptr;
    uintptr_t bestAddress = 0;
    DynamicSymbols dynamic;
    if (dynamicSymbols(&image, &dynamic)) {
        const int best = mddl_nearestSymbol(dynamic.symbols, dynamic.count, image.bias, address);
        if (best >= 0) {
            bestName = dynamic.strings + dynamic.symbols[best].st_name;
            bestAddress = image.bias + dynamic.symbols[best].st_value;
        }
    }
    // The full table comes after the dynamic one: on equal distance it wins.
    const IndexedImage* record = indexedImage(&image);
    if (record != nullptr) {
        for (uint32_t i = record->first; i < record->first + record->count; i++) {
            const uintptr_t value = g_symbols[i].address;
            if (value <= address && (bestName == nullptr || address - value <= address - bestAddress)) {
                bestName = g_names + g_symbols[i].nameOffset;
                bestAddress = value;
            }
        }
    }
    if (bestName != nullptr) {
        info->dli_sname = bestName;
        info->dli_saddr = (void*)bestAddress;
    }
    return true;
}
