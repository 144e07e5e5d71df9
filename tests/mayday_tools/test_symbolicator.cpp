// Symbolication of stack entries and the per-report answer cache: cached
// answers equal uncached ones, only the thread holding the cache uses it,
// and a new report does not see the answers of the one before.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <link.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "DeliberateFault.h"
#include "Mayday/Recording/Tools/MDDynamicLinker.h"
#include "Mayday/Recording/Tools/MDSymbolicator.h"

namespace {

struct Answer {
    bool found;
    const char* imageName;
    uintptr_t imageAddress;
    const char* symbolName;
    uintptr_t symbolAddress;
    bool operator==(const Answer&) const = default;
};

Answer symbolicate(uintptr_t address, bool isInstructionAddress) {
    MDStackCursor cursor;
    memset(&cursor, 0, sizeof(cursor));
    cursor.stackEntry.address = address;
    cursor.stackEntry.isInstructionAddress = isInstructionAddress;
    cursor.stackEntry.imageName = "stale";  // every field is written
    cursor.stackEntry.symbolName = "stale";
    const bool found = mdsymbolicator_symbolicate(&cursor);
    return {found, cursor.stackEntry.imageName, cursor.stackEntry.imageAddress, cursor.stackEntry.symbolName,
            cursor.stackEntry.symbolAddress};
}

// Return addresses inside functions of the test program, libc and libstdc++,
// their first bytes, and addresses in no image.
std::vector<uintptr_t> sampleAddresses() {
    std::vector<uintptr_t> addresses;
    void* (*const allocate)(size_t) = &::operator new;
    const void* functions[] = {(const void*)&symbolicate, (const void*)&malloc, (const void*)&write,
                               (const void*)&std::this_thread::yield, (const void*)allocate};
    for (const void* function : functions) {
        const uintptr_t start = (uintptr_t)function;
        for (uintptr_t offset : {0, 1, 5, 17, 64}) addresses.push_back(start + offset);
    }
    addresses.push_back(0);
    addresses.push_back(1);
    addresses.push_back((uintptr_t)-4096);
    return addresses;
}

class SymbolicatorTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { mddl_initialize(); }
};

TEST_F(SymbolicatorTest, CachedAnswersEqualUncachedOnesTwiceOver) {
    const std::vector<uintptr_t> addresses = sampleAddresses();
    std::vector<Answer> uncached;
    for (uintptr_t address : addresses)
        for (bool instruction : {false, true}) uncached.push_back(symbolicate(address, instruction));
    EXPECT_TRUE(uncached[0].found);
    EXPECT_FALSE(uncached[uncached.size() - 1].found);
    ASSERT_TRUE(mdsymbolicator_beginCaching());
    for (int pass = 0; pass < 2; pass++) {  // the second pass answers from the cache
        size_t i = 0;
        for (uintptr_t address : addresses)
            for (bool instruction : {false, true}) {
                EXPECT_EQ(symbolicate(address, instruction), uncached[i]) << pass << " " << std::hex << address;
                i++;
            }
    }
    mdsymbolicator_endCaching();
}

TEST_F(SymbolicatorTest, MoreAddressesThanTheCacheHoldsStillAnswer) {
    const uintptr_t start = (uintptr_t)&malloc;
    ASSERT_TRUE(mdsymbolicator_beginCaching());
    for (uintptr_t offset = 0; offset < 3000; offset++) {
        const Answer answer = symbolicate(start + offset, true);
        ASSERT_TRUE(answer.found) << offset;
        ASSERT_LE(answer.symbolAddress, start + offset);
    }
    EXPECT_EQ(symbolicate(start, true).symbolAddress, start);
    mdsymbolicator_endCaching();
}

