// The standard and Victory sinks and installations against a loopback
// server, and the wait for a host that cannot be reached yet.
#include <gtest/gtest.h>

#include <atomic>

#include "Mayday/Installations/MaydayInstallationStandard.h"
#include "Mayday/Installations/MaydayInstallationVictory.h"
#include "Mayday/Recording/Tools/MDJSONCodecObjC.h"
#include "Mayday/Reporting/Sinks/MaydayReportSinkStandard.h"
#include "Mayday/Reporting/Sinks/MaydayReportSinkVictory.h"
#include "SinkTestSupport.h"
#include "TestHttpServer.h"
#include "platform/net/Reachability.h"
#include "sentry/DataGZip.h"

using platform::Value;
using sinktest::Outcome;

namespace {

Value dict(std::initializer_list<std::pair<const std::string, Value>> items) { return Value::dictionary(items); }

zeltest::TestHttpServer::Response answer(int status, std::string body = {}) {
    zeltest::TestHttpServer::Response response;
    response.status = status;
    response.body = std::move(body);
    return response;
}

// The reports of the one request the server got; its body gunzipped first when `gzipped`.
Value receivedReports(const zeltest::TestHttpServer& server, bool gzipped) {
    const auto requests = server.requests();
    EXPECT_EQ(requests.size(), 1u);
    if (requests.empty()) return Value();
    std::string body = requests[0].body;
    if (gzipped) {
        const auto plain = gunzippedWithError(Value::Bytes(body.begin(), body.end()), nullptr);
        EXPECT_TRUE(plain);
        if (!plain) return Value();
        body.assign(plain->begin(), plain->end());
    }
    const auto parts = sinktest::parseMultipart(requests[0].headers.at("content-type"), body);
    EXPECT_TRUE(parts && parts->size() == 1);
    if (!parts || parts->empty()) return Value();
    const sinktest::Part& part = parts->front();
    EXPECT_EQ(part.name, "reports");
    EXPECT_EQ(part.filename, "reports.json");
    EXPECT_EQ(part.contentType, "application/json");
    return MDJSONCodec::decode(Value::Bytes(part.data.begin(), part.data.end()), 0);
}

std::optional<platform::URL> urlOf(const std::string& text) { return platform::URL::URLWithString(text); }

}  // namespace

TEST(StandardSink, PostsTheReportsAsJSON) {
    zeltest::TestHttpServer server([](const auto&) { return answer(200); });
    auto sink = MaydayReportSinkStandard::sinkWithURL(urlOf(server.url("/reports")));
    EXPECT_EQ(sink->defaultCrashReportFilterSet(), sink);
    const Value reports = Value::array({dict({{"a", 1}}), dict({{"b", Value::array({"x"})}})});
    Outcome outcome;
    sink->filterReports(reports, outcome.completion());
    EXPECT_TRUE(sink->reachableOperation());
    ASSERT_TRUE(outcome.wait());
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_TRUE(outcome.completed) << outcome.errorText();
    EXPECT_EQ(receivedReports(server, false), reports);
    const auto request = server.requests().front();
    EXPECT_EQ(request.headers.at("user-agent"), "MaydayReporter");
    EXPECT_EQ(request.headers.count("content-encoding"), 0u);
}

TEST(StandardSink, EncodingFailureAndRefusal) {
    zeltest::TestHttpServer server([](const auto&) { return answer(404, "no such store"); });
    auto sink = MaydayReportSinkStandard::sinkWithURL(urlOf(server.url("/")));
    Outcome unencodable;
    // Nothing JSON can show: a nil inside an array.
    sink->filterReports(Value::array({Value::array({Value()})}), unencodable.completion());
    EXPECT_EQ(unencodable.calls, 1);
    EXPECT_FALSE(unencodable.completed);
    EXPECT_TRUE(unencodable.error);

    Outcome refused;
    sink->filterReports(Value::array({dict({{"a", 1}})}), refused.completion());
    ASSERT_TRUE(refused.wait());
    ASSERT_TRUE(refused.error);
    EXPECT_EQ(refused.error->code, 404);
    EXPECT_EQ(refused.error->localizedDescription, "no such store");
    EXPECT_EQ(server.requests().size(), 1u);  // the unencodable reports never left
}

