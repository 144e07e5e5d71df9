// The image list while images come and go: queries racing a dlopen/dlclose
// loop, an image whose memory is gone while the link map still lists it (the
// middle of dlclose), and link maps that loop or never end. Every case runs
// in a child, which must end normally: a fault there is the failure.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <dlfcn.h>
#include <link.h>
#include <string>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "CrashChild.h"
#include "Mayday/Recording/Tools/MDDynamicLinker.h"

namespace {

using zeltest::ChildEnd;
using zeltest::put;
using zeltest::putHex;
using zeltest::runInChild;

// A system library this program does not load, and one function in it.
struct SpareLibrary {
    std::string soname;
    const char* function = nullptr;
};

SpareLibrary findSpareLibrary() {
    static const struct {
        const char* soname;
        const char* function;
    } candidates[] = {{"libz.so.1", "zlibVersion"},
                      {"liblz4.so.1", "LZ4_versionNumber"},
                      {"libbz2.so.1.0", "BZ2_bzlibVersion"},
                      {"libzstd.so.1", "ZSTD_versionNumber"},
                      {"libexpat.so.1", "XML_ExpatVersion"}};
    static const char* const folders[] = {"/lib/x86_64-linux-gnu/", "/usr/lib/x86_64-linux-gnu/", "/lib64/",
                                          "/usr/lib64/"};
    for (const auto& candidate : candidates) {
        void* loaded = dlopen(candidate.soname, RTLD_NOW | RTLD_NOLOAD);
        if (loaded != nullptr) {
            dlclose(loaded);
            continue;
        }
        for (const char* folder : folders) {
            if (access((std::string(folder) + candidate.soname).c_str(), R_OK) == 0) {
                return {candidate.soname, candidate.function};
            }
        }
    }
    return {};
}

bool contains(const char* text, const char* part) {
    return text != nullptr && std::strstr(text, part) != nullptr;
}

// The page-aligned span of an image's PT_LOAD segments, found through the loader.
struct Span {
    const char* part;
    uintptr_t start = 0;
    uintptr_t end = 0;
};

int findSpan(struct dl_phdr_info* info, size_t, void* data) {
    Span* span = (Span*)data;
    if (!contains(info->dlpi_name, span->part)) {
        return 0;
    }
    const uintptr_t page = (uintptr_t)sysconf(_SC_PAGESIZE);
    for (int i = 0; i < info->dlpi_phnum; i++) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD) {
            continue;
        }
        const uintptr_t start = (info->dlpi_addr + ph.p_vaddr) & ~(page - 1);
        const uintptr_t end = (info->dlpi_addr + ph.p_vaddr + ph.p_memsz + page - 1) & ~(page - 1);
        if (span->start == 0 || start < span->start) span->start = start;
        if (end > span->end) span->end = end;
    }
    return 1;
}

// The loader's live rendezvous, through the program's DT_DEBUG entry. (Naming
// _r_debug here would give the program a copy of it, frozen at start.)
struct r_debug* liveRendezvous() {
    for (const ElfW(Dyn)* dyn = _DYNAMIC; dyn->d_tag != DT_NULL; dyn++) {
        if (dyn->d_tag == DT_DEBUG) return (struct r_debug*)dyn->d_un.d_ptr;
    }
    return nullptr;
}

uintptr_t libcBase() {
    Dl_info info;
    return dladdr((void*)&getpid, &info) != 0 ? (uintptr_t)info.dli_fbase : 0;
}

class ImageListRaces : public ::testing::Test {
protected:
    void SetUp() override {
        library_ = findSpareLibrary();
        if (library_.soname.empty()) {
            GTEST_SKIP() << "no spare system library to load and unload";
        }
    }
    SpareLibrary library_;
};

