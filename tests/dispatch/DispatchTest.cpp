#include "platform/dispatch/Dispatch.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

using platform::DispatchQueue;
using platform::MainLoop;
using namespace std::chrono_literals;

namespace {

// A one-shot flag another thread raises; waiting gives up after a long
// while so a broken queue fails the test instead of hanging it.
class Signal {
public:
    void raise() {
        std::lock_guard<std::mutex> lock(mutex_);
        raised_ = true;
        wake_.notify_all();
    }
    bool wait(std::chrono::milliseconds limit = 10s) {
        std::unique_lock<std::mutex> lock(mutex_);
        return wake_.wait_for(lock, limit, [this] { return raised_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool raised_ = false;
};

int niceOfCallingThread() {
    errno = 0;
    return ::getpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)));
}

bool readable(int fd) {
    pollfd pfd{fd, POLLIN, 0};
    return ::poll(&pfd, 1, 0) == 1;
}

class MainQueueTest : public ::testing::Test {
protected:
    void SetUp() override {
        MainLoop::adoptCurrentThreadAsMain();
        MainLoop::drainPending();  // nothing left over from another test
    }
    void TearDown() override { MainLoop::drainPending(); }
};

}  // namespace

// ------------------------------------------------------------- serial queues

TEST(SerialQueueTest, RunsBlocksOneAtATimeInOrderOnItsOwnThread) {
    auto queue = DispatchQueue::serial("test.order");
    EXPECT_EQ(queue->label(), "test.order");
    std::vector<int> order;
    std::atomic<int> concurrent{0};
    std::atomic<bool> overlapped{false};
    std::atomic<bool> allCurrent{true};
    for (int i = 0; i < 500; ++i) {
        queue->async([&, i] {
            if (concurrent.fetch_add(1) != 0) overlapped = true;
            if (!queue->isCurrent()) allCurrent = false;
            order.push_back(i);
            concurrent.fetch_sub(1);
        });
    }
    queue->sync([] {});
    ASSERT_EQ(order.size(), 500u);
    for (int i = 0; i < 500; ++i) EXPECT_EQ(order[i], i);
    EXPECT_FALSE(overlapped);
    EXPECT_TRUE(allCurrent);
    EXPECT_FALSE(queue->isCurrent());
}

TEST(SerialQueueTest, SyncFromItsOwnThreadRunsInlineAndSyncFromElsewhereWaits) {
    auto queue = DispatchQueue::serial("test.sync");
    std::vector<std::string> steps;
    queue->sync([&] {
        steps.push_back("outer");
        queue->sync([&] { steps.push_back("inner"); });
        steps.push_back("after inner");
    });
    EXPECT_EQ(steps, (std::vector<std::string>{"outer", "inner", "after inner"}));

    std::atomic<bool> ran{false};
    queue->async([] { std::this_thread::sleep_for(20ms); });
    queue->sync([&] { ran = true; });
    EXPECT_TRUE(ran);  // sync returned only after the queued work and its own block
}

TEST(SerialQueueTest, DestructionRunsQueuedBlocksFirst) {
    std::atomic<int> ran{0};
    {
        auto queue = DispatchQueue::serial("test.drain");
        for (int i = 0; i < 200; ++i) {
            queue->async([&ran] {
                std::this_thread::yield();
                ++ran;
            });
        }
    }
    EXPECT_EQ(ran.load(), 200);
}

TEST(SerialQueueTest, CanBeDestroyedByOneOfItsOwnBlocks) {
    auto queue = DispatchQueue::serial("test.self-destroy");
    DispatchQueue* raw = queue.get();
    // Shared with the blocks: the queue's thread may outlive this test.
    auto gate = std::make_shared<Signal>();
    auto later = std::make_shared<Signal>();
    auto wasCurrent = std::make_shared<std::atomic<bool>>(false);
    raw->async([gate] { gate->wait(); });  // keeps the next blocks queued
    raw->async([owner = std::move(queue), wasCurrent]() mutable {
        *wasCurrent = owner->isCurrent();
        owner.reset();  // the last reference: destroyed on its own thread
    });
    raw->async([later] { later->raise(); });
    gate->raise();
    EXPECT_TRUE(later->wait()) << "blocks queued before the destruction must still run";
    EXPECT_TRUE(*wasCurrent);
}

TEST(SerialQueueTest, CanBeDestroyedFromABlockOnAnotherQueue) {
    auto queue = DispatchQueue::serial("test.destroy-elsewhere");
    std::atomic<int> ran{0};
    for (int i = 0; i < 10; ++i) queue->async([&ran] { ++ran; });
    Signal destroyed;
    auto other = DispatchQueue::serial("test.destroyer");
    other->async([&, q = std::move(queue)]() mutable {
        q.reset();
        destroyed.raise();
    });
    ASSERT_TRUE(destroyed.wait());
    EXPECT_EQ(ran.load(), 10);
}

