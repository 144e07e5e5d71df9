#include <gtest/gtest.h>

#include <atomic>

#include "TestHttpServer.h"
#include "installer/ZELFeedLoader.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/net/URLSession.h"

using namespace zeltest;
using platform::Value;

namespace {
std::shared_ptr<ZELFeedData> parse(const std::string& text) {
    return ZELFeedLoader::feedDataFromData(Value::Bytes(text.begin(), text.end()));
}

const char* kFeed = R"({"platforms":{
  "darwin":{"version":"2.1","product":"Viewer","bundleId":"com.example.viewer",
            "installUrl":"https://example.invalid/dl/Viewer.pkg","file":"x","url":"y",
            "options":{"autoLaunch":true,"displayVersion":false}},
  "linux":{"product":"Other","installUrl":"http://other"}}})";
}  // namespace

TEST(ZELFeedData, ReadsTheDarwinEntryOnly) {
    auto feed = parse(kFeed);
    const auto& darwin = feed->platforms().darwin();
    EXPECT_EQ(darwin.product(), Value("Viewer"));
    EXPECT_EQ(darwin.version(), Value("2.1"));
    EXPECT_EQ(darwin.bundleId(), Value("com.example.viewer"));
    EXPECT_EQ(darwin.installUrl(), Value("https://example.invalid/dl/Viewer.pkg"));
    EXPECT_TRUE(darwin.options().autoLaunch());
    EXPECT_FALSE(darwin.options().displayVersion());
    EXPECT_TRUE(darwin.file().isNil());  // declared, never filled
    EXPECT_TRUE(darwin.url().isNil());
}

TEST(ZELFeedData, MissingOrMistypedLevelsGiveEmptyValues) {
    for (const char* text : {"", "not json", "[1,2]", "42", R"({"platforms":7})", R"({"platforms":{"darwin":"x"}})",
                             R"({"platforms":{"darwin":{"product":"P"}}})"}) {
        auto feed = parse(text);
        ASSERT_NE(feed, nullptr) << text;
        const auto& darwin = feed->platforms().darwin();
        EXPECT_TRUE(darwin.installUrl().isNil()) << text;
        EXPECT_FALSE(darwin.options().autoLaunch()) << text;
        EXPECT_FALSE(darwin.options().displayVersion()) << text;
    }
    EXPECT_EQ(parse(R"({"platforms":{"darwin":{"product":"P"}}})")->platforms().darwin().product(), Value("P"));
}

TEST(ZELFeedData, OptionsFollowBoolValue) {
    auto feed = parse(R"({"platforms":{"darwin":{"options":{"autoLaunch":1,"displayVersion":"yes"}}}})");
    EXPECT_TRUE(feed->platforms().darwin().options().autoLaunch());
    EXPECT_TRUE(feed->platforms().darwin().options().displayVersion());
    // Values are stored untyped: a number where a string belongs stays a number.
    EXPECT_TRUE(parse(R"({"platforms":{"darwin":{"product":12}}})")->platforms().darwin().product().isInteger());
}

class FeedLoaderTest : public ::testing::Test {
protected:
    void SetUp() override { platform::MainLoop::adoptCurrentThreadAsMain(); }

    struct Result {
        int calls = 0;
        bool onMainThread = true;
        std::shared_ptr<ZELFeedData> feed;
        platform::OptionalError error;
    };

    Result load(const std::optional<platform::URL>& url, std::chrono::milliseconds wait = std::chrono::seconds(10)) {
        auto result = std::make_shared<Result>();
        ZELFeedLoader::loadFeedFromURL(url, [result](std::shared_ptr<ZELFeedData> feed, platform::OptionalError error) {
            result->calls++;
            result->onMainThread = result->onMainThread && platform::MainLoop::isMainThread();
            result->feed = std::move(feed);
            result->error = std::move(error);
        });
        platform::MainLoop::runUntil([&] { return result->calls > 0; }, wait);
        // Anything queued by a second, wrong call would run now.
        platform::MainLoop::runUntil([] { return false; }, std::chrono::milliseconds(100));
        return *result;
    }
};

TEST_F(FeedLoaderTest, AFieldOfTheWrongTypeIsAFeedErrorNotAValueToShow) {
    struct Case {
        const char* body;
        const char* reason;
    };
    const Case cases[] = {
        {R"({"platforms":{"darwin":{"product":42,"installUrl":"http://x/p.pkg"}}})",
         "The update feed is not valid: \"platforms/darwin/product\" must be a string."},
        {R"({"platforms":{"darwin":{"product":"P","installUrl":["http://x/p.pkg"]}}})",
         "The update feed is not valid: \"platforms/darwin/installUrl\" must be a string."},
        {R"({"platforms":{"darwin":{"product":"P","options":{"autoLaunch":"yes"}}}})",
         "The update feed is not valid: \"platforms/darwin/options/autoLaunch\" must be true or false."},
        {R"({"platforms":{"darwin":"P"}})", "The update feed is not valid: \"platforms/darwin\" must be an object."},
    };
    for (const Case& c : cases) {
        const std::string body = c.body;
        TestHttpServer server([body](const TestHttpServer::Request&) {
            TestHttpServer::Response r;
            r.body = body;
            return r;
        });
        auto result = load(platform::URL::URLWithString(server.url("/feed.json")));
        EXPECT_EQ(result.calls, 1);
        EXPECT_EQ(result.feed, nullptr) << c.body;
        ASSERT_TRUE(result.error) << c.body;
        EXPECT_EQ(result.error->localizedDescription, c.reason);
    }
    // Numbers still count as booleans, and missing fields are no type error.
    EXPECT_FALSE(ZELFeedLoader::typeErrorOfFeed(platform::JSONSerialization::JSONObjectWithData(
        platform::Value::Bytes{'{', '}'}, platform::JSONSerialization::AllowFragments)));
}

TEST_F(FeedLoaderTest, AnErrorPageIsTheServersAnswerNotAFeedAndTheCacheIsBypassed) {
    TestHttpServer server([](const TestHttpServer::Request&) {
        TestHttpServer::Response r;
        r.status = 404;
        r.body = R"({"platforms":{"darwin":{"product":"FromErrorPage"}}})";
        return r;
    });
    auto result = load(platform::URL::URLWithString(server.url("/feed.json")));
    EXPECT_EQ(result.calls, 1);
    EXPECT_TRUE(result.onMainThread);
    EXPECT_EQ(result.feed, nullptr);
    ASSERT_TRUE(result.error);
    EXPECT_EQ(result.error->localizedDescription, "The server answered 404 (Not Found).");
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].headers["cache-control"], "no-cache");
}

TEST_F(FeedLoaderTest, ARefusedConnectionGivesTheErrorOnce) {
    auto url = platform::URL::URLWithString("http://127.0.0.1:" + std::to_string(TestHttpServer::unusedPort()) + "/f");
    auto result = load(url);
    EXPECT_EQ(result.calls, 1);
    EXPECT_TRUE(result.onMainThread);
    EXPECT_EQ(result.feed, nullptr);
    ASSERT_TRUE(result.error);
    EXPECT_EQ(result.error->domain, platform::kURLErrorDomain);
    EXPECT_EQ(result.error->code, platform::URLErrorCannotConnectToHost);
}

TEST_F(FeedLoaderTest, NoURLMeansNoRequestAndNoCompletion) {
    auto result = load(std::nullopt, std::chrono::milliseconds(200));
    EXPECT_EQ(result.calls, 0);
}
