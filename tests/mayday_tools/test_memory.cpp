// Safe memory reads (both kernel paths) and the string scanners.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "Mayday/Recording/Tools/MDMemory.h"
#include "Mayday/Recording/Tools/MDString.h"

namespace {

// Two pages; the second is made unreadable by the test.
class TwoPages {
public:
    TwoPages() {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        void* p = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base_ = p == MAP_FAILED ? nullptr : static_cast<unsigned char*>(p);
        if (base_) {
            for (size_t i = 0; i < 2 * page_; i++) base_[i] = static_cast<unsigned char>(i * 7 + 3);
        }
    }
    ~TwoPages() {
        if (!base_) return;
        munmap(base_, secondMapped_ ? 2 * page_ : page_);
    }
    TwoPages(const TwoPages&) = delete;
    TwoPages& operator=(const TwoPages&) = delete;

    void unmapSecond() {
        munmap(base_ + page_, page_);
        secondMapped_ = false;
    }
    void protectSecond() { mprotect(base_ + page_, page_, PROT_NONE); }
    unsigned char* base() const { return base_; }
    size_t page() const { return page_; }

private:
    unsigned char* base_ = nullptr;
    size_t page_ = 0;
    bool secondMapped_ = true;
};

// Runs every case once on process_vm_readv and once through the pipe.
class SafeMemory : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { mdmem_testing_forcePipeFallback(GetParam()); }
    void TearDown() override { mdmem_testing_forcePipeFallback(false); }
};

TEST_P(SafeMemory, ReadableMemoryCopiesExactly) {
    std::vector<unsigned char> source(30000);
    for (size_t i = 0; i < source.size(); i++) source[i] = static_cast<unsigned char>(i % 251);
    std::vector<unsigned char> copy(source.size(), 0);

    // Larger than the scratch buffer and the pipe piece, so both chunk.
    EXPECT_TRUE(mdmem_isMemoryReadable(source.data(), static_cast<int>(source.size())));
    ASSERT_TRUE(mdmem_copySafely(source.data(), copy.data(), static_cast<int>(source.size())));
    EXPECT_EQ(source, copy);
    EXPECT_EQ(GetParam(), mdmem_testing_usesPipeFallback());
}

TEST_P(SafeMemory, CountsOfZeroOrLess) {
    int value = 5;
    int copy = 0;
    EXPECT_TRUE(mdmem_isMemoryReadable(&value, 0));
    EXPECT_TRUE(mdmem_isMemoryReadable(nullptr, -3));
    EXPECT_FALSE(mdmem_copySafely(&value, &copy, 0));
    EXPECT_EQ(0, mdmem_copyMaxPossible(&value, &copy, 0));
    EXPECT_EQ(0, copy);
}

TEST_P(SafeMemory, UnmappedAndProtectedMemoryFailsWithoutFaulting) {
    char buffer[64];
    EXPECT_FALSE(mdmem_isMemoryReadable(nullptr, 1));
    EXPECT_FALSE(mdmem_copySafely(nullptr, buffer, 8));
    EXPECT_FALSE(mdmem_copySafely(reinterpret_cast<void*>(0x10), buffer, 8));
    EXPECT_EQ(0, mdmem_copyMaxPossible(nullptr, buffer, 8));

    TwoPages unmapped;
    ASSERT_NE(nullptr, unmapped.base());
    unmapped.unmapSecond();
    unsigned char* gone = unmapped.base() + unmapped.page();
    EXPECT_FALSE(mdmem_isMemoryReadable(gone, 16));
    EXPECT_FALSE(mdmem_copySafely(gone, buffer, 16));
    // A range that starts readable and runs into the hole is not readable.
    EXPECT_FALSE(mdmem_isMemoryReadable(gone - 8, 16));
    EXPECT_FALSE(mdmem_copySafely(gone - 8, buffer, 16));
    EXPECT_TRUE(mdmem_copySafely(gone - 8, buffer, 8));
    EXPECT_EQ(0, memcmp(buffer, gone - 8, 8));

    TwoPages guarded;
    ASSERT_NE(nullptr, guarded.base());
    guarded.protectSecond();
    unsigned char* locked = guarded.base() + guarded.page();
    EXPECT_FALSE(mdmem_isMemoryReadable(locked, 1));
    EXPECT_FALSE(mdmem_copySafely(locked, buffer, 4));
    EXPECT_FALSE(mdmem_isMemoryReadable(guarded.base(), static_cast<int>(2 * guarded.page())));
    EXPECT_TRUE(mdmem_isMemoryReadable(guarded.base(), static_cast<int>(guarded.page())));
}

