// The pieces together, as the crash path uses them: suspend the other
// threads, take a suspended thread's registers, walk its stack through frame
// pointers and name every frame.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

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

}  // namespace
