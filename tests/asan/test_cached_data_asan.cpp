// Hammers the cached thread data while it refreshes as fast as it can. Built
// with AddressSanitizer: a reader touching a freed snapshot fails the run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "Mayday/Recording/MaydayCachedData.h"
#include "Mayday/Recording/Tools/MDThread.h"

namespace {

constexpr auto kRunTime = std::chrono::seconds(2);

bool waitFor(bool (*ready)(), std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!ready()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace

// Proves the sanitizer is really in this program; otherwise the run below
// would pass whatever the cache did.
TEST(CachedDataAsan, SanitizerIsActive) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            char* volatile bytes = new char[8];
            delete[] bytes;
            bytes[0] = 1;
        },
        "heap-use-after-free");
}

TEST(CachedDataAsan, LookupsDuringFastRefreshNeverTouchFreedSnapshots) {
    mdccd_testing_setRefreshIntervalMicroseconds(20);
    mdccd_init(60);
    ASSERT_TRUE(waitFor([] { return mdccd_testing_refreshCount() >= 1; }, std::chrono::seconds(5)));

    std::atomic<bool> stop{false};
    std::atomic<long> pausedReads{0};
    std::atomic<long> lookups{0};
    std::atomic<MDThread> renamer{0};
    std::vector<std::thread> threads;

    // Renames itself all the time, so snapshots keep differing.
    threads.emplace_back([&] {
        renamer.store(mdthread_self());
        unsigned round = 0;
        while (!stop.load()) {
            const std::string name = "Renamed Worker Number " + std::to_string(round++ % 1000);
            mdthread_setName(mdthread_self(), name.c_str());
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    });
    // Threads come and go, so the list keeps changing length.
    threads.emplace_back([&] {
        while (!stop.load()) {
            std::thread shortLived([] { std::this_thread::sleep_for(std::chrono::microseconds(100)); });
            shortLived.join();
        }
    });
    // Unpaused lookups: only the lookup itself may read the snapshot, so the
    // answers are not dereferenced (they are only good for a paused reader).
    for (int i = 0; i < 3; i++) {
        threads.emplace_back([&] {
            const MDThread self = mdthread_self();
            while (!stop.load()) {
                int count = 0;
                (void)mdccd_threadList(&count);
                (void)mdccd_threadNameFor(self);
                (void)mdccd_threadNameFor(renamer.load());
                (void)mdccd_queueNameFor(self);
                lookups.fetch_add(1, std::memory_order_relaxed);
            }
        });
    }
    // Paused readers walk the whole list and every name, and hold it a while.
    for (int i = 0; i < 2; i++) {
        threads.emplace_back([&] {
            while (!stop.load()) {
                mdccd_pauseUpdates();
                int count = 0;
                const MDThread* list = mdccd_threadList(&count);
                size_t total = 0;
                for (int round = 0; round < 3; round++) {
                    for (int t = 0; t < count; t++) {
                        const char* name = mdccd_threadNameFor(list[t]);
                        if (name) total += strlen(name);
                    }
                    std::this_thread::sleep_for(std::chrono::microseconds(100));
                }
                EXPECT_LT(total, (size_t)1 << 30);
                mdccd_resumeUpdates();
                pausedReads.fetch_add(1, std::memory_order_relaxed);
                std::this_thread::sleep_for(std::chrono::microseconds(300));
            }
        });
    }

    std::this_thread::sleep_for(kRunTime);
    stop.store(true);
    for (std::thread& thread : threads) thread.join();

    // The run only means something if all three kinds of work happened.
    EXPECT_GT(pausedReads.load(), 10);
    EXPECT_GT(lookups.load(), 1000);
    EXPECT_GT(mdccd_testing_freedCount(), 10);
    EXPECT_EQ(0, mdccd_testing_pauseCount());
}
