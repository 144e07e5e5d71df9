// Reading a loaded image's ELF structures in memory: program headers and the
// span they map, the GNU build-id note, and the dynamic section with the
// dynamic symbol table and its hash tables.
//
// Crash-path safe: every read of image memory is a kernel-checked copy
// (MDCheckedCopy) into fixed buffers on the stack, bounded against damaged
// headers; an image another thread's dlclose unmapped meanwhile reads as
// absent, never as a fault. No heap, no locks, no stdio.
#include "Mayday/Recording/Tools/MDElfImage.h"

#include <sys/auxv.h>

#include "Mayday/Recording/Tools/MDCheckedCopy.h"
#include "Mayday/Recording/Tools/MDDynamicLinker.h"

namespace mddl {
namespace {

// Bounds on what a damaged image could make us read.
constexpr uint32_t kMaxDynamicSymbols = 1u << 20;
constexpr uint32_t kMaxHashBuckets = 1u << 20;
constexpr int kMaxNotesPerSegment = 64;
// Read at once from a shared object's start: the ELF header and, usually,
// its program headers behind it.
constexpr size_t kHeadLength = 1024;

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

uintptr_t alignUp(uintptr_t value, uintptr_t alignment) {
    return (value + alignment - 1) & ~(alignment - 1);
}

// Dynamic-section pointers are relocated in place by the loader, except in
// read-only dynamic sections (the vDSO's), which keep link-time values.
uintptr_t dynamicPointer(const Image* image, uintptr_t value) {
    return value < image->entry.bias ? value + image->entry.bias : value;
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

// The image's dynamic symbol and string tables, from its dynamic section;
// false when it has none that reads.
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

}  // namespace

bool hasELFMagic(const ElfW(Ehdr)* header) {
    return header->e_ident[EI_MAG0] == ELFMAG0 && header->e_ident[EI_MAG1] == ELFMAG1 &&
           header->e_ident[EI_MAG2] == ELFMAG2 && header->e_ident[EI_MAG3] == ELFMAG3 &&
           header->e_ident[EI_CLASS] == ELFCLASS64;
}

bool describeImage(uintptr_t map, const LinkEntry& entry, uintptr_t firstMap, Image* image) {
    image->map = map;
    image->entry = entry;
    image->phdrs = 0;
    image->phnum = 0;
    image->start = 0;
    image->end = 0;
    image->textVAddr = 0;
    image->cachedPhdrs = 0;
    image->recordKnown = false;
    image->record = nullptr;
    char first = 1;
    image->isMainProgram =
        map == firstMap && (entry.name == 0 || (copyFrom(entry.name, &first, 1) && first == '\0'));
    if (image->isMainProgram) {
        // The kernel tells where the program's headers are; getauxval only
        // reads a table set up at start.
        image->phdrs = (uintptr_t)getauxval(AT_PHDR);
        image->phnum = (int)getauxval(AT_PHNUM);
        image->name = executablePath();
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

const char* currentPath(const Image* image, char* buffer, size_t capacity) {
    if (image->isMainProgram) {
        return executablePath();
    }
    return copyString(image->entry.name, buffer, capacity) ? buffer : nullptr;
}

uintptr_t buildIDInMemory(const Image* image, uint32_t* length) {
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
                if (length != nullptr) *length = header.n_descsz;
                return false;
            }
            note = next;
        }
        return true;
    });
    return found;
}

bool nearestDynamicName(const Image* image, uintptr_t address, const char** name, uintptr_t* symbolAddress) {
    DynamicSymbols dynamic;
    ElfW(Sym) symbol;
    if (!dynamicSymbols(image, &dynamic) || !nearestDynamicSymbol(image, dynamic, address, &symbol)) {
        return false;
    }
    const uintptr_t value = image->entry.bias + symbol.st_value;
    // A sized symbol the address lies past is some other, unexported
    // function: no name beats a wrong one.
    const bool inside = symbol.st_size == 0 || address - value < symbol.st_size;
    const bool named = dynamic.stringsSize == 0 || symbol.st_name < dynamic.stringsSize;
    char first;
    const uintptr_t text = dynamic.strings + symbol.st_name;
    if (!inside || !named || !copyFrom(text, &first, 1)) {
        return false;
    }
    *name = (const char*)text;
    *symbolAddress = value;
    return true;
}

}  // namespace mddl
