// The image list, image records and build ids, the nearest-symbol rule,
// symbol lookup in the dynamic and full symbol tables, the last path entry
// and the demanglers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <elf.h>
#include <fstream>
#include <iterator>
#include <link.h>
#include <string>
#include <sys/auxv.h>
#include <unistd.h>
#include <vector>

#include "Mayday/Recording/Tools/MDDemangle.h"
#include "Mayday/Recording/Tools/MDDynamicLinker.h"

namespace {

// A function of the test program that only the full symbol table names.
__attribute__((noinline)) int hiddenHelperForLookup(int x) {
    __asm__ volatile("" ::: "memory");
    return x * 7 + 3;
}

std::string executablePath() {
    char buffer[4096];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return length > 0 ? std::string(buffer, (size_t)length) : std::string();
}

// The GNU build id of an ELF file on disk, read through its section headers.
// The whole build id, or its first 16 bytes (the report's uuid) when `whole` is false.
std::vector<uint8_t> buildIDFromFile(const std::string& path, bool whole = false) {
    std::ifstream file(path, std::ios::binary);
    const std::vector<char> data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (data.size() < sizeof(Elf64_Ehdr)) {
        return {};
    }
    Elf64_Ehdr header;
    std::memcpy(&header, data.data(), sizeof header);
    for (int i = 0; i < header.e_shnum; i++) {
        Elf64_Shdr section;
        std::memcpy(&section, data.data() + header.e_shoff + (size_t)i * sizeof section, sizeof section);
        if (section.sh_type != SHT_NOTE) {
            continue;
        }
        size_t offset = section.sh_offset;
        const size_t end = section.sh_offset + section.sh_size;
        while (offset + sizeof(Elf64_Nhdr) <= end) {
            Elf64_Nhdr note;
            std::memcpy(&note, data.data() + offset, sizeof note);
            const size_t name = offset + sizeof note;
            const size_t desc = name + ((note.n_namesz + 3) & ~3u);
            if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 && std::memcmp(data.data() + name, "GNU", 4) == 0) {
                const long length = whole ? (long)note.n_descsz : 16;
                return std::vector<uint8_t>(data.begin() + (long)desc, data.begin() + (long)desc + length);
            }
            offset = desc + ((note.n_descsz + 3) & ~3u);
        }
    }
    return {};
}

class DynamicLinkerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { mddl_initialize(); }
};

Elf64_Sym symbol(Elf64_Addr value, unsigned type = STT_FUNC, Elf64_Section section = 1) {
    Elf64_Sym entry{};
    entry.st_value = value;
    entry.st_info = (unsigned char)ELF64_ST_INFO(STB_GLOBAL, type);
    entry.st_shndx = section;
    return entry;
}

TEST(LastPathEntry, Cases) {
    EXPECT_EQ(mdfu_lastPathEntry(nullptr), nullptr);
    EXPECT_STREQ(mdfu_lastPathEntry("libc.so.6"), "libc.so.6");
    EXPECT_STREQ(mdfu_lastPathEntry("/usr/lib/libc.so.6"), "libc.so.6");
    EXPECT_STREQ(mdfu_lastPathEntry("a/b/"), "");
    EXPECT_STREQ(mdfu_lastPathEntry("/"), "");
    EXPECT_STREQ(mdfu_lastPathEntry(""), "");
    const char* path = "x/yz";
    EXPECT_EQ(mdfu_lastPathEntry(path), path + 2);  // points into the argument
}

TEST(Demangle, CPlusPlusNamesAndOthers) {
    char* text = mddm_demangleCPP("_ZN3foo3barEi");
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "foo::bar(int)");
    free(text);
    EXPECT_EQ(mddm_demangleCPP("main"), nullptr);
    EXPECT_EQ(mddm_demangleCPP("_Z"), nullptr);
    EXPECT_EQ(mddm_demangleCPP(nullptr), nullptr);
    EXPECT_EQ(mddm_demangleSwift("$s4main3FooVMa"), nullptr);
    EXPECT_EQ(mddm_demangleSwift(nullptr), nullptr);
}

