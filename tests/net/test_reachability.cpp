// Reachability targets: the real route check on loopback and a reserved
// name, and change reporting driven through a flag source the test controls.
#include "platform/net/Reachability.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch/Dispatch.h"

using namespace std::chrono_literals;
using platform::Reachability;

namespace {

sockaddr_in address(const char* dotted) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    EXPECT_EQ(::inet_pton(AF_INET, dotted, &in.sin_addr), 1) << dotted;
    return in;
}

// Reads the flags on a thread that is not the main one, as a real check must.
std::optional<uint32_t> flagsOffMain(const std::shared_ptr<Reachability>& target) {
    return std::async(std::launch::async, [&target] { return target->flags(); }).get();
}

TEST(ReachabilityRouteCheck, LoopbackIsReachableAndAnInvalidNameIsNot) {
    platform::setReachabilityFlagSourceForTesting({});
    auto byAddress = Reachability::createWithAddress(address("127.0.0.1"));
    ASSERT_TRUE(byAddress);
    EXPECT_EQ(byAddress->target(), "127.0.0.1");
    EXPECT_EQ(flagsOffMain(byAddress), platform::kReachabilityFlagReachable);

    auto localhost = Reachability::createWithName("localhost");
    ASSERT_TRUE(localhost);
    EXPECT_EQ(flagsOffMain(localhost), platform::kReachabilityFlagReachable);

    auto invalid = Reachability::createWithName("crash-reports.invalid");
    ASSERT_TRUE(invalid);
    EXPECT_EQ(flagsOffMain(invalid), 0u);

    EXPECT_FALSE(Reachability::createWithName(""));
}

TEST(ReachabilityRouteCheck, TheMainThreadNeverResolvesAndUsesTheLastResolution) {
    platform::setReachabilityFlagSourceForTesting({});
    platform::MainLoop::adoptCurrentThreadAsMain();
    auto localhost = Reachability::createWithName("localhost");
    EXPECT_EQ(localhost->flags(), std::nullopt);  // nothing resolved yet
    EXPECT_EQ(flagsOffMain(localhost), platform::kReachabilityFlagReachable);
    EXPECT_EQ(localhost->flags(), platform::kReachabilityFlagReachable);
    // An address needs no resolution, so the main thread checks it at once.
    EXPECT_EQ(Reachability::createWithAddress(address("127.0.0.2"))->flags(), platform::kReachabilityFlagReachable);
}

// Flags per host, set by the test; counts how often each host was checked.
class ControlledFlags : public ::testing::Test {
protected:
    struct Table {
        std::mutex mutex;
        std::map<std::string, std::optional<uint32_t>> flags;
        std::map<std::string, int> checks;
    };

    void SetUp() override {
        platform::setReachabilityFlagSourceForTesting([table = table_](const std::string& host) {
            std::lock_guard<std::mutex> lock(table->mutex);
            ++table->checks[host];
            return table->flags[host];
        });
    }
    void TearDown() override { platform::setReachabilityFlagSourceForTesting({}); }

    void set(const std::string& host, std::optional<uint32_t> flags) {
        std::lock_guard<std::mutex> lock(table_->mutex);
        table_->flags[host] = flags;
    }
    int checks(const std::string& host) {
        std::lock_guard<std::mutex> lock(table_->mutex);
        return table_->checks[host];
    }

    std::shared_ptr<Table> table_ = std::make_shared<Table>();
};

// What a callback was told, with a wait for it.
struct Reports {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<uint32_t> flags;

    Reachability::Callback callback(const std::shared_ptr<Reports>& self) {
        std::weak_ptr<Reports> weak = self;
        return [weak](uint32_t value) {
            if (auto reports = weak.lock()) {
                std::lock_guard<std::mutex> lock(reports->mutex);
                reports->flags.push_back(value);
                reports->changed.notify_all();
            }
        };
    }
    bool waitForLast(uint32_t value) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, 10s, [&] { return !flags.empty() && flags.back() == value; });
    }
    std::vector<uint32_t> all() {
        std::lock_guard<std::mutex> lock(mutex);
        return flags;
    }
};