TEST_F(SymbolicatorTest, OnlyOneThreadCachesAtATime) {
    ASSERT_TRUE(mdsymbolicator_beginCaching());
    bool otherGotIt = true;
    std::thread([&] { otherGotIt = mdsymbolicator_beginCaching(); }).join();
    EXPECT_FALSE(otherGotIt);
    mdsymbolicator_endCaching();
    std::thread([&] {
        otherGotIt = mdsymbolicator_beginCaching();
        if (otherGotIt) mdsymbolicator_endCaching();
    }).join();
    EXPECT_TRUE(otherGotIt);
}

// An address in the text of a library loaded for the test only.
uintptr_t textAddressOf(const char* libraryName) {
    struct Search {
        const char* name;
        uintptr_t address;
    } search = {libraryName, 0};
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* context) {
            Search* s = static_cast<Search*>(context);
            if (info->dlpi_name == nullptr || strstr(info->dlpi_name, s->name) == nullptr) return 0;
            for (int i = 0; i < info->dlpi_phnum; i++)
                if (info->dlpi_phdr[i].p_type == PT_LOAD && (info->dlpi_phdr[i].p_flags & PF_X))
                    s->address = info->dlpi_addr + info->dlpi_phdr[i].p_vaddr + 16;
            return s->address != 0 ? 1 : 0;
        },
        &search);
    return search.address;
}

TEST_F(SymbolicatorTest, AnswersOfAnEarlierReportAndOfTheHolderAreNotUsedForGoneImages) {
    void* library = dlopen("libanl.so.1", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) GTEST_SKIP() << "no libanl.so.1";
    const uintptr_t address = textAddressOf("libanl.so.1");
    ASSERT_NE(address, 0u);
    ASSERT_TRUE(mdsymbolicator_beginCaching());
    const Answer whileLoaded = symbolicate(address, true);
    ASSERT_TRUE(whileLoaded.found);
    EXPECT_NE(std::string(whileLoaded.imageName).find("libanl"), std::string::npos);
    ASSERT_EQ(dlclose(library), 0);
    if (textAddressOf("libanl.so.1") != 0) {
        mdsymbolicator_endCaching();
        GTEST_SKIP() << "libanl.so.1 stays loaded";
    }
    // The holder keeps its answer for the span of its report; any other
    // thread looks up afresh.
    EXPECT_EQ(symbolicate(address, true), whileLoaded);
    Answer elsewhere{};
    std::thread([&] { elsewhere = symbolicate(address, true); }).join();
    EXPECT_FALSE(elsewhere.found);
    mdsymbolicator_endCaching();
    // The next report starts empty.
    ASSERT_TRUE(mdsymbolicator_beginCaching());
    EXPECT_FALSE(symbolicate(address, true).found);
    mdsymbolicator_endCaching();
}

// A fault's handler caches as the report writer does and checks its answers
// against uncached ones; the child ends with 0 when they all agree.
uintptr_t g_faultChecks[4];

void checkingHandler(int, siginfo_t*, void*) {
    Answer uncached[4];
    for (int i = 0; i < 4; i++) uncached[i] = symbolicate(g_faultChecks[i], false);
    if (!mdsymbolicator_beginCaching()) _exit(2);
    for (int pass = 0; pass < 2; pass++)
        for (int i = 0; i < 4; i++)
            if (!(symbolicate(g_faultChecks[i], false) == uncached[i])) _exit(3);
    mdsymbolicator_endCaching();
    _exit(uncached[0].found ? 0 : 4);
}

TEST_F(SymbolicatorTest, CachingInsideAFaultHandler) {
    g_faultChecks[0] = (uintptr_t)&symbolicate + 9;
    g_faultChecks[1] = (uintptr_t)&malloc + 3;
    g_faultChecks[2] = (uintptr_t)&checkingHandler + 12;
    g_faultChecks[3] = 8;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        struct sigaction action;
        memset(&action, 0, sizeof(action));
        action.sa_sigaction = checkingHandler;
        action.sa_flags = SA_SIGINFO;
        sigaction(SIGSEGV, &action, nullptr);
        zeltest::readAddress(0);
        _exit(5);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