TEST(NearestSymbol, DistanceRules) {
    const Elf64_Sym table[] = {symbol(0x100), symbol(0x200), symbol(0x200), symbol(0x300)};
    EXPECT_EQ(mddl_nearestSymbol(table, 4, 0, 0x100), 0);   // exact value, distance 0
    EXPECT_EQ(mddl_nearestSymbol(table, 4, 0, 0x1ff), 0);
    EXPECT_EQ(mddl_nearestSymbol(table, 4, 0, 0x250), 2);   // equal values: the later wins
    EXPECT_EQ(mddl_nearestSymbol(table, 4, 0, 0x5000), 3);
    EXPECT_EQ(mddl_nearestSymbol(table, 4, 0, 0xff), -1);   // below the first symbol
    EXPECT_EQ(mddl_nearestSymbol(table, 4, 0x1000, 0x1150), 0);  // the bias is applied
    EXPECT_EQ(mddl_nearestSymbol(table, 0, 0, 0x250), -1);
}

TEST(NearestSymbol, SkipsZeroUndefinedAndUnwantedTypes) {
    const Elf64_Sym table[] = {symbol(0x100),
                               symbol(0, STT_FUNC),
                               symbol(0x180, STT_FUNC, SHN_UNDEF),
                               symbol(0x190, STT_SECTION),
                               symbol(0x1a0, STT_TLS),
                               symbol(0x1b0, STT_FILE)};
    EXPECT_EQ(mddl_nearestSymbol(table, 6, 0, 0x1c0), 0);
    EXPECT_EQ(mddl_nearestSymbol(table, 1, 0, 0x50), -1);
    const Elf64_Sym kinds[] = {symbol(0x100, STT_OBJECT), symbol(0x200, STT_GNU_IFUNC)};
    EXPECT_EQ(mddl_nearestSymbol(kinds, 2, 0, 0x150), 0);
    EXPECT_EQ(mddl_nearestSymbol(kinds, 2, 0, 0x250), 1);
}

int countImages(struct dl_phdr_info*, size_t, void* data) {
    ++*(int*)data;
    return 0;
}

TEST_F(DynamicLinkerTest, ImageListMatchesTheLoader) {
    int loaderCount = 0;
    dl_iterate_phdr(countImages, &loaderCount);
    EXPECT_EQ(mddl_imageCount(), (uint32_t)loaderCount);
    EXPECT_GE(mddl_imageCount(), 3u);

    MDBinaryImage image;
    EXPECT_FALSE(mddl_binaryImage(-1, &image));
    EXPECT_FALSE(mddl_binaryImage((int)mddl_imageCount(), &image));
    for (int i = 0; i < (int)mddl_imageCount(); i++) {
        ASSERT_TRUE(mddl_binaryImage(i, &image)) << i;
        EXPECT_EQ(std::memcmp((const void*)image.address, ELFMAG, SELFMAG), 0) << image.name;
        EXPECT_NE(image.size, 0u) << image.name;
    }
}

TEST_F(DynamicLinkerTest, MainProgramRecord) {
    MDBinaryImage image;
    ASSERT_TRUE(mddl_binaryImage(0, &image));
    EXPECT_EQ(std::string(image.name), executablePath());
    const uintptr_t code = (uintptr_t)&hiddenHelperForLookup;
    EXPECT_LE(image.address, code);
    EXPECT_LT(code, image.address + image.size);
    EXPECT_EQ(image.cpuType, 0x01000007);
    EXPECT_EQ(image.cpuSubType, 3);
    EXPECT_EQ(image.majorVersion + image.minorVersion + image.revisionVersion, 0u);

    const std::vector<uint8_t> fromFile = buildIDFromFile(executablePath());
    if (fromFile.empty()) {
        EXPECT_EQ(image.uuid, nullptr);
    } else {
        ASSERT_NE(image.uuid, nullptr);
        EXPECT_EQ(std::vector<uint8_t>(image.uuid, image.uuid + 16), fromFile);
        EXPECT_EQ(mddl_imageUUID(executablePath().c_str(), true), image.uuid);
        ASSERT_NE(image.buildID, nullptr);
        EXPECT_EQ(std::vector<uint8_t>(image.buildID, image.buildID + image.buildIDLength),
                  buildIDFromFile(executablePath(), true));
    }
    EXPECT_EQ(mddl_imageNamed(executablePath().c_str(), true), 0);
}