TEST_P(SafeMemory, BoundedCopyStopsAtTheHole) {
    TwoPages unmapped;
    ASSERT_NE(nullptr, unmapped.base());
    unmapped.unmapSecond();
    const int page = static_cast<int>(unmapped.page());
    std::vector<unsigned char> copy(2 * page, 0);
    EXPECT_EQ(page, mdmem_copyMaxPossible(unmapped.base(), copy.data(), 2 * page));
    EXPECT_EQ(0, memcmp(copy.data(), unmapped.base(), page));
    EXPECT_EQ(0, copy[page]);

    TwoPages guarded;
    ASSERT_NE(nullptr, guarded.base());
    guarded.protectSecond();
    std::fill(copy.begin(), copy.end(), 0);
    EXPECT_EQ(page, mdmem_copyMaxPossible(guarded.base(), copy.data(), 2 * page));
    EXPECT_EQ(0, memcmp(copy.data(), guarded.base(), page));

    // Fully readable ranges copy whole; a count of 1 copies the one byte.
    unsigned char one = 0;
    EXPECT_EQ(1, mdmem_copyMaxPossible(guarded.base() + 5, &one, 1));
    EXPECT_EQ(guarded.base()[5], one);
    EXPECT_EQ(100, mdmem_copyMaxPossible(guarded.base(), copy.data(), 100));
}

TEST_P(SafeMemory, FailedPipeCopyLeavesNothingBehind) {
    // After a refused copy the next one must see its own bytes, not leftovers.
    TwoPages unmapped;
    ASSERT_NE(nullptr, unmapped.base());
    unmapped.unmapSecond();
    std::vector<unsigned char> copy(unmapped.page() * 2);
    EXPECT_FALSE(mdmem_copySafely(unmapped.base() + 100, copy.data(), static_cast<int>(unmapped.page())));
    const char text[] = "fresh bytes";
    char out[sizeof(text)] = {};
    ASSERT_TRUE(mdmem_copySafely(text, out, sizeof(text)));
    EXPECT_STREQ(text, out);
}

TEST_P(SafeMemory, PiecesCopyTogetherOrNotAtAll) {
    TwoPages pages;
    ASSERT_NE(pages.base(), nullptr);
    const uintptr_t base = reinterpret_cast<uintptr_t>(pages.base());
    uintptr_t at[3] = {base + 8, base + pages.page() + 100, base + 40};
    uint32_t out[3] = {};
    ASSERT_TRUE(mdmem_copyPieces(at, 3, 4, out));
    for (int i = 0; i < 3; i++) {
        uint32_t expected;
        memcpy(&expected, reinterpret_cast<const void*>(at[i]), 4);
        EXPECT_EQ(out[i], expected) << i;
    }
    pages.unmapSecond();
    EXPECT_FALSE(mdmem_copyPieces(at, 3, 4, out));
    EXPECT_FALSE(mdmem_copyPieces(at, 0, 4, out));
    EXPECT_FALSE(mdmem_copyPieces(at, MDMEM_MAX_PIECES + 1, 4, out));
}

