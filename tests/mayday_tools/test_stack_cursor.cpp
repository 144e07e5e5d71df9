// Stack cursors: the backtrace cursor's end rules, the own-thread capture, the
// frame-pointer walk of a machine context and how entries are symbolicated.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "CrashChild.h"
#include "DeliberateFault.h"

#include "Mayday/Recording/Tools/MDDynamicLinker.h"
#include "Mayday/Recording/Tools/MDMachineContext.h"
#include "Mayday/Recording/Tools/MDStackCursor.h"
#include "Mayday/Recording/Tools/MDSymbolicator.h"

// Not exported and not inlined: their names can only come from the full
// symbol table. The empty asm after each call keeps the call a real call.
extern "C" {
static __attribute__((noinline)) void i3_levelC(MDStackCursor* cursor) {
    mdsc_initSelfThread(cursor, 0);
    __asm__ volatile("" ::: "memory");
}
static __attribute__((noinline)) void i3_levelB(MDStackCursor* cursor) {
    i3_levelC(cursor);
    __asm__ volatile("" ::: "memory");
}
static __attribute__((noinline)) void i3_levelA(MDStackCursor* cursor) {
    i3_levelB(cursor);
    __asm__ volatile("" ::: "memory");
}

// Two functions laid out one after the other, for the minus-one rule.
static __attribute__((noinline, aligned(16))) int i3_firstNeighbour(int x) {
    __asm__ volatile("" ::: "memory");
    return x * 3 + 1;
}
static __attribute__((noinline, aligned(16))) int i3_secondNeighbour(int x) {
    __asm__ volatile("" ::: "memory");
    return x * 5 + 2;
}

// A real frame-pointer chain: a walk from inside i3_fpC, whose frame is still
// live, passes through i3_fpB and i3_fpA.
static __attribute__((noinline, optimize("no-omit-frame-pointer"))) void i3_fpC(MDStackCursor* cursor,
                                                                                std::vector<std::string>* names) {
    MDMachineContext context;
    std::memset(&context, 0, sizeof context);
    context.machineState.threadState.rip = (uintptr_t)&i3_fpC;
    context.machineState.threadState.rbp = (uintptr_t)__builtin_frame_address(0);
    mdsc_initWithMachineContext(cursor, 10, &context);
    for (int i = 0; i < 3 && cursor->advanceCursor(cursor); i++) {
        const bool found = cursor->symbolicate(cursor) && cursor->stackEntry.symbolName != nullptr;
        names->push_back(found ? cursor->stackEntry.symbolName : "");
    }
    __asm__ volatile("" ::: "memory");
}
static __attribute__((noinline, optimize("no-omit-frame-pointer"))) void i3_fpB(MDStackCursor* cursor,
                                                                                std::vector<std::string>* names) {
    i3_fpC(cursor, names);
    __asm__ volatile("" ::: "memory");
}
static __attribute__((noinline, optimize("no-omit-frame-pointer"))) void i3_fpA(MDStackCursor* cursor,
                                                                                std::vector<std::string>* names) {
    i3_fpB(cursor, names);
    __asm__ volatile("" ::: "memory");
}

// A crash in a child: the signal handler walks the crashed thread's stack
// from the signal context and prints the names it finds.
static void i3_writeText(const char* text) {
    size_t length = 0;
    while (text[length] != '\0') {
        length++;
    }
    ssize_t ignored = write(STDERR_FILENO, text, length);
    (void)ignored;
}

static void i3_crashHandler(int, siginfo_t*, void* userContext) {
    MDMC_NEW_CONTEXT(context);
    mdmc_fillContextForSignal(userContext, context);
    MDStackCursor cursor;
    mdsc_initWithMachineContext(&cursor, 100, context);
    for (int i = 0; i < 2 && cursor.advanceCursor(&cursor); i++) {
        if (cursor.symbolicate(&cursor) && cursor.stackEntry.symbolName != nullptr) {
            i3_writeText(cursor.stackEntry.symbolName);
        }
        i3_writeText(i == 0 ? (cursor.stackEntry.isInstructionAddress ? " [instruction] " : " [return] ") : "\n");
    }
    _exit(0);
}

static __attribute__((noinline)) void i3_nothing(void) {
    __asm__ volatile("" ::: "memory");
}
// Not a leaf (a leaf gets no frame record of its own even with frame pointers on).
static __attribute__((noinline, optimize("no-omit-frame-pointer"))) void i3_crashingFunction(void) {
    i3_nothing();
    zeltest::writeAddress(0, 1);
    __asm__ volatile("" ::: "memory");
}
static __attribute__((noinline, optimize("no-omit-frame-pointer"))) void i3_crashCaller(void) {
    i3_crashingFunction();
    __asm__ volatile("" ::: "memory");
}

// abort() in a child: the SIGABRT handler walks the crashed thread from
// inside glibc (which keeps no frame pointers) and reports every entry.
static void i3_abortHandler(int, siginfo_t*, void* userContext) {
    MDMC_NEW_CONTEXT(context);
    mdmc_fillContextForSignal(userContext, context);
    MDStackCursor cursor;
    mdsc_initWithMachineContext(&cursor, 100, context);
    while (cursor.advanceCursor(&cursor)) {
        zeltest::putHex(cursor.stackEntry.address);
        zeltest::put(" ");
        const bool found = cursor.symbolicate(&cursor);
        if (found && cursor.stackEntry.imageName != nullptr) zeltest::put(cursor.stackEntry.imageName);
        zeltest::put("|");
        if (found && cursor.stackEntry.symbolName != nullptr) zeltest::put(cursor.stackEntry.symbolName);
        zeltest::put("\n");
    }
    zeltest::put(cursor.hasGivenUp ? "given up 1\n" : "given up 0\n");
    _exit(0);
}
static __attribute__((noinline, optimize("no-omit-frame-pointer"))) void i3_abortingFunction(void) {
    i3_nothing();
    abort();
}
static void i3_abortAndWalk(void) {
    mddl_initialize();
    static char alternateStack[64 * 1024];
    stack_t stackInfo{};
    stackInfo.ss_sp = alternateStack;
    stackInfo.ss_size = sizeof alternateStack;
    sigaltstack(&stackInfo, nullptr);
    struct sigaction action{};
    action.sa_sigaction = i3_abortHandler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigaction(SIGABRT, &action, nullptr);
    i3_abortingFunction();
    _exit(3);
}

static void i3_crashAndWalk(void) {
    mddl_initialize();
    static char alternateStack[64 * 1024];
    stack_t stackInfo{};
    stackInfo.ss_sp = alternateStack;
    stackInfo.ss_size = sizeof alternateStack;
    sigaltstack(&stackInfo, nullptr);
    struct sigaction action{};
    action.sa_sigaction = i3_crashHandler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigaction(SIGSEGV, &action, nullptr);
    i3_crashCaller();
    _exit(3);
}
}