TEST(SerialQueueTest, AnExceptionFromABlockIsLoggedAndTheQueueGoesOn) {
    auto queue = DispatchQueue::serial("test.throwing");
    std::atomic<bool> after{false};
    testing::internal::CaptureStderr();
    queue->async([] { throw std::runtime_error("boom in a block"); });
    queue->async([] { throw 42; });
    queue->async([&after] { after = true; });
    queue->sync([] {});
    std::string logged = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(after);
    EXPECT_NE(logged.find("test.throwing"), std::string::npos) << logged;
    EXPECT_NE(logged.find("boom in a block"), std::string::npos) << logged;
    EXPECT_EQ(std::count(logged.begin(), logged.end(), '\n'), 2) << logged;
}

// ------------------------------------------------------------- global queues

TEST(GlobalQueueTest, RunsBlocksConcurrently) {
    // Four blocks that each wait for all four: only a pool of four gets through.
    struct Meeting {
        std::mutex mutex;
        std::condition_variable wake;
        int arrived = 0;
        int passed = 0;
        Signal allPassed;
    };
    auto meeting = std::make_shared<Meeting>();
    for (int i = 0; i < 4; ++i) {
        DispatchQueue::global().async([meeting] {
            std::unique_lock<std::mutex> lock(meeting->mutex);
            ++meeting->arrived;
            meeting->wake.notify_all();
            if (meeting->wake.wait_for(lock, 10s, [&] { return meeting->arrived == 4; })) {
                if (++meeting->passed == 4) meeting->allPassed.raise();
            }
        });
    }
    EXPECT_TRUE(meeting->allPassed.wait(20s));
    std::lock_guard<std::mutex> lock(meeting->mutex);
    EXPECT_EQ(meeting->passed, 4);
}

TEST(GlobalQueueTest, BackgroundRunsAtTheLowestPriorityAndDefaultDoesNot) {
    const int processNice = niceOfCallingThread();
    int background = -100, normal = -100;
    bool backgroundCurrent = false, otherCurrent = true;
    DispatchQueue::global(DispatchQueue::Priority::Background).sync([&] {
        background = niceOfCallingThread();
        backgroundCurrent = DispatchQueue::global(DispatchQueue::Priority::Background).isCurrent();
        otherCurrent = DispatchQueue::global(DispatchQueue::Priority::Default).isCurrent();
    });
    DispatchQueue::global(DispatchQueue::Priority::Default).sync([&] { normal = niceOfCallingThread(); });
    EXPECT_EQ(background, 19);
    EXPECT_EQ(normal, processNice);
    EXPECT_TRUE(backgroundCurrent);
    EXPECT_FALSE(otherCurrent);
    EXPECT_FALSE(DispatchQueue::global(DispatchQueue::Priority::Background).isCurrent());
    EXPECT_EQ(niceOfCallingThread(), processNice) << "the caller's own priority must not change";
}

TEST(GlobalQueueTest, SyncOnAPoolThreadOfTheSameQueueRunsInline) {
    std::vector<int> steps;
    DispatchQueue::global().sync([&] {
        steps.push_back(1);
        DispatchQueue::global().sync([&] { steps.push_back(2); });
        steps.push_back(3);
    });
    EXPECT_EQ(steps, (std::vector<int>{1, 2, 3}));
}

// ---------------------------------------------------------------- main queue

TEST_F(MainQueueTest, RunUntilRunsBlocksFromOtherThreadsInOrderOnTheMainThread) {
    EXPECT_TRUE(MainLoop::isMainThread());
    EXPECT_TRUE(DispatchQueue::main().isCurrent());
    std::vector<int> order;
    bool allOnMain = true;
    std::thread producer([&] {
        EXPECT_FALSE(MainLoop::isMainThread());
        for (int i = 0; i < 100; ++i) {
            DispatchQueue::main().async([&order, &allOnMain, i] {
                allOnMain = allOnMain && MainLoop::isMainThread();
                order.push_back(i);
            });
        }
    });
    EXPECT_TRUE(MainLoop::runUntil([&] { return order.size() == 100; }));
    producer.join();
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
    EXPECT_TRUE(allOnMain);
}

TEST_F(MainQueueTest, RunUntilAnswersFalseWhenTheConditionNeverHolds) {
    int ran = 0;
    DispatchQueue::main().async([&ran] { ++ran; });
    EXPECT_FALSE(MainLoop::runUntil([] { return false; }, 50ms));
    EXPECT_EQ(ran, 1);
}