TEST_P(SafeMemory, EachPieceCopiesAsFarAsItReads) {
    // More pieces than one kernel call takes; some run into a hole, some
    // start in it, one wraps around the end of memory.
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* p = mmap(nullptr, 5 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(p, MAP_FAILED);
    unsigned char* base = static_cast<unsigned char*>(p);
    for (size_t i = 0; i < 4 * page; i++) base[i] = static_cast<unsigned char>(i * 7 + 3);
    ASSERT_EQ(0, mprotect(base + 2 * page, page, PROT_NONE));
    ASSERT_EQ(0, mprotect(base + 4 * page, page, PROT_NONE));
    constexpr int kPieces = MDMEM_MAX_PIECES + 10;
    constexpr int kSize = 512;
    std::vector<uintptr_t> at(kPieces);
    std::vector<int> expected(kPieces);
    for (int i = 0; i < kPieces; i++) {
        at[i] = reinterpret_cast<uintptr_t>(base) + (size_t)(i % 5) * 64;  // whole
        expected[i] = kSize;
    }
    at[3] = reinterpret_cast<uintptr_t>(base + 2 * page - 100);  // into the hole: 100 bytes
    expected[3] = 100;
    at[4] = reinterpret_cast<uintptr_t>(base + 2 * page + 8);  // in it: nothing
    expected[4] = 0;
    at[MDMEM_MAX_PIECES + 2] = reinterpret_cast<uintptr_t>(base + 4 * page - 200);  // into the last page
    expected[MDMEM_MAX_PIECES + 2] = 200;
    at[kPieces - 1] = UINTPTR_MAX - 10;  // wraps: nothing there to read
    expected[kPieces - 1] = 0;
    std::vector<unsigned char> out((size_t)kPieces * kSize, 0xee);
    std::vector<int> lengths(kPieces, -1);
    mdmem_copyEachMaxPossible(at.data(), kPieces, kSize, out.data(), lengths.data());
    for (int i = 0; i < kPieces; i++) {
        EXPECT_EQ(lengths[i], expected[i]) << i;
        if (lengths[i] > 0) {
            EXPECT_EQ(0, memcmp(out.data() + (size_t)i * kSize, reinterpret_cast<const void*>(at[i]), (size_t)lengths[i]))
                << i;
        }
    }
    munmap(base, 5 * page);
}

TEST_P(SafeMemory, BoundedCopyOfManyPagesStopsAtAHoleFarIn) {
    // More pages than one kernel call asks for, with a hole after 70 of them.
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t pages = 80;
    void* p = mmap(nullptr, pages * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(p, MAP_FAILED);
    unsigned char* base = static_cast<unsigned char*>(p);
    for (size_t i = 0; i < pages * page; i++) base[i] = static_cast<unsigned char>(i * 13 + 1);
    ASSERT_EQ(0, mprotect(base + 70 * page, page, PROT_NONE));
    std::vector<unsigned char> copy(pages * page);
    EXPECT_EQ(static_cast<int>(70 * page - 3), mdmem_copyMaxPossible(base + 3, copy.data(), static_cast<int>(copy.size())));
    EXPECT_EQ(0, memcmp(copy.data(), base + 3, 70 * page - 3));
    munmap(base, pages * page);
}

INSTANTIATE_TEST_SUITE_P(BothPaths, SafeMemory, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("Pipe") : std::string("ProcessVM");
                         });

// Where the kernel refuses process_vm_readv (as under a seccomp filter), the
// first copy switches to the pipe for good and the answers stay the same.
[[noreturn]] void copyUnderSeccompFilter() {
    mdmem_testing_forcePipeFallback(false);
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_process_vm_readv, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog program = {static_cast<unsigned short>(sizeof(filter) / sizeof(filter[0])), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) _exit(10);
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) _exit(11);

    const char text[] = "through the pipe";
    char out[sizeof(text)] = {};
    if (!mdmem_copySafely(text, out, sizeof(text)) || strcmp(text, out) != 0) _exit(1);
    if (!mdmem_testing_usesPipeFallback()) _exit(2);
    if (mdmem_copySafely(nullptr, out, 4)) _exit(3);
    TwoPages pages;
    if (!pages.base()) _exit(12);
    pages.unmapSecond();
    std::vector<unsigned char> copy(2 * pages.page());
    if (mdmem_copyMaxPossible(pages.base(), copy.data(), static_cast<int>(copy.size())) !=
        static_cast<int>(pages.page()))
        _exit(4);
    _exit(mdmem_testing_usesPipeFallback() ? 0 : 5);
}

TEST(SafeMemoryFallbackDeathTest, RefusedKernelCallFallsBackToThePipe) {
    EXPECT_EXIT(copyUnderSeccompFilter(), ::testing::ExitedWithCode(0), "");
}