namespace {

std::vector<uintptr_t> walk(MDStackCursor* cursor) {
    std::vector<uintptr_t> addresses;
    while (cursor->advanceCursor(cursor)) {
        addresses.push_back(cursor->stackEntry.address);
        if (addresses.size() > 1000) {
            break;
        }
    }
    return addresses;
}

std::string symbolOf(MDStackCursor* cursor) {
    if (!cursor->symbolicate(cursor) || cursor->stackEntry.symbolName == nullptr) {
        return "";
    }
    return cursor->stackEntry.symbolName;
}

class StackCursorTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { mddl_initialize(); }
};

TEST_F(StackCursorTest, BacktraceCursorStopsAtZeroOrOneAndHonoursSkip) {
    const uintptr_t array[] = {0x1000, 0x2000, 1, 0x3000};
    MDStackCursor cursor;

    mdsc_initWithBacktrace(&cursor, array, 4, 0);
    EXPECT_EQ(walk(&cursor), (std::vector<uintptr_t>{0x1000, 0x2000}));
    EXPECT_EQ(cursor.currentDepth, 2);
    EXPECT_FALSE(cursor.hasGivenUp);

    mdsc_initWithBacktrace(&cursor, array, 4, 1);
    EXPECT_EQ(walk(&cursor), (std::vector<uintptr_t>{0x2000}));

    const uintptr_t withZero[] = {0x1000, 0, 0x3000};
    mdsc_initWithBacktrace(&cursor, withZero, 3, 0);
    EXPECT_EQ(walk(&cursor), (std::vector<uintptr_t>{0x1000}));

    // Skipping everything, or more than everything, yields nothing.
    mdsc_initWithBacktrace(&cursor, array, 2, 2);
    EXPECT_TRUE(walk(&cursor).empty());
    mdsc_initWithBacktrace(&cursor, array, 2, 5);
    EXPECT_TRUE(walk(&cursor).empty());
    mdsc_initWithBacktrace(&cursor, nullptr, 4, 0);
    EXPECT_TRUE(walk(&cursor).empty());
}