TEST_F(ControlledFlags, AChangeIsReportedOnceAndUnchangedFlagsAreNot) {
    auto target = Reachability::createWithName("sentry.example");
    auto reports = std::make_shared<Reports>();
    target->setCallback(reports->callback(reports));
    ASSERT_TRUE(target->schedule());
    EXPECT_TRUE(target->isScheduled());

    set("sentry.example", 0x2);
    platform::announceReachabilityChangeForTesting();
    ASSERT_TRUE(reports->waitForLast(0x2));

    // The same flags again: checked, but not reported.
    const int before = checks("sentry.example");
    platform::announceReachabilityChangeForTesting();
    for (int i = 0; i < 1000 && checks("sentry.example") == before; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_GT(checks("sentry.example"), before);

    set("sentry.example", 0x6);
    platform::announceReachabilityChangeForTesting();
    ASSERT_TRUE(reports->waitForLast(0x6));
    EXPECT_EQ(reports->all(), (std::vector<uint32_t>{0x2, 0x6}));
}

TEST_F(ControlledFlags, AnUnscheduledTargetIsNotCheckedOnChanges) {
    auto quiet = Reachability::createWithName("quiet.example");
    auto witness = Reachability::createWithName("witness.example");
    auto quietReports = std::make_shared<Reports>();
    auto witnessReports = std::make_shared<Reports>();
    quiet->setCallback(quietReports->callback(quietReports));
    witness->setCallback(witnessReports->callback(witnessReports));
    ASSERT_TRUE(quiet->schedule());
    ASSERT_TRUE(witness->schedule());
    quiet->unschedule();
    EXPECT_FALSE(quiet->isScheduled());

    set("quiet.example", 0x2);
    set("witness.example", 0x2);
    platform::announceReachabilityChangeForTesting();
    ASSERT_TRUE(witnessReports->waitForLast(0x2));
    EXPECT_EQ(checks("quiet.example"), 0);
    EXPECT_TRUE(quietReports->all().empty());
    // Scheduling again brings it back.
    ASSERT_TRUE(quiet->schedule());
    platform::announceReachabilityChangeForTesting();
    EXPECT_TRUE(quietReports->waitForLast(0x2));
}

TEST_F(ControlledFlags, TargetsComeAndGoWhileChangesAreAnnounced) {
    // Dropped while their checks are queued or running: nothing may touch a
    // target that has gone (the sanitizer build catches it).
    set("churn.example", 0x2);
    std::atomic<bool> done{false};
    std::thread announcer([&] {
        while (!done.load()) platform::announceReachabilityChangeForTesting();
    });
    std::vector<std::thread> makers;
    for (int t = 0; t < 2; ++t) {
        makers.emplace_back([] {
            // A few stay alive at a time, so some checks find their target.
            std::vector<std::shared_ptr<Reachability>> alive(4);
            for (size_t i = 0; i < 400; ++i) {
                auto target = Reachability::createWithName("churn.example");
                target->setCallback([](uint32_t) {});
                ASSERT_TRUE(target->schedule());
                if (i % 2 == 0) std::this_thread::yield();
                alive[i % alive.size()] = std::move(target);
            }
        });
    }
    for (auto& maker : makers) maker.join();
    done.store(true);
    announcer.join();

    // Afterwards a new target is watched as usual.
    auto survivor = Reachability::createWithName("churn.example");
    auto reports = std::make_shared<Reports>();
    survivor->setCallback(reports->callback(reports));
    ASSERT_TRUE(survivor->schedule());
    platform::announceReachabilityChangeForTesting();
    EXPECT_TRUE(reports->waitForLast(0x2));
}

}  // namespace