// The pid the copies name is read once; a forked child must not go on
// naming its parent: it copies memory only it has.
TEST(SafeMemoryFork, AForkedChildCopiesItsOwnMemory) {
    int value = 1;
    int copy = 0;
    ASSERT_TRUE(mdmem_copySafely(&value, &copy, sizeof value));
    ASSERT_EQ(mdmem_testing_cachedPid(), static_cast<long>(getpid()));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (mdmem_testing_cachedPid() != 0) _exit(1);
        value = 2;  // the parent's stays 1
        void* page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (page == MAP_FAILED) _exit(2);
        static_cast<char*>(page)[0] = 'c';
        char got = 0;
        if (!mdmem_copySafely(&value, &copy, sizeof value) || copy != 2) _exit(3);
        if (!mdmem_copySafely(page, &got, 1) || got != 'c') _exit(4);
        _exit(mdmem_testing_cachedPid() == static_cast<long>(getpid()) ? 0 : 5);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(MDString, NullTerminatedUTF8MinimumLength) {
    EXPECT_FALSE(mdstring_isNullTerminatedUTF8String("abc", 4, 500));
    EXPECT_TRUE(mdstring_isNullTerminatedUTF8String("abcd", 4, 500));
    EXPECT_TRUE(mdstring_isNullTerminatedUTF8String("", 0, 10));
}

TEST(MDString, NullTerminatedUTF8CharacterRules) {
    EXPECT_TRUE(mdstring_isNullTerminatedUTF8String("tab\there\nline\r\x7f", 1, 100));
    EXPECT_FALSE(mdstring_isNullTerminatedUTF8String("bell\x07here", 1, 100));
    EXPECT_TRUE(mdstring_isNullTerminatedUTF8String("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", 1, 100));
    // A continuation byte without a lead, an invalid lead, a broken sequence.
    EXPECT_FALSE(mdstring_isNullTerminatedUTF8String("ab\x80\x80", 1, 100));
    EXPECT_FALSE(mdstring_isNullTerminatedUTF8String("ab\xfe\x80", 1, 100));
    EXPECT_FALSE(mdstring_isNullTerminatedUTF8String("ab\xff", 1, 100));
    EXPECT_FALSE(mdstring_isNullTerminatedUTF8String("ab\xe2\x82x", 1, 100));
    // Five- and six-byte forms are still accepted.
    EXPECT_TRUE(mdstring_isNullTerminatedUTF8String("\xf8\x88\x80\x80\x80", 1, 100));
    EXPECT_TRUE(mdstring_isNullTerminatedUTF8String("\xfc\x84\x80\x80\x80\x80", 1, 100));
}

TEST(MDString, NullTerminatedUTF8MaximumLength) {
    const char text[] = "abcdefgh";
    EXPECT_FALSE(mdstring_isNullTerminatedUTF8String(text, 1, 8));  // terminator is the 9th byte
    EXPECT_TRUE(mdstring_isNullTerminatedUTF8String(text, 1, 9));
    // A sequence that would end at or past the maximum fails.
    const char multi[] = "ab\xe2\x82\xac";
    EXPECT_FALSE(mdstring_isNullTerminatedUTF8String(multi, 1, 4));
    EXPECT_FALSE(mdstring_isNullTerminatedUTF8String(multi, 1, 5));
    EXPECT_TRUE(mdstring_isNullTerminatedUTF8String(multi, 1, 6));
    EXPECT_FALSE(mdstring_isNullTerminatedUTF8String(multi, 1, 0));
}

TEST(MDString, ExtractHexValue) {
    uint64_t value = 0;
    const char skip[] = "bad 0xZZ then 0x1F end";
    EXPECT_TRUE(mdstring_extractHexValue(skip, static_cast<int>(strlen(skip)), &value));
    EXPECT_EQ(0x1Fu, value);

    const char mixed[] = "*** at address 0xDeadBEEF01: gone";
    EXPECT_TRUE(mdstring_extractHexValue(mixed, static_cast<int>(strlen(mixed)), &value));
    EXPECT_EQ(0xDEADBEEF01u, value);

    // Digits run to the end of the given length, not of the C string.
    const char cut[] = "0x12345";
    EXPECT_TRUE(mdstring_extractHexValue(cut, 4, &value));
    EXPECT_EQ(0x12u, value);

    value = 77;
    const char none[] = "no number 0x here, 0xg and 0X12";
    EXPECT_FALSE(mdstring_extractHexValue(none, static_cast<int>(strlen(none)), &value));
    EXPECT_FALSE(mdstring_extractHexValue("0x", 2, &value));
    EXPECT_FALSE(mdstring_extractHexValue("0x1", 2, &value));
    EXPECT_FALSE(mdstring_extractHexValue("", 0, &value));
    EXPECT_EQ(77u, value);
}

}  // namespace