TEST_F(StackCursorTest, ResetWalksTheSameEntriesAgainAndClearsTheEntry) {
    const uintptr_t array[] = {0x10, 0x20, 0x30};
    MDStackCursor cursor;
    mdsc_initWithBacktrace(&cursor, array, 3, 0);
    const auto first = walk(&cursor);
    cursor.stackEntry.symbolName = "stale";
    cursor.stackEntry.imageAddress = 7;
    cursor.hasGivenUp = true;
    cursor.resetCursor(&cursor);
    EXPECT_EQ(cursor.currentDepth, 0);
    EXPECT_FALSE(cursor.hasGivenUp);
    EXPECT_EQ(cursor.stackEntry.address, 0u);
    EXPECT_EQ(cursor.stackEntry.symbolName, nullptr);
    EXPECT_EQ(cursor.stackEntry.imageAddress, 0u);
    EXPECT_EQ(walk(&cursor), first);
    EXPECT_EQ(first.size(), 3u);
}

TEST_F(StackCursorTest, DefaultOperationsNeverAdvance) {
    MDStackCursor cursor;
    std::memset(&cursor, 0xAB, sizeof cursor);
    mdsc_initCursor(&cursor, nullptr, nullptr);
    EXPECT_EQ(cursor.currentDepth, 0);
    EXPECT_EQ(cursor.stackEntry.imageName, nullptr);
    EXPECT_FALSE(cursor.advanceCursor(&cursor));
    EXPECT_TRUE(cursor.resetCursor == mdsc_resetCursor);
    EXPECT_TRUE(cursor.symbolicate == mdsymbolicator_symbolicate);
}

TEST_F(StackCursorTest, OwnThreadCursorShowsNestedCallersInOrderWithNames) {
    MDStackCursor cursor;
    i3_levelA(&cursor);
    std::vector<std::string> names;
    for (int i = 0; i < 3 && cursor.advanceCursor(&cursor); i++) {
        ASSERT_TRUE(cursor.symbolicate(&cursor));
        ASSERT_NE(cursor.stackEntry.imageName, nullptr);
        names.push_back(cursor.stackEntry.symbolName ? cursor.stackEntry.symbolName : "");
        EXPECT_LE(cursor.stackEntry.symbolAddress, cursor.stackEntry.address);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"i3_levelC", "i3_levelB", "i3_levelA"}));
    EXPECT_LE(cursor.currentDepth, MDSC_SELF_THREAD_MAX_ENTRIES);
    EXPECT_FALSE(cursor.hasGivenUp);
}

TEST_F(StackCursorTest, OwnThreadCursorSkipsTheRequestedFrames) {
    MDStackCursor cursor;
    mdsc_initSelfThread(&cursor, 0);
    std::vector<uintptr_t> all = walk(&cursor);
    mdsc_initSelfThread(&cursor, 1);
    std::vector<uintptr_t> skipped = walk(&cursor);
    ASSERT_GE(all.size(), 2u);
    ASSERT_EQ(skipped.size() + 1, all.size());
    // The outer frames are the same; only the innermost one is gone.
    EXPECT_TRUE(std::equal(skipped.begin(), skipped.end(), all.begin() + 1));
}

TEST_F(StackCursorTest, ReturnAddressesAreLookedUpMinusOneInstructionsUnchanged) {
    ASSERT_EQ(i3_firstNeighbour(1) + i3_secondNeighbour(1), 11);
    const uintptr_t start = (uintptr_t)&i3_secondNeighbour;
    MDStackCursor cursor;
    mdsc_initWithBacktrace(&cursor, &start, 1, 0);
    ASSERT_TRUE(cursor.advanceCursor(&cursor));
    cursor.stackEntry.isInstructionAddress = true;
    EXPECT_EQ(symbolOf(&cursor), "i3_secondNeighbour");
    EXPECT_EQ(cursor.stackEntry.symbolAddress, start);

    // As a return address it belongs to whatever call precedes it.
    cursor.stackEntry.isInstructionAddress = false;
    EXPECT_NE(symbolOf(&cursor), "i3_secondNeighbour");
    EXPECT_LT(cursor.stackEntry.symbolAddress, start);
}