TEST_F(ImageListRaces, QueriesSurviveADlopenDlcloseLoop) {
    const SpareLibrary library = library_;
    const ChildEnd end = runInChild([library] {
        const uintptr_t libc = libcBase();
        const uint32_t baseCount = mddl_imageCount();
        void* handle = dlopen(library.soname.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) _exit(2);
        // Indexed while loaded: the index then holds a record of an image
        // that keeps vanishing.
        mddl_initialize();
        const uintptr_t function = (uintptr_t)dlsym(handle, library.function);
        Dl_info loaded;
        if (function == 0 || !mddl_dladdr(function, &loaded) || !contains(loaded.dli_fname, library.soname.c_str()))
            _exit(3);
        const uintptr_t base = (uintptr_t)loaded.dli_fbase;
        dlclose(handle);
        // Unloaded, it is not answered from its index record.
        if (mddl_dladdr(function, &loaded) || mddl_imageNamed(library.soname.c_str(), false) != -1) _exit(6);

        std::atomic<bool> stop{false};
        std::atomic<long> cycles{0};
        std::thread loader([&] {
            while (!stop.load(std::memory_order_relaxed)) {
                void* again = dlopen(library.soname.c_str(), RTLD_NOW | RTLD_LOCAL);
                if (again != nullptr) dlclose(again);
                cycles.fetch_add(1, std::memory_order_relaxed);
            }
        });
        long queries = 0;
        const char* problem = nullptr;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (problem == nullptr && (std::chrono::steady_clock::now() < deadline || cycles.load() == 0)) {
            Dl_info info;
            (void)mddl_dladdr(function, &info);
            (void)mddl_dladdr(base, &info);
            (void)mddl_dladdr(function + 64, &info);
            if (!mddl_dladdr((uintptr_t)&getpid, &info) || (uintptr_t)info.dli_fbase != libc) {
                problem = "libc not found\n";
            }
            const uint32_t count = mddl_imageCount();
            if (count < baseCount || count > baseCount + 1) {
                problem = "image count out of range\n";
            }
            for (int i = 0; i <= (int)count; i++) {
                MDBinaryImage image;
                (void)mddl_binaryImage(i, &image);
            }
            (void)mddl_imageNamed(library.soname.c_str(), false);
            (void)mddl_imageUUID(library.soname.c_str(), false);
            queries++;
        }
        stop = true;
        loader.join();
        if (problem != nullptr) {
            put(problem);
            _exit(4);
        }
        put("cycles ");
        putHex((uint64_t)cycles.load());
        put(" queries ");
        putHex((uint64_t)queries);
        put("\n");
    });
    EXPECT_TRUE(end.exited) << "child ended by signal " << end.signal << (end.timedOut ? " (timed out)" : "");
    EXPECT_EQ(end.exitStatus, 0) << end.output;
    EXPECT_NE(end.output.find("cycles "), std::string::npos) << end.output;
}

TEST_F(ImageListRaces, ImageUnmappedWhileStillListedIsAbsent) {
    const SpareLibrary library = library_;
    const ChildEnd end = runInChild([library] {
        const uint32_t baseCount = mddl_imageCount();
        void* handle = dlopen(library.soname.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) _exit(2);
        mddl_initialize();
        const uintptr_t function = (uintptr_t)dlsym(handle, library.function);
        Span span{library.soname.c_str()};
        dl_iterate_phdr(findSpan, &span);
        if (function == 0 || span.start == 0 || mddl_imageCount() != baseCount + 1 ||
            mddl_imageNamed(library.soname.c_str(), false) < 0)
            _exit(3);

        // What a crash in the middle of dlclose leaves: the list says
        // "deleting", the segments are unmapped, the entry is still linked.
        struct r_debug* rendezvous = liveRendezvous();
        if (rendezvous == nullptr) _exit(4);
        rendezvous->r_state = r_debug::RT_DELETE;
        if (munmap((void*)span.start, span.end - span.start) != 0) _exit(5);

        Dl_info info;
        if (mddl_dladdr(function, &info)) put("unmapped function resolved\n");
        if (mddl_dladdr(span.start, &info)) put("unmapped header resolved\n");
        if (mddl_imageNamed(library.soname.c_str(), false) != -1) put("unmapped image found by name\n");
        if (mddl_imageUUID(library.soname.c_str(), false) != nullptr) put("unmapped image has a build id\n");
        const uint32_t count = mddl_imageCount();
        if (count != baseCount) put("unmapped image counted\n");
        for (int i = 0; i < (int)count; i++) {
            MDBinaryImage image;
            if (!mddl_binaryImage(i, &image)) {
                put("a present image is missing\n");
                continue;
            }
            // Everything handed out must still be readable.
            volatile size_t sum = image.name != nullptr ? std::strlen(image.name) : 0;
            for (int b = 0; image.uuid != nullptr && b < 16; b++) sum = sum + image.uuid[b];
            (void)sum;
            if (contains(image.name, library.soname.c_str()) || image.address == span.start)
                put("unmapped image listed\n");
        }
        if (!mddl_dladdr((uintptr_t)&getpid, &info) || !contains(info.dli_fname, "libc.so")) put("libc lost\n");
        put("done\n");
    });
    EXPECT_TRUE(end.exited) << "child ended by signal " << end.signal;
    EXPECT_EQ(end.exitStatus, 0);
    EXPECT_EQ(end.output, "done\n");
}