TEST_F(DynamicLinkerTest, AddressInLibcResolvesToLibcAndItsBuildID) {
    void* volatile function = (void*)&getpid;
    const uintptr_t address = (uintptr_t)function;
    Dl_info mine;
    ASSERT_TRUE(mddl_dladdr(address, &mine));
    Dl_info loader;
    ASSERT_NE(dladdr((void*)address, &loader), 0);
    ASSERT_NE(mine.dli_fname, nullptr);
    EXPECT_STREQ(mine.dli_fname, loader.dli_fname);
    EXPECT_NE(std::string(mine.dli_fname).find("libc.so"), std::string::npos);
    EXPECT_EQ(mine.dli_fbase, loader.dli_fbase);
    ASSERT_NE(mine.dli_sname, nullptr);
    EXPECT_EQ(mine.dli_saddr, (void*)address);  // exact value, distance 0
    EXPECT_EQ(dlsym(RTLD_DEFAULT, mine.dli_sname), (void*)address) << mine.dli_sname;

    const std::vector<uint8_t> fromFile = buildIDFromFile(mine.dli_fname);
    ASSERT_EQ(fromFile.size(), 16u);
    const uint8_t* uuid = mddl_imageUUID(mine.dli_fname, true);
    ASSERT_NE(uuid, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(uuid, uuid + 16), fromFile);

    // A few bytes in, the same symbol still holds.
    Dl_info inside;
    ASSERT_TRUE(mddl_dladdr(address + 2, &inside));
    EXPECT_EQ(inside.dli_saddr, mine.dli_saddr);
}

// The PT_LOAD segments of an ELF file on disk: the page-aligned span they
// cover at link time and the executable one.
struct FileSegments {
    uint64_t low = UINT64_MAX;
    uint64_t high = 0;        // page-aligned end of the highest segment
    uint64_t highestEnd = 0;  // its last byte + 1, unaligned
    uint64_t textVaddr = 0;
    uint64_t textEnd = 0;
    bool found = false;
};