TEST_F(StackCursorTest, SymbolicateClearsFieldsOutsideEveryImage) {
    std::vector<char> heap(64);
    const uintptr_t address = (uintptr_t)heap.data() + 8;
    MDStackCursor cursor;
    mdsc_initWithBacktrace(&cursor, &address, 1, 0);
    ASSERT_TRUE(cursor.advanceCursor(&cursor));
    cursor.stackEntry.symbolName = "stale";
    cursor.stackEntry.imageName = "stale";
    EXPECT_FALSE(cursor.symbolicate(&cursor));
    EXPECT_EQ(cursor.stackEntry.address, address);
    EXPECT_EQ(cursor.stackEntry.imageName, nullptr);
    EXPECT_EQ(cursor.stackEntry.symbolName, nullptr);
    EXPECT_EQ(cursor.stackEntry.imageAddress, 0u);
    EXPECT_EQ(cursor.stackEntry.symbolAddress, 0u);
}

// ---- machine-context cursor over made-up frame records ----

struct FakeStack {
    alignas(16) uintptr_t words[8] = {};  // three frame records and spare room
    MDMachineContext context;

    // rip, then the frames  [0] -> [1] -> [2] -> null.
    FakeStack() {
        std::memset(&context, 0, sizeof context);
        words[0] = (uintptr_t)&words[2];
        words[1] = 0x1111;
        words[2] = (uintptr_t)&words[4];
        words[3] = 0x2222;
        words[4] = 0;  // the outermost frame: no caller
        words[5] = 0x3333;
        context.machineState.threadState.rip = 0x4000;
        context.machineState.threadState.rbp = (uintptr_t)&words[0];
    }
};

TEST_F(StackCursorTest, MachineContextWalkFollowsFrameRecordsAndEndsQuietly) {
    FakeStack stack;
    MDStackCursor cursor;
    mdsc_initWithMachineContext(&cursor, 100, &stack.context);
    ASSERT_TRUE(cursor.advanceCursor(&cursor));
    EXPECT_EQ(cursor.stackEntry.address, 0x4000u);
    EXPECT_TRUE(cursor.stackEntry.isInstructionAddress);
    ASSERT_TRUE(cursor.advanceCursor(&cursor));
    EXPECT_EQ(cursor.stackEntry.address, 0x1111u);
    EXPECT_FALSE(cursor.stackEntry.isInstructionAddress);
    ASSERT_TRUE(cursor.advanceCursor(&cursor));
    EXPECT_EQ(cursor.stackEntry.address, 0x2222u);
    EXPECT_FALSE(cursor.advanceCursor(&cursor));
    EXPECT_EQ(cursor.currentDepth, 3);
    EXPECT_FALSE(cursor.hasGivenUp);

    // Nothing is stored: a second walk reads the stack again.
    stack.words[3] = 0x2345;
    cursor.resetCursor(&cursor);
    EXPECT_EQ(walk(&cursor), (std::vector<uintptr_t>{0x4000, 0x1111, 0x2345}));
}

TEST_F(StackCursorTest, MachineContextWalkGivesUpAtMaximumDepth) {
    FakeStack stack;
    MDStackCursor cursor;
    mdsc_initWithMachineContext(&cursor, 2, &stack.context);
    EXPECT_EQ(walk(&cursor), (std::vector<uintptr_t>{0x4000, 0x1111}));
    EXPECT_TRUE(cursor.hasGivenUp);

    // A cycle in the frame chain ends where it turns back, well before the maximum.
    stack.words[4] = (uintptr_t)&stack.words[0];
    mdsc_initWithMachineContext(&cursor, 50, &stack.context);
    EXPECT_EQ(walk(&cursor), (std::vector<uintptr_t>{0x4000, 0x1111, 0x2222}));
    EXPECT_FALSE(cursor.hasGivenUp);
}

// Frame records laid out by hand in one buffer, 16-byte aligned: each record is
// {caller's record, return address}. The walk must stop at the first record
// whose link is not a plausible caller frame, without reporting that
// record's return address.
class FakeFrames {
public:
    static constexpr size_t kWords = 64;
    FakeFrames() {
        std::memset(&context, 0, sizeof context);
        context.machineState.threadState.rip = 0x4000;
        context.machineState.threadState.rsp = (uintptr_t)&words[0];
        context.machineState.threadState.rbp = (uintptr_t)&words[8];
        // [8] -> [16] -> [24] -> [32] -> end, every record plausible.
        link(8, at(16), 0x1111);
        link(16, at(24), 0x2222);
        link(24, at(32), 0x3333);
        link(32, 0, 0x4444);
        // A record below them that looks fine, to catch a walk that goes down.
        link(4, at(40), 0x9999);
        link(40, 0, 0x8888);
    }
    uintptr_t at(size_t word) const { return (uintptr_t)&words[word]; }
    void link(size_t word, uintptr_t previous, uintptr_t returnAddress) {
        words[word] = previous;
        words[word + 1] = returnAddress;
    }
    std::vector<uintptr_t> walkAll() {
        MDStackCursor cursor;
        mdsc_initWithMachineContext(&cursor, 100, &context);
        return walk(&cursor);
    }