// ---- link maps that loop or run on ----

struct link_map* firstLinkMap() {
    struct r_debug* rendezvous = liveRendezvous();
    return rendezvous != nullptr ? rendezvous->r_map : nullptr;
}

struct link_map* lastLinkMap() {
    struct link_map* map = firstLinkMap();
    while (map != nullptr && map->l_next != nullptr) map = map->l_next;
    return map;
}

TEST_F(ImageListRaces, ASnapshotAnswersForItsReportOnItsThreadOnly) {
    const SpareLibrary library = library_;
    const ChildEnd end = runInChild([library] {
        const char* soname = library.soname.c_str();
        const uint32_t count = mddl_imageCount();
        std::vector<MDBinaryImage> before(count);
        for (uint32_t i = 0; i < count; i++)
            if (!mddl_binaryImage((int)i, &before[i])) _exit(2);
        Dl_info libc;
        if (!mddl_dladdr((uintptr_t)&getpid, &libc)) _exit(2);
        const int libcIndex = mddl_imageNamed("libc.so", false);

        if (mddl_snapshotGeneration() != 0) _exit(3);
        if (!mddl_beginSnapshot()) _exit(3);
        const uint32_t generation = mddl_snapshotGeneration();
        bool otherBegan = true;
        uint32_t otherGeneration = 1;
        std::thread([&] {
            otherBegan = mddl_beginSnapshot();
            otherGeneration = mddl_snapshotGeneration();
        }).join();
        if (otherBegan || otherGeneration != 0 || generation == 0) _exit(4);
        // The same answers as from the live list.
        if (mddl_imageCount() != count || mddl_imageNamed("libc.so", false) != libcIndex) _exit(5);
        for (uint32_t i = 0; i < count; i++) {
            MDBinaryImage image;
            if (!mddl_binaryImage((int)i, &image) || image.address != before[i].address ||
                image.size != before[i].size || strcmp(image.name, before[i].name) != 0)
                _exit(6);
        }
        MDBinaryImage past;
        if (mddl_binaryImage((int)count, &past)) _exit(6);
        Dl_info info;
        if (!mddl_dladdr((uintptr_t)&getpid, &info) || info.dli_fbase != libc.dli_fbase ||
            strcmp(info.dli_sname, libc.dli_sname) != 0)
            _exit(7);
        // An image loaded meanwhile is not in this report's list, but other
        // threads see the live one.
        void* handle = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) _exit(8);
        const uintptr_t function = (uintptr_t)dlsym(handle, library.function);
        if (mddl_imageNamed(soname, false) != -1 || mddl_dladdr(function, &info) || mddl_imageCount() != count) _exit(9);
        int elsewhere = -1;
        std::thread([&] { elsewhere = mddl_imageNamed(soname, false); }).join();
        if (elsewhere < 0) _exit(10);
        mddl_endSnapshot();
        if (mddl_imageNamed(soname, false) != elsewhere || !mddl_dladdr(function, &info)) _exit(11);
        if (mddl_snapshotGeneration() != 0) _exit(11);
        dlclose(handle);

        // Taken while the loader changes the list, the copy is not used.
        struct r_debug* rendezvous = liveRendezvous();
        if (rendezvous == nullptr) _exit(12);
        rendezvous->r_state = r_debug::RT_ADD;
        const bool began = mddl_beginSnapshot();
        rendezvous->r_state = r_debug::RT_CONSISTENT;
        // Not a usable copy: no number, so nothing is taken as checked in it.
        if (!began || mddl_snapshotGeneration() != 0) _exit(12);
        handle = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr || mddl_imageNamed(soname, false) < 0) _exit(13);
        mddl_endSnapshot();
        dlclose(handle);
        put("ok\n");
    });
    EXPECT_TRUE(end.exited) << "child ended by signal " << end.signal;
    EXPECT_EQ(end.exitStatus, 0) << end.output;
    EXPECT_EQ(end.output, "ok\n");
}

