// The alternate signal stacks handed to and taken back from threads that are
// already running, each case in a forked child with one other thread.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <pthread.h>
#include <string>
#include <unistd.h>

#include "CrashChild.h"

#include "Mayday/Recording/Tools/MDSignalStack.h"

namespace {

using zeltest::put;

std::atomic<int> g_step{0};
bool g_acquireFirst = false;

void waitForStep(int step) {
    while (g_step.load() < step) usleep(1000);
}

void putStack(const char* when) {
    stack_t stack;
    const bool set = sigaltstack(nullptr, &stack) == 0 && !(stack.ss_flags & SS_DISABLE);
    put(when);
    put(mdss_currentThreadHasStack() ? " ours" : set ? " another" : " none");
    put("\n");
}

// Reports its stack at each step the main thread announces. Started after
// the acquisition, it takes its stack the way the thread-start interposer
// would have it do.
void* reportStacks(void*) {
    if (g_acquireFirst) mdss_threadStarted();
    g_step.store(1);
    waitForStep(2);
    putStack("acquired:");
    g_step.store(3);
    waitForStep(4);
    putStack("released:");
    return nullptr;
}

std::string runWithThread(bool acquireFirst) {
    g_acquireFirst = acquireFirst;
    return zeltest::runInChild([] {
               if (g_acquireFirst) mdss_acquire();
               pthread_t thread;
               pthread_create(&thread, nullptr, reportStacks, nullptr);
               waitForStep(1);
               // Acquired only now, the running thread can get a stack through the hand-over alone.
               if (!g_acquireFirst) mdss_acquire();
               g_step.store(2);
               waitForStep(3);
               mdss_release();
               g_step.store(4);
               pthread_join(thread, nullptr);
           })
        .output;
}

// The hand-over's handler changes the stack of the thread it interrupts; the
// return from a handler restores the stack saved at its start, so the change
// must outlive that return.
TEST(SignalStackHandOver, ARunningThreadKeepsTheStackHandedToIt) {
    EXPECT_EQ(runWithThread(false), "acquired: ours\nreleased: none\n");
}

// Taken back by the last release: a stack left installed would point at the
// unmapped memory of the freed entry.
TEST(SignalStackHandOver, TheLastReleaseTakesTheStackBackFromARunningThread) {
    EXPECT_EQ(runWithThread(true), "acquired: ours\nreleased: none\n");
}

}  // namespace