    alignas(16) uintptr_t words[kWords] = {};
    MDMachineContext context;
};

TEST_F(StackCursorTest, MachineContextWalkEndsAtImplausibleFrameLinks) {
    {
        FakeFrames frames;
        EXPECT_EQ(frames.walkAll(), (std::vector<uintptr_t>{0x4000, 0x1111, 0x2222, 0x3333}));
    }
    {
        SCOPED_TRACE("link pointing downward");
        FakeFrames frames;
        frames.link(24, frames.at(4), 0x3333);
        EXPECT_EQ(frames.walkAll(), (std::vector<uintptr_t>{0x4000, 0x1111, 0x2222}));
    }
    {
        SCOPED_TRACE("link pointing at its own record");
        FakeFrames frames;
        frames.link(16, frames.at(16), 0x2222);
        EXPECT_EQ(frames.walkAll(), (std::vector<uintptr_t>{0x4000, 0x1111}));
    }
    {
        SCOPED_TRACE("misaligned links");
        FakeFrames frames;
        frames.link(16, frames.at(24) + 8, 0x2222);  // 8-byte aligned only
        EXPECT_EQ(frames.walkAll(), (std::vector<uintptr_t>{0x4000, 0x1111}));
        frames.link(16, frames.at(24) + 4, 0x2222);
        EXPECT_EQ(frames.walkAll(), (std::vector<uintptr_t>{0x4000, 0x1111}));
    }
    {
        SCOPED_TRACE("first frame pointer below the stack pointer, or misaligned");
        FakeFrames frames;
        frames.context.machineState.threadState.rsp = frames.at(12);
        EXPECT_EQ(frames.walkAll(), (std::vector<uintptr_t>{0x4000}));
        frames.context.machineState.threadState.rbp = frames.at(8) + 8;  // misaligned
        frames.context.machineState.threadState.rsp = frames.at(0);
        EXPECT_EQ(frames.walkAll(), (std::vector<uintptr_t>{0x4000}));
    }
    {
        SCOPED_TRACE("zero return address");
        FakeFrames frames;
        frames.link(16, frames.at(24), 0);
        EXPECT_EQ(frames.walkAll(), (std::vector<uintptr_t>{0x4000, 0x1111}));
    }
}

TEST_F(StackCursorTest, MachineContextWalkEndsAtFramesAbsurdlyFarAbove) {
    // Readable memory far apart, each end holding a plausible record, so only
    // the distance rule can end the walk.
    const size_t length = 64u << 20;
    void* mapping = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(mapping, MAP_FAILED);
    uintptr_t* low = (uintptr_t*)mapping;
    uintptr_t* far = (uintptr_t*)((char*)mapping + (48u << 20));
    low[0] = (uintptr_t)&low[4];
    low[1] = 0x1111;
    low[4] = (uintptr_t)far;  // 48 MB above
    low[5] = 0x2222;
    far[0] = 0;
    far[1] = 0x3333;
    far[2] = (uintptr_t)&far[4];  // a second chain starting far up
    far[3] = 0x5555;
    far[4] = 0;
    far[5] = 0x6666;

    MDMachineContext context;
    std::memset(&context, 0, sizeof context);
    context.machineState.threadState.rip = 0x4000;
    context.machineState.threadState.rsp = (uintptr_t)&low[0];
    context.machineState.threadState.rbp = (uintptr_t)&low[0];
    MDStackCursor cursor;
    mdsc_initWithMachineContext(&cursor, 100, &context);
    EXPECT_EQ(walk(&cursor), (std::vector<uintptr_t>{0x4000, 0x1111}));

    // A first frame pointer absurdly far above the stack pointer is not followed either.
    context.machineState.threadState.rbp = (uintptr_t)&far[2];
    mdsc_initWithMachineContext(&cursor, 100, &context);
    EXPECT_EQ(walk(&cursor), (std::vector<uintptr_t>{0x4000}));
    // ... while the same chain seen from a stack pointer near it is.
    context.machineState.threadState.rsp = (uintptr_t)&far[0];
    mdsc_initWithMachineContext(&cursor, 100, &context);
    EXPECT_EQ(walk(&cursor), (std::vector<uintptr_t>{0x4000, 0x5555}));
    munmap(mapping, length);
}