TEST_F(MainQueueTest, RunUntilChecksTheConditionAfterEveryBlock) {
    int ran = 0;
    for (int i = 0; i < 5; ++i) DispatchQueue::main().async([&ran] { ++ran; });
    EXPECT_TRUE(MainLoop::runUntil([&] { return ran == 2; }));
    EXPECT_EQ(ran, 2);
    EXPECT_EQ(MainLoop::drainPending(), 3u);
}

TEST_F(MainQueueTest, QuitEndsRunAfterTheCurrentBlock) {
    std::vector<std::string> steps;
    DispatchQueue::main().async([&] {
        steps.push_back("first");
        MainLoop::quit();
        steps.push_back("still in first");
    });
    DispatchQueue::main().async([&] { steps.push_back("second"); });
    MainLoop::run();
    EXPECT_EQ(steps, (std::vector<std::string>{"first", "still in first"}));
    EXPECT_EQ(MainLoop::drainPending(), 1u);
    EXPECT_EQ(steps.back(), "second");
}

TEST_F(MainQueueTest, QuitFromAnotherThreadWakesAnIdleRun) {
    std::thread quitter([] {
        std::this_thread::sleep_for(20ms);
        MainLoop::quit();
    });
    MainLoop::run();  // returns only because of quit()
    quitter.join();
    SUCCEED();
}

TEST_F(MainQueueTest, SyncFromAnotherThreadRunsOnTheMainThreadAndSyncOnMainRunsInline) {
    bool inline_ = false;
    DispatchQueue::main().sync([&] { inline_ = MainLoop::isMainThread(); });
    EXPECT_TRUE(inline_);

    std::atomic<bool> onMain{false};
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        DispatchQueue::main().sync([&] { onMain = MainLoop::isMainThread(); });
        returned = true;
        DispatchQueue::main().async([] {});  // wakes runUntil to look again
    });
    EXPECT_TRUE(MainLoop::runUntil([&] { return returned.load(); }));
    worker.join();
    EXPECT_TRUE(onMain);
}

TEST_F(MainQueueTest, TheWakeDescriptorIsReadableExactlyWhileWorkIsQueued) {
    const int fd = MainLoop::wakeDescriptor();
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(readable(fd));
    int ran = 0;
    DispatchQueue::main().async([&ran] { ++ran; });
    DispatchQueue::main().async([&ran] { ++ran; });
    EXPECT_TRUE(readable(fd));
    EXPECT_EQ(MainLoop::drainPending(), 2u);
    EXPECT_EQ(ran, 2);
    EXPECT_FALSE(readable(fd));
    EXPECT_EQ(MainLoop::drainPending(), 0u);
}

TEST_F(MainQueueTest, DrainPendingLeavesBlocksQueuedMeanwhileForLaterAndKeepsTheDescriptorReadable) {
    int inner = 0;
    DispatchQueue::main().async([&inner] { DispatchQueue::main().async([&inner] { ++inner; }); });
    EXPECT_EQ(MainLoop::drainPending(), 1u);
    EXPECT_EQ(inner, 0);
    EXPECT_TRUE(readable(MainLoop::wakeDescriptor()));
    EXPECT_EQ(MainLoop::drainPending(), 1u);
    EXPECT_EQ(inner, 1);
}

TEST_F(MainQueueTest, ABlockThatThrowsDoesNotStopTheMainQueue) {
    int after = 0;
    testing::internal::CaptureStderr();
    DispatchQueue::main().async([] { throw std::logic_error("main block failed"); });
    DispatchQueue::main().async([&after] { ++after; });
    EXPECT_EQ(MainLoop::drainPending(), 2u);
    std::string logged = testing::internal::GetCapturedStderr();
    EXPECT_EQ(after, 1);
    EXPECT_NE(logged.find("main block failed"), std::string::npos) << logged;
}

TEST(DispatchAfterTest, BlocksReachTheirQueueInDeadlineOrderAndNotBefore) {
    using namespace std::chrono;
    std::vector<int> order;
    const auto start = steady_clock::now();
    steady_clock::time_point firstRan;
    platform::dispatchAfter(milliseconds(120), platform::DispatchQueue::main(), [&] { order.push_back(2); });
    platform::dispatchAfter(milliseconds(60), platform::DispatchQueue::main(), [&] {
        firstRan = steady_clock::now();
        order.push_back(1);
    });
    platform::dispatchAfter(milliseconds(-5), platform::DispatchQueue::main(), [&] { order.push_back(0); });
    ASSERT_TRUE(platform::MainLoop::runUntil([&] { return order.size() == 3; }, seconds(5)));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_GE(firstRan - start, milliseconds(60)) << "never before its delay";
}
