// The reachability monitor and the reachable operation, driven through a
// flag source the test controls (no network is touched).
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/dispatch/Dispatch.h"
#include "platform/net/Reachability.h"
#include "sentry/MDReachabilityMayday.h"

using platform::MainLoop;

namespace {

TEST(ReachabilityFlags, TheTableOfReachableFlags) {
    EXPECT_TRUE(MDReachabilityMayday::isReachableWithFlags(0x2));
    EXPECT_FALSE(MDReachabilityMayday::isReachableWithFlags(0x6));   // a connection is required
    EXPECT_TRUE(MDReachabilityMayday::isReachableWithFlags(0x0E));   // ... made on traffic
    EXPECT_TRUE(MDReachabilityMayday::isReachableWithFlags(0x26));   // ... made on demand
    EXPECT_FALSE(MDReachabilityMayday::isReachableWithFlags(0x1E));  // ... but only by the user
    EXPECT_FALSE(MDReachabilityMayday::isReachableWithFlags(0x0));
    EXPECT_FALSE(MDReachabilityMayday::isReachableWithFlags(0x28));  // not reachable at all
}

TEST(ReachabilityFlags, HostNamesOfURLsAndBareNames) {
    EXPECT_EQ(MDReachabilityMayday::extractHostName("https://key@sentry.example.com:8443/api/42/store/"),
              "sentry.example.com");
    EXPECT_EQ(MDReachabilityMayday::extractHostName("http://[::1]:9000/"), "::1");
    EXPECT_EQ(MDReachabilityMayday::extractHostName("sentry.example.com"), "sentry.example.com");
    EXPECT_EQ(MDReachabilityMayday::extractHostName(""), "");
}

class ReachabilityMonitor : public ::testing::Test {
protected:
    struct Table {
        std::mutex mutex;
        std::map<std::string, std::optional<uint32_t>> flags;
        bool readOnMain = false;
    };

    void SetUp() override {
        MainLoop::adoptCurrentThreadAsMain();
        platform::setReachabilityFlagSourceForTesting([table = table_](const std::string& host) {
            std::lock_guard<std::mutex> lock(table->mutex);
            if (MainLoop::isMainThread()) table->readOnMain = true;
            auto found = table->flags.find(host);
            return found == table->flags.end() ? std::optional<uint32_t>(0) : found->second;
        });
        witness_ = MDReachabilityMayday::reachabilityToHost("witness.example");
        ASSERT_TRUE(witness_);
    }
    void TearDown() override {
        witness_.reset();
        platform::setReachabilityFlagSourceForTesting({});
        MainLoop::drainPending();
    }

    void set(const std::string& host, std::optional<uint32_t> flags) {
        std::lock_guard<std::mutex> lock(table_->mutex);
        table_->flags[host] = flags;
    }

    // Announces a change and waits until the witness monitor has applied it,
    // which gives whatever else the change sets off the time to arrive.
    void announceAndSettle() {
        const uint32_t next = witness_->flags() == 0x2 ? 0x6 : 0x2;
        set("witness.example", next);
        platform::announceReachabilityChangeForTesting();
        ASSERT_TRUE(MainLoop::runUntil([&] { return witness_->flags() == next; }));
        MainLoop::drainPending();
    }