TEST_F(StackCursorTest, MachineContextWalkEdgeCases) {
    FakeStack stack;
    MDStackCursor cursor;

    stack.context.machineState.threadState.rip = 0;
    mdsc_initWithMachineContext(&cursor, 100, &stack.context);
    EXPECT_TRUE(walk(&cursor).empty());
    EXPECT_FALSE(cursor.hasGivenUp);

    // An unreadable frame pointer ends the walk after the instruction (in a
    // child: an unchecked read would kill the process).
    stack.context.machineState.threadState.rip = 0x4000;
    stack.context.machineState.threadState.rbp = 0x10;
    EXPECT_EXIT(
        {
            mdsc_initWithMachineContext(&cursor, 100, &stack.context);
            const bool ok = walk(&cursor) == std::vector<uintptr_t>{0x4000} && !cursor.hasGivenUp;
            _exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");

    // A zero return address ends it too.
    FakeStack zeroReturn;
    zeroReturn.words[3] = 0;
    mdsc_initWithMachineContext(&cursor, 100, &zeroReturn.context);
    EXPECT_EQ(walk(&cursor), (std::vector<uintptr_t>{0x4000, 0x1111}));
}

TEST_F(StackCursorTest, MachineContextWalkOfARealFrameChainNamesTheCallers) {
    MDStackCursor cursor;
    std::vector<std::string> names;
    i3_fpA(&cursor, &names);
    EXPECT_EQ(names, (std::vector<std::string>{"i3_fpC", "i3_fpB", "i3_fpA"}));
}

TEST_F(StackCursorTest, CrashedThreadIsWalkedFromTheSignalContext) {
    EXPECT_EXIT(i3_crashAndWalk(), ::testing::ExitedWithCode(0),
                "i3_crashingFunction \\[instruction\\] i3_crashCaller\n");
}

// One entry of a walk the child reported: "<address> <image>|<symbol>".
struct ReportedFrame {
    uint64_t address;
    std::string image;
    std::string symbol;
};

std::vector<ReportedFrame> reportedFrames(const std::string& output) {
    std::vector<ReportedFrame> frames;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        if (end == std::string::npos) end = output.size();
        const std::string line = output.substr(start, end - start);
        const size_t space = line.find(' ');
        const size_t bar = line.find('|');
        if (line.rfind("0x", 0) == 0 && space != std::string::npos && bar != std::string::npos) {
            frames.push_back({std::stoull(line.substr(0, space), nullptr, 16), line.substr(space + 1, bar - space - 1),
                              line.substr(bar + 1)});
        }
        start = end + 1;
    }
    return frames;
}

TEST_F(StackCursorTest, AbortInsideLibcGivesAShortTrueStack) {
    const zeltest::ChildEnd end = zeltest::runInChild([] { i3_abortAndWalk(); });
    ASSERT_TRUE(end.exited) << "signal " << end.signal;
    ASSERT_EQ(end.exitStatus, 0) << end.output;
    ASSERT_NE(end.output.find("given up 0\n"), std::string::npos) << end.output;
    const auto frames = reportedFrames(end.output);
    ASSERT_GE(frames.size(), 1u) << end.output;
    EXPECT_LT(frames.size(), 64u) << end.output;
    EXPECT_NE(frames[0].image.find("libc.so"), std::string::npos) << end.output;
    for (size_t i = 0; i < frames.size(); i++) {
        SCOPED_TRACE(end.output);
        // A true return address lies in some image.
        EXPECT_FALSE(frames[i].image.empty()) << "entry " << i;
        if (i > 0) {
            EXPECT_NE(frames[i].address, frames[i - 1].address) << "repeated entry " << i;
        }
    }
    // The child is a fork: its libc sits where ours does. An exported name is
    // given only where the loader's own dladdr gives that name too.
    Dl_info loader;
    ASSERT_NE(dladdr((void*)frames[0].address, &loader), 0);
    if (!frames[0].symbol.empty()) {
        if (loader.dli_sname != nullptr) {
            EXPECT_EQ(frames[0].symbol, loader.dli_sname);
        } else {
            EXPECT_EQ(dlsym(RTLD_DEFAULT, frames[0].symbol.c_str()), nullptr)
                << frames[0].symbol << " is exported but does not hold the instruction";
        }
    }
}

}  // namespace