TEST(StandardSink, WaitsForTheHost) {
    std::atomic<bool> reachable{false};
    platform::setReachabilityFlagSourceForTesting([&reachable](const std::string&) -> std::optional<uint32_t> {
        return reachable ? platform::kReachabilityFlagReachable : 0u;
    });
    zeltest::TestHttpServer server([](const auto&) { return answer(200); });
    auto sink = MaydayReportSinkStandard::sinkWithURL(urlOf(server.url("/")));
    Outcome outcome;
    sink->filterReports(Value::array({dict({{"a", 1}})}), outcome.completion());
    platform::MainLoop::runUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_EQ(outcome.calls, 0);
    EXPECT_TRUE(server.requests().empty());

    reachable = true;
    platform::announceReachabilityChangeForTesting();
    ASSERT_TRUE(outcome.wait());
    EXPECT_TRUE(outcome.completed) << outcome.errorText();
    EXPECT_EQ(server.requests().size(), 1u);

    // A sink dropped while its host is away still hears its completion once.
    reachable = false;
    auto dropped = MaydayReportSinkStandard::sinkWithURL(urlOf(server.url("/")));
    Outcome abandoned;
    dropped->filterReports(Value::array({dict({{"b", 2}})}), abandoned.completion());
    dropped.reset();
    ASSERT_TRUE(abandoned.wait());
    EXPECT_EQ(abandoned.calls, 1);
    EXPECT_FALSE(abandoned.completed);
    EXPECT_EQ(abandoned.errorText(), "Send abandoned before the host was reachable");
    platform::setReachabilityFlagSourceForTesting(nullptr);
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST(VictorySink, NamesTheUserAndGzipsTheBody) {
    zeltest::TestHttpServer server([](const auto&) { return answer(200); });
    auto sink = MaydayReportSinkVictory::sinkWithURL(urlOf(server.url("/victory")), "", "e@example.com");
    EXPECT_EQ(sink->userName(), Value("unknown"));
    const Value withUser = dict({{"id", 1}, {"user", dict({{"tags", dict({{"seats", 3}})}, {"name", "old"}})}});
    const Value withoutUser = dict({{"id", 2}});
    const Value reports = Value::array({withUser, withoutUser});
    Outcome outcome;
    sink->filterReports(reports, outcome.completion());
    ASSERT_TRUE(outcome.wait());
    EXPECT_TRUE(outcome.completed) << outcome.errorText();
    EXPECT_TRUE(outcome.reports.isSameContainer(reports));

    const Value sent = receivedReports(server, true);
    EXPECT_EQ(sent[0]["user"], dict({{"tags", dict({{"seats", 3}})}, {"name", "unknown"}, {"email", "e@example.com"}}));
    EXPECT_EQ(sent[1]["user"], dict({{"name", "unknown"}, {"email", "e@example.com"}}));
    EXPECT_EQ(server.requests().front().headers.at("content-encoding"), "gzip");
    // What the caller handed in is left alone.
    EXPECT_EQ(withUser["user"]["name"], Value("old"));
    EXPECT_TRUE(withoutUser["user"].isNil());
}

TEST(StandardAndVictoryInstallations, ValidateAndSend) {
    EXPECT_EQ(MaydayInstallationStandard().validateProperties()->localizedDescription,
              "Installation properties failed validation: url (is nil)");
    EXPECT_EQ(MaydayInstallationVictory().validateProperties()->localizedDescription,
              "Installation properties failed validation: url (is nil)");
    EXPECT_EQ(MaydayInstallationStandard::sharedInstance(), MaydayInstallationStandard::sharedInstance());
    EXPECT_EQ(MaydayInstallationVictory::sharedInstance(), MaydayInstallationVictory::sharedInstance());

    zeltest::TestHttpServer server([](const auto&) { return answer(200); });
    MaydayInstallationVictory victory;
    victory.setUrl(urlOf(server.url("/v")));
    victory.setUserName("Ann");
    Outcome outcome;
    victory.sink()->filterReports(Value::array({dict({{"id", 7}})}), outcome.completion());
    ASSERT_TRUE(outcome.wait());
    EXPECT_TRUE(outcome.completed) << outcome.errorText();
    EXPECT_EQ(receivedReports(server, true), Value::array({dict({{"id", 7}, {"user", dict({{"name", "Ann"}})}})}));
}