FileSegments segmentsFromFile(const std::string& path) {
    FileSegments segments;
    std::ifstream file(path, std::ios::binary);
    Elf64_Ehdr header;
    if (!file.read((char*)&header, sizeof header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) {
        return segments;
    }
    const uint64_t page = (uint64_t)sysconf(_SC_PAGESIZE);
    for (int i = 0; i < header.e_phnum; i++) {
        Elf64_Phdr ph;
        file.seekg((std::streamoff)(header.e_phoff + (uint64_t)i * header.e_phentsize));
        if (!file.read((char*)&ph, sizeof ph)) {
            return FileSegments{};
        }
        if (ph.p_type != PT_LOAD) {
            continue;
        }
        segments.low = std::min(segments.low, ph.p_vaddr & ~(page - 1));
        segments.high = std::max(segments.high, (ph.p_vaddr + ph.p_memsz + page - 1) & ~(page - 1));
        segments.highestEnd = std::max(segments.highestEnd, ph.p_vaddr + ph.p_memsz);
        if ((ph.p_flags & PF_X) != 0 && !segments.found) {
            segments.textVaddr = ph.p_vaddr;
            segments.textEnd = ph.p_vaddr + ph.p_memsz;
            segments.found = true;
        }
    }
    return segments;
}

struct BiasQuery {
    std::string name;  // "" for the main program
    uintptr_t bias = 0;
    bool found = false;
};

int findBias(struct dl_phdr_info* info, size_t, void* data) {
    BiasQuery* query = (BiasQuery*)data;
    const std::string name = info->dlpi_name != nullptr ? info->dlpi_name : "";
    if (name == query->name) {
        query->bias = info->dlpi_addr;
        query->found = true;
        return 1;
    }
    return 0;
}

TEST_F(DynamicLinkerTest, ImageRecordsSpanEveryLoadSegmentAndGiveLinkTimeTextAddress) {
    for (const char* part : {"libc.so", "libstdc++.so", ""}) {
        SCOPED_TRACE(part[0] != '\0' ? part : "main program");
        const int index = part[0] != '\0' ? mddl_imageNamed(part, false) : 0;
        MDBinaryImage image;
        ASSERT_TRUE(mddl_binaryImage(index, &image));
        const FileSegments file = segmentsFromFile(image.name);
        ASSERT_TRUE(file.found);
        BiasQuery bias{index == 0 ? std::string() : std::string(image.name)};
        dl_iterate_phdr(findBias, &bias);
        ASSERT_TRUE(bias.found);

        EXPECT_EQ(image.address, bias.bias + file.low);
        EXPECT_EQ(image.address + image.size, bias.bias + file.high);
        EXPECT_EQ(image.vmAddress, file.textVaddr);  // link time: no load bias

        // The last bytes of the code and of the highest segment belong to the image.
        for (const uintptr_t last : {bias.bias + file.textEnd - 1, bias.bias + file.highestEnd - 1}) {
            EXPECT_GE(last, image.address);
            EXPECT_LT(last, image.address + image.size);
            Dl_info info;
            ASSERT_TRUE(mddl_dladdr(last, &info)) << std::hex << last;
            EXPECT_EQ(info.dli_fbase, (void*)image.address);
            EXPECT_STREQ(info.dli_fname, image.name);
        }
    }
}

TEST_F(DynamicLinkerTest, ImagesFoundByName) {
    const int libc = mddl_imageNamed("libc.so", false);
    ASSERT_GE(libc, 0);
    MDBinaryImage image;
    ASSERT_TRUE(mddl_binaryImage(libc, &image));
    EXPECT_NE(std::string(image.name).find("libc.so"), std::string::npos);
    EXPECT_EQ(mddl_imageNamed(image.name, true), libc);
    EXPECT_EQ(mddl_imageNamed("libc.so", true), -1);  // only part of the path
    EXPECT_EQ(mddl_imageNamed("no-such-image-anywhere", false), -1);
    EXPECT_EQ(mddl_imageNamed(nullptr, false), -1);
    EXPECT_EQ(mddl_imageUUID(nullptr, false), nullptr);
    EXPECT_EQ(mddl_imageUUID("no-such-image-anywhere", false), nullptr);
    EXPECT_EQ(mddl_imageUUID("libc.so", false), image.uuid);
}

TEST_F(DynamicLinkerTest, NonExportedFunctionResolvesThroughTheFullSymbolTable) {
    ASSERT_EQ(hiddenHelperForLookup(1), 10);
    const uintptr_t start = (uintptr_t)&hiddenHelperForLookup;
    Dl_info info;
    ASSERT_TRUE(mddl_dladdr(start + 1, &info));
    EXPECT_EQ(std::string(info.dli_fname), executablePath());
    ASSERT_NE(info.dli_sname, nullptr);
    EXPECT_EQ(info.dli_saddr, (void*)start);
    char* readable = mddm_demangleCPP(info.dli_sname);
    ASSERT_NE(readable, nullptr) << info.dli_sname;
    EXPECT_NE(std::string(readable).find("hiddenHelperForLookup"), std::string::npos) << readable;
    free(readable);
}

TEST_F(DynamicLinkerTest, AddressBelowEverySymbolGivesTheImageOnly) {
    const int libc = mddl_imageNamed("libc.so", false);
    MDBinaryImage image;
    ASSERT_TRUE(mddl_binaryImage(libc, &image));
    Dl_info info;
    ASSERT_TRUE(mddl_dladdr((uintptr_t)image.address + 1, &info));  // inside the ELF header
    EXPECT_EQ(info.dli_fbase, (void*)image.address);
    EXPECT_STREQ(info.dli_fname, image.name);
    EXPECT_EQ(info.dli_sname, nullptr);
    EXPECT_EQ(info.dli_saddr, nullptr);
}

TEST_F(DynamicLinkerTest, AddressOutsideEveryImage) {
    std::vector<char> heap(4096);
    Dl_info info;
    info.dli_fname = "stale";
    EXPECT_FALSE(mddl_dladdr((uintptr_t)heap.data(), &info));
    EXPECT_EQ(info.dli_fname, nullptr);
    EXPECT_EQ(info.dli_sname, nullptr);
    EXPECT_FALSE(mddl_dladdr(0, &info));
}

TEST_F(DynamicLinkerTest, VirtualDSOSymbolsResolve) {
    // The vDSO keeps unrelocated pointers in its dynamic section.
    const uintptr_t vdso = getauxval(AT_SYSINFO_EHDR);
    if (vdso == 0) {
        GTEST_SKIP() << "no vDSO";
    }
    void* handle = dlopen("linux-vdso.so.1", RTLD_NOW | RTLD_NOLOAD);
    void* function = handle != nullptr ? dlsym(handle, "__vdso_clock_gettime") : nullptr;
    if (function == nullptr) {
        GTEST_SKIP() << "vDSO symbol not reachable through dlsym";
    }
    Dl_info info;
    ASSERT_TRUE(mddl_dladdr((uintptr_t)function, &info));
    EXPECT_EQ(info.dli_fbase, (void*)vdso);
    ASSERT_NE(info.dli_sname, nullptr);
    EXPECT_EQ(info.dli_saddr, function);
    dlclose(handle);
}

}  // namespace