    std::shared_ptr<Table> table_ = std::make_shared<Table>();
    std::shared_ptr<MDReachabilityMayday> witness_;
};

TEST_F(ReachabilityMonitor, FirstFlagsAreReadOffTheMainQueueAndAppliedOnIt) {
    set("sentry.example.com", 0x2);
    auto monitor = MDReachabilityMayday::reachabilityToHost("https://sentry.example.com/api/1/store/");
    ASSERT_TRUE(monitor);
    int calls = 0;
    bool onMain = false;
    monitor->setOnReachabilityChanged([&](MDReachabilityMayday& changed) {
        ++calls;
        onMain = MainLoop::isMainThread() && &changed == monitor.get();
    });
    EXPECT_EQ(monitor->flags(), 0u);
    ASSERT_TRUE(MainLoop::runUntil([&] { return calls == 1; }));
    EXPECT_TRUE(onMain);
    EXPECT_EQ(monitor->flags(), 0x2u);
    EXPECT_TRUE(monitor->reachable());
    EXPECT_FALSE(monitor->WWANOnly());
    EXPECT_FALSE(table_->readOnMain);
}

TEST_F(ReachabilityMonitor, EqualFlagsAreIgnoredAndEachChangeAppliedOnce) {
    set("quiet.example", 0x6);
    auto monitor = MDReachabilityMayday::reachabilityToHost("quiet.example");
    std::vector<uint32_t> seen;
    monitor->setOnReachabilityChanged([&](MDReachabilityMayday& changed) { seen.push_back(changed.flags()); });
    ASSERT_TRUE(MainLoop::runUntil([&] { return monitor->flags() == 0x6; }));
    EXPECT_FALSE(monitor->reachable());

    monitor->onReachabilityFlagsChanged(0x6);
    monitor->onReachabilityFlagsChanged(0x6);
    EXPECT_EQ(seen, (std::vector<uint32_t>{0x6}));

    set("quiet.example", 0x0E);
    platform::announceReachabilityChangeForTesting();
    ASSERT_TRUE(MainLoop::runUntil([&] { return monitor->flags() == 0x0E; }));
    EXPECT_TRUE(monitor->reachable());
    platform::announceReachabilityChangeForTesting();
    announceAndSettle();
    EXPECT_EQ(seen, (std::vector<uint32_t>{0x6, 0x0E}));
}

TEST_F(ReachabilityMonitor, UpdateFlagsReadsNowAndFailsWhenTheyCannotBeRead) {
    set("now.example", 0x2);
    auto monitor = MDReachabilityMayday::reachabilityToHost("now.example");
    ASSERT_TRUE(MainLoop::runUntil([&] { return monitor->flags() == 0x2; }));
    set("now.example", 0x26);
    EXPECT_TRUE(monitor->updateFlags());
    EXPECT_EQ(monitor->flags(), 0x26u);
    set("now.example", std::nullopt);
    EXPECT_FALSE(monitor->updateFlags());
    EXPECT_EQ(monitor->flags(), 0x26u);
}

TEST_F(ReachabilityMonitor, AnEmptyHostProbesAnyRouteAndTheLocalNetworkItsOwnAddress) {
    set("0.0.0.0", 0x2);
    set("169.254.0.0", 0x0E);
    auto anyRoute = MDReachabilityMayday::reachabilityToHost("");
    auto local = MDReachabilityMayday::reachabilityToLocalNetwork();
    ASSERT_TRUE(anyRoute && local);
    ASSERT_TRUE(MainLoop::runUntil([&] { return anyRoute->flags() == 0x2 && local->flags() == 0x0E; }));
}

TEST_F(ReachabilityMonitor, AMonitorDroppedInsideItsOwnCallbackIsNotUsedAfterwards) {
    set("drop.example", 0x2);
    auto monitor = MDReachabilityMayday::reachabilityToHost("drop.example");
    std::weak_ptr<MDReachabilityMayday> weak = monitor;
    int calls = 0;
    monitor->setOnReachabilityChanged([&](MDReachabilityMayday&) {
        ++calls;
        monitor.reset();  // the only owner
    });
    ASSERT_TRUE(MainLoop::runUntil([&] { return calls == 1; }));
    EXPECT_TRUE(weak.expired());
    set("drop.example", 0x6);
    announceAndSettle();
    EXPECT_EQ(calls, 1);
}

TEST_F(ReachabilityMonitor, TheOperationRunsItsBlockOnceWhenReachable) {
    set("send.example", 0x6);
    int runs = 0;
    auto operation = MDReachableOperationMayday::operationWithHost("https://send.example/", false, [&] { ++runs; });
    ASSERT_TRUE(operation->reachability());
    ASSERT_TRUE(MainLoop::runUntil([&] { return operation->reachability()->flags() == 0x6; }));
    EXPECT_EQ(runs, 0);  // not reachable yet

    set("send.example", 0x2);
    platform::announceReachabilityChangeForTesting();
    ASSERT_TRUE(MainLoop::runUntil([&] { return runs == 1; }));
    EXPECT_FALSE(operation->reachability());  // its monitor is dropped

    for (uint32_t flags : {0x6u, 0x0Eu}) {
        set("send.example", flags);
        announceAndSettle();
    }
    EXPECT_EQ(runs, 1);
}

TEST_F(ReachabilityMonitor, TheBlockNeverRunsAfterCancelOrWhenTheOperationIsDropped) {
    set("cancelled.example", 0x6);
    set("dropped.example", 0x6);
    int runs = 0;
    auto cancelled = MDReachableOperationMayday::operationWithHost("cancelled.example", true, [&] { ++runs; });
    auto dropped = MDReachableOperationMayday::operationWithHost("dropped.example", true, [&] { ++runs; });
    std::weak_ptr<MDReachabilityMayday> cancelledMonitor = cancelled->reachability();
    std::weak_ptr<MDReachabilityMayday> droppedMonitor = dropped->reachability();
    ASSERT_TRUE(MainLoop::runUntil(
        [&] { return cancelled->reachability()->flags() == 0x6 && dropped->reachability()->flags() == 0x6; }));

    cancelled->cancel();
    dropped.reset();
    EXPECT_FALSE(cancelled->reachability());
    EXPECT_TRUE(cancelledMonitor.expired());
    EXPECT_TRUE(droppedMonitor.expired());

    set("cancelled.example", 0x2);
    set("dropped.example", 0x2);
    announceAndSettle();
    EXPECT_EQ(runs, 0);
}

}  // namespace
