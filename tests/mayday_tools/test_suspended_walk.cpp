// The pieces together, as the crash path uses them: suspend the other
// threads, take a suspended thread's registers, walk its stack through frame
// pointers and name every frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <unistd.h>
#include <string>
#include <thread>
#include <vector>

#include "Mayday/Recording/Tools/MDCFIUnwind.h"
#include "Mayday/Recording/Tools/MDCPU.h"
#include "Mayday/Recording/Tools/MDDynamicLinker.h"
#include "Mayday/Recording/Tools/MDMachineContext.h"
#include "Mayday/Recording/Tools/MDStackCursor.h"
#include "Mayday/Recording/Tools/MDThread.h"

namespace {

std::atomic<bool> gStop{false};
std::atomic<MDThread> gWalkedThread{0};

// A chain of functions that are not exported; the innermost spins without
// calling anything, so the thread is always inside it.
__attribute__((noinline)) static void walkLevelC() {
    gWalkedThread.store(mdthread_self());
    while (!gStop.load(std::memory_order_relaxed)) {
        asm volatile("" ::: "memory");
    }
}
__attribute__((noinline)) static void walkLevelB() {
    walkLevelC();
    asm volatile("" ::: "memory");  // keeps the call from becoming a jump
}
__attribute__((noinline)) static void walkLevelA() {
    walkLevelB();
    asm volatile("" ::: "memory");
}

TEST(SuspendedThreadWalk, WalksCThenBThenAWithNames) {
    mddl_initialize();
    gStop = false;
    gWalkedThread = 0;
    std::thread worker(walkLevelA);
    while (gWalkedThread.load() == 0) std::this_thread::yield();

    // Nothing is allocated while the other threads are suspended: the names
    // stay borrowed pointers until the threads run again.
    const char* symbolNames[3] = {};
    const char* imageNames[3] = {};
    bool exact[3] = {};
    int depth = 0;
    mdmc_suspendEnvironment();
    {
        MDMC_NEW_CONTEXT(context);
        mdmc_fillContextForThread(gWalkedThread.load(), context, false);
        MDStackCursor cursor;
        mdsc_initWithMachineContext(&cursor, 10, context);
        while (depth < 3 && cursor.advanceCursor(&cursor) && cursor.symbolicate(&cursor)) {
            symbolNames[depth] = cursor.stackEntry.symbolName;
            imageNames[depth] = cursor.stackEntry.imageName;
            exact[depth] = cursor.stackEntry.isInstructionAddress;
            ++depth;
        }
    }
    mdmc_resumeEnvironment();
    gStop = true;
    worker.join();

    std::vector<std::string> names, images;
    for (int i = 0; i < depth; ++i) {
        names.push_back(symbolNames[i] ? symbolNames[i] : "");
        images.push_back(imageNames[i] ? mdfu_lastPathEntry(imageNames[i]) : "");
    }
    ASSERT_EQ(names.size(), 3u);
    EXPECT_NE(names[0].find("walkLevelC"), std::string::npos) << names[0];
    EXPECT_NE(names[1].find("walkLevelB"), std::string::npos) << names[1];
    EXPECT_NE(names[2].find("walkLevelA"), std::string::npos) << names[2];
    for (const auto& image : images) EXPECT_EQ(image, "test_mayday_tools");
    EXPECT_TRUE(exact[0]);  // the first entry is the instruction itself
    EXPECT_FALSE(exact[1]);
}

// Frames of 1 KiB each, so a walk reads far past the first bytes above the
// stack pointer; the innermost waits in a system call.
std::atomic<int> gDeepReady{0};
std::atomic<bool> gDeepStop{false};
__attribute__((noinline)) void deepFrames(int depth) {
    volatile char pad[1024];
    pad[0] = (char)depth;
    if (depth > 0) {
        deepFrames(depth - 1);
    } else {
        gDeepReady++;
        while (!gDeepStop.load()) usleep(1000);
    }
    asm volatile("" ::"r"(pad) : "memory");
}

std::vector<uintptr_t> walkOf(MDThread thread) {
    MDMC_NEW_CONTEXT(context);
    mdmc_fillContextForThread(thread, context, false);
    MDCFIWalker walker;
    mdcfi_initWalker(&walker, true);
    MDCFIFrame frame;
    mdcfi_frameFromMachineContext(context, &frame);
    std::vector<uintptr_t> frames{frame.registers[MDCFI_RIP]};
    while (frames.size() < 100 && mdcfi_unwind(&walker, &frame)) frames.push_back(frame.registers[MDCFI_RIP]);
    return frames;
}

TEST(SuspendedThreadWalk, StacksReadForAllThreadsAtOnceWalkTheSame) {
    mddl_initialize();
    gDeepStop = false;
    gDeepReady = 0;
    std::vector<std::thread> threads;
    for (int i = 0; i < 6; i++) threads.emplace_back(deepFrames, 3 + 2 * i);
    while (gDeepReady.load() < 6) usleep(1000);
    std::vector<MDThread> tids;
    mdthread_forEachThread(
        [](MDThread thread, void* list) {
            if (thread != mdthread_self()) static_cast<std::vector<MDThread>*>(list)->push_back(thread);
            return true;
        },
        &tids);

    mdmc_suspendEnvironment();
    std::vector<std::vector<uintptr_t>> direct, prefetched;
    std::vector<uintptr_t> stackPointers;
    for (MDThread thread : tids) {
        direct.push_back(walkOf(thread));
        MDExceptionState exceptionState;
        MDThreadState threadState;
        stackPointers.push_back(mdmc_copyParkedState(thread, &exceptionState, &threadState) ? threadState.rsp : 0);
    }
    // A stack pointer into nothing is only skipped by the walk that starts there.
    stackPointers.push_back(8);
    bool began = mdcfi_beginPrefetch(stackPointers.data(), (int)stackPointers.size());
    bool otherBegan = true;
    std::thread([&] { otherBegan = mdcfi_beginPrefetch(stackPointers.data(), 1); }).join();
    for (MDThread thread : tids) prefetched.push_back(walkOf(thread));
    if (began) mdcfi_endPrefetch();
    mdmc_resumeEnvironment();
    gDeepStop = true;
    for (auto& t : threads) t.join();

    EXPECT_TRUE(began);
    EXPECT_FALSE(otherBegan);
    size_t deepest = 0;
    for (size_t i = 0; i < tids.size(); i++) {
        EXPECT_EQ(prefetched[i], direct[i]) << "thread " << i;
        deepest = std::max(deepest, direct[i].size());
    }
    EXPECT_GE(deepest, 16u);  // the deepest chain: 13 frames of 1 KiB and their callers
}

}  // namespace