TEST(BrokenLinkMap, CycleEndsTheWalkWithEveryImageOnce) {
    const ChildEnd end = runInChild([] {
        const uint32_t count = mddl_imageCount();
        struct link_map* last = lastLinkMap();
        if (last == nullptr || count < 3) _exit(2);
        last->l_next = firstLinkMap()->l_next;  // back to the second entry
        if (mddl_imageCount() != count) put("cycle changed the count\n");
        MDBinaryImage image;
        if (mddl_binaryImage((int)count, &image)) put("an entry past the cycle\n");
        if (mddl_imageNamed("no-such-image-anywhere", false) != -1) put("found a missing image\n");
        std::vector<char> heap(64);
        Dl_info info;
        if (mddl_dladdr((uintptr_t)heap.data(), &info)) put("heap address resolved\n");
        if (!mddl_dladdr((uintptr_t)&getpid, &info)) put("libc lost\n");
        put("done\n");
    });
    EXPECT_TRUE(end.exited) << "signal " << end.signal << (end.timedOut ? " (timed out)" : "");
    EXPECT_EQ(end.output, "done\n");
}

TEST(BrokenLinkMap, OverlongListIsCutAndBadLinksEndIt) {
    const ChildEnd end = runInChild([] {
        const uint32_t count = mddl_imageCount();
        struct link_map* last = lastLinkMap();
        if (last == nullptr || count < 3) _exit(2);

        // An unreadable next entry ends the list.
        last->l_next = (struct link_map*)0x10;
        if (mddl_imageCount() != count) put("unreadable entry changed the count\n");
        Dl_info info;
        std::vector<char> heap(64);
        if (mddl_dladdr((uintptr_t)heap.data(), &info)) put("heap address resolved\n");

        // Far more entries than a walk visits, each a real image (copies of
        // libc's record).
        struct link_map* libc = firstLinkMap();
        while (libc != nullptr && !contains(libc->l_name, "libc.so")) libc = libc->l_next;
        if (libc == nullptr) _exit(3);
        static struct link_map copies[MDDL_MAX_IMAGES * 2];
        for (int i = 0; i < MDDL_MAX_IMAGES * 2; i++) {
            copies[i] = *libc;
            copies[i].l_next = i + 1 < MDDL_MAX_IMAGES * 2 ? &copies[i + 1] : nullptr;
            copies[i].l_prev = i > 0 ? &copies[i - 1] : last;
        }
        last->l_next = &copies[0];
        if (mddl_imageCount() != MDDL_MAX_IMAGES) put("overlong list not cut at the maximum\n");
        MDBinaryImage image;
        if (!mddl_binaryImage(MDDL_MAX_IMAGES - 1, &image)) put("last visited entry missing\n");
        if (mddl_binaryImage(MDDL_MAX_IMAGES, &image)) put("entry past the maximum\n");
        if (mddl_dladdr((uintptr_t)heap.data(), &info)) put("heap address resolved\n");
        put("done\n");
    });
    EXPECT_TRUE(end.exited) << "signal " << end.signal << (end.timedOut ? " (timed out)" : "");
    EXPECT_EQ(end.output, "done\n");
}

}  // namespace
