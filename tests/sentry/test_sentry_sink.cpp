// The Sentry sink and installation against a loopback server: what is sent,
// and which reports the send completes with (those may be deleted).
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "TestHttpServer.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/net/URLSession.h"
#include "sentry/DataGZip.h"
#include "sentry/MaydayInstallationSentry.h"
#include "sentry/MaydayReportSinkSentry.h"

using platform::MainLoop;
using platform::Value;
using zeltest::TestHttpServer;

namespace {

Value signalReport(const std::string& id) {
    return platform::JSONSerialization::JSONObjectWithData(
        R"({"report": {"id": ")" + id + R"(", "timestamp": "2026-12-08T08:41:15Z", "type": "standard"},
            "system": {"system_name": "Linux", "CFBundleName": "Demo"},
            "crash": {"error": {"type": "signal", "signal": {"signal": 11, "name": "SIGSEGV"}},
                      "threads": [{"index": 0, "crashed": true, "backtrace": {"contents": []}}]}})");
}

// An error type no interpreter handles.
Value deadlockReport(const std::string& id) {
    return platform::JSONSerialization::JSONObjectWithData(
        R"({"report": {"id": ")" + id + R"(", "timestamp": "2026-12-08T08:41:15Z", "type": "standard"},
            "crash": {"error": {"type": "deadlock"}}})");
}

const char* const kIdA = "1E11C277-17AA-4AEE-811C-BE72D046DFAA";
const char* const kIdB = "1E11C277-17AA-4AEE-811C-BE72D046DFBB";
const char* const kIdC = "1E11C277-17AA-4AEE-811C-BE72D046DFCC";

// The event a request carried.
Value eventOf(const TestHttpServer::Request& request) {
    platform::OptionalError error;
    auto plain = gunzippedWithError(Value::Bytes(request.body.begin(), request.body.end()), &error);
    if (!plain) return Value();
    return platform::JSONSerialization::JSONObjectWithData(*plain);
}

// "1e11c27717aa4aee811cbe72d046dfaa" for kIdA.
bool isEventOf(const Value& event, const std::string& id) {
    std::string expected;
    for (char c : id)
        if (c != '-') expected.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    return event["event_id"].stringValue() == expected;
}

std::string dsnFor(int port) { return "http://public@127.0.0.1:" + std::to_string(port) + "/42"; }

struct Outcome {
    std::mutex mutex;
    int calls = 0;
    Value reports;
    bool completed = false;
    platform::OptionalError error;
};

std::shared_ptr<Outcome> start(MaydayReportFilter& sink, const Value& reports) {
    auto outcome = std::make_shared<Outcome>();
    sink.filterReports(reports, [outcome](Value filtered, bool completed, platform::OptionalError error) {
        std::lock_guard<std::mutex> guard(outcome->mutex);
        outcome->calls++;
        outcome->reports = std::move(filtered);
        outcome->completed = completed;
        outcome->error = std::move(error);
        platform::DispatchQueue::main().async([] {});  // wakes the waiting main loop
    });
    return outcome;
}

int callsOf(Outcome& outcome) {
    std::lock_guard<std::mutex> guard(outcome.mutex);
    return outcome.calls;
}

// Runs the main queue until the completion came, then a little longer so
// that a second call would be seen.
std::shared_ptr<Outcome> send(MaydayReportFilter& sink, const Value& reports) {
    auto outcome = start(sink, reports);
    EXPECT_TRUE(MainLoop::runUntil([&] { return callsOf(*outcome) > 0; }, std::chrono::seconds(20)));
    MainLoop::runUntil([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_EQ(callsOf(*outcome), 1);
    return outcome;
}

bool holdsExactly(const Value& output, std::initializer_list<Value> reports) {
    if (output.count() != reports.size()) return false;
    size_t i = 0;
    for (const Value& report : reports)
        if (!output[i++].isSameContainer(report)) return false;
    return true;
}

// Answers by the event's report: `status` for a report, 200 for the rest.
struct StatusByReport {
    std::map<std::string, TestHttpServer::Response> answers;
    TestHttpServer::Response operator()(const TestHttpServer::Request& request) const {
        const Value event = eventOf(request);
        for (const auto& [id, response] : answers)
            if (isEventOf(event, id)) return response;
        return {};
    }
};

TestHttpServer::Response status(int code, std::map<std::string, std::string> headers = {}) {
    TestHttpServer::Response response;
    response.status = code;
    response.headers = std::move(headers);
    return response;
}

class SendTimeout {
public:
    explicit SendTimeout(std::chrono::milliseconds timeout) : saved_(MaydayReportSinkSentry::sendTimeout()) {
        MaydayReportSinkSentry::setSendTimeout(timeout);
    }
    ~SendTimeout() { MaydayReportSinkSentry::setSendTimeout(saved_); }

private:
    std::chrono::milliseconds saved_;
};

TEST(SentrySink, EveryReportIsOneRequestEvenWithoutAnInterpreter) {
    TestHttpServer server([](const TestHttpServer::Request&) { return TestHttpServer::Response{}; });
    auto sink = MaydayReportSinkSentry::sinkWithDsn(dsnFor(server.port()));
    const Value a = signalReport(kIdA), b = deadlockReport(kIdB), c = signalReport(kIdC);
    auto outcome = send(*sink, Value::array({a, b, c}));

    EXPECT_TRUE(outcome->completed);
    EXPECT_FALSE(outcome->error) << platform::describe(outcome->error);
    EXPECT_TRUE(holdsExactly(outcome->reports, {a, b, c})) << outcome->reports.description();
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    int deadlockEvents = 0;
    for (const auto& request : requests) {
        EXPECT_EQ(request.method, "POST");
        EXPECT_EQ(request.path, "/api/42/store/");
        const Value event = eventOf(request);
        ASSERT_TRUE(event.isDictionary()) << request.body.size();
        if (isEventOf(event, kIdB)) {
            deadlockEvents++;
            EXPECT_TRUE(event["exception"].isDictionary()) << event.description();
        }
    }
    EXPECT_EQ(deadlockEvents, 1);
    EXPECT_NE(sink->reachableOperation(), nullptr);
}

TEST(SentrySink, AnEmptyListCompletesAtOnceWithoutWaitingForTheHost) {
    auto sink = MaydayReportSinkSentry::sinkWithDsn(dsnFor(TestHttpServer::unusedPort()));
    auto outcome = start(*sink, Value::array());
    EXPECT_EQ(callsOf(*outcome), 1);  // before filterReports returned
    EXPECT_TRUE(outcome->completed);
    EXPECT_FALSE(outcome->error);
    EXPECT_EQ(outcome->reports.count(), 0u);
    EXPECT_EQ(sink->reachableOperation(), nullptr);
}

TEST(SentrySink, AServerErrorKeepsOnlyThatReport) {
    StatusByReport answers;
    answers.answers[kIdB] = status(500);
    TestHttpServer server(answers);
    auto sink = MaydayReportSinkSentry::sinkWithDsn(dsnFor(server.port()));
    const Value a = signalReport(kIdA), b = signalReport(kIdB);
    auto outcome = send(*sink, Value::array({a, b}));

    EXPECT_FALSE(outcome->completed);
    ASSERT_TRUE(outcome->error);
    EXPECT_EQ(outcome->error->code, 500);
    EXPECT_TRUE(holdsExactly(outcome->reports, {a})) << "only the delivered one may be deleted";
    EXPECT_EQ(server.requests().size(), 2u);
}

TEST(SentrySink, RefusedReportsCompleteTooAndAreCountedApart) {
    StatusByReport answers;
    answers.answers[kIdA] = status(400);
    answers.answers[kIdC] = status(413);
    TestHttpServer server(answers);
    MaydayInstallationSentry installation;
    installation.setDsn(dsnFor(server.port()));
    auto sink = installation.sink();
    ASSERT_TRUE(sink->completesWithDeliveredReports());
    const Value a = signalReport(kIdA), b = signalReport(kIdB), c = signalReport(kIdC);
    auto outcome = send(*sink, Value::array({a, b, c}));

    EXPECT_TRUE(outcome->completed) << "a refusal is final";
    EXPECT_FALSE(outcome->error);
    EXPECT_TRUE(holdsExactly(outcome->reports, {a, b, c}));
    EXPECT_EQ(installation.deliveredReportCount(outcome->reports), 1u);
}

TEST(SentrySink, ShortRetryAfterIsHonouredOnceWithinTheSend) {
    std::mutex mutex;
    int seen = 0;
    TestHttpServer server([&](const TestHttpServer::Request&) {
        std::lock_guard<std::mutex> guard(mutex);
        return ++seen == 1 ? status(429, {{"Retry-After", "1"}}) : status(200);
    });
    auto sink = MaydayReportSinkSentry::sinkWithDsn(dsnFor(server.port()));
    const Value a = signalReport(kIdA);
    auto outcome = send(*sink, Value::array({a}));

    EXPECT_TRUE(outcome->completed);
    EXPECT_FALSE(outcome->error) << platform::describe(outcome->error);
    EXPECT_TRUE(holdsExactly(outcome->reports, {a}));
    EXPECT_EQ(server.requests().size(), 2u);
}

TEST(SentrySink, LongRetryAfterOrARepeated429KeepsTheReport) {
    for (const char* retryAfter : {"120", "0"}) {
        TestHttpServer server([&](const TestHttpServer::Request&) { return status(429, {{"Retry-After", retryAfter}}); });
        auto sink = MaydayReportSinkSentry::sinkWithDsn(dsnFor(server.port()));
        auto outcome = send(*sink, Value::array({signalReport(kIdA)}));

        EXPECT_FALSE(outcome->completed) << retryAfter;
        ASSERT_TRUE(outcome->error) << retryAfter;
        EXPECT_EQ(outcome->error->code, 429);
        EXPECT_EQ(outcome->reports.count(), 0u) << retryAfter;
        // 120 s is left for the next start; "0" is tried once more, then kept.
        EXPECT_EQ(server.requests().size(), std::string(retryAfter) == "0" ? 2u : 1u) << retryAfter;
    }
}

TEST(SentrySink, AServerThatNeverAnswersEndsAtTheTimeOut) {
    SendTimeout shortTimeout(std::chrono::milliseconds(1500));
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
    TestHttpServer server([&](const TestHttpServer::Request& request) {
        if (isEventOf(eventOf(request), kIdA)) return status(200);
        std::unique_lock<std::mutex> lock(mutex);
        released.wait(lock, [&] { return release; });
        return status(200);
    });
    auto sink = MaydayReportSinkSentry::sinkWithDsn(dsnFor(server.port()));
    const Value a = signalReport(kIdA), b = signalReport(kIdB);
    auto outcome = send(*sink, Value::array({a, b}));
    {
        std::lock_guard<std::mutex> guard(mutex);
        release = true;
    }
    released.notify_all();

    EXPECT_FALSE(outcome->completed);
    ASSERT_TRUE(outcome->error);
    EXPECT_EQ(outcome->error->domain, platform::kURLErrorDomain);
    EXPECT_EQ(outcome->error->code, platform::URLErrorTimedOut);
    EXPECT_TRUE(holdsExactly(outcome->reports, {a})) << "the hanging one stays stored";
}

TEST(SentrySink, ARefusedConnectionKeepsEverything) {
    auto sink = MaydayReportSinkSentry::sinkWithDsn(dsnFor(TestHttpServer::unusedPort()));
    auto outcome = send(*sink, Value::array({signalReport(kIdA), signalReport(kIdB)}));
    EXPECT_FALSE(outcome->completed);
    ASSERT_TRUE(outcome->error);
    EXPECT_EQ(outcome->error->code, platform::URLErrorCannotConnectToHost) << outcome->error->description();
    EXPECT_EQ(outcome->reports.count(), 0u);
}

TEST(SentrySink, AnInvalidDsnSendsNothingAndNamesNoKey) {
    auto sink = MaydayReportSinkSentry::sinkWithDsn("http://se\r\ncret@127.0.0.1:1/42");
    auto outcome = start(*sink, Value::array({signalReport(kIdA)}));
    ASSERT_EQ(callsOf(*outcome), 1);
    EXPECT_FALSE(outcome->completed);
    ASSERT_TRUE(outcome->error);
    EXPECT_EQ(outcome->error->description().find("cret"), std::string::npos) << outcome->error->description();
    EXPECT_EQ(outcome->reports.count(), 0u);
    EXPECT_EQ(sink->reachableOperation(), nullptr);
}

TEST(SentryInstallation, NeedsADsnAndMakesASinkForIt) {
    MaydayInstallationSentry installation;
    auto error = installation.validateProperties();
    ASSERT_TRUE(error);
    EXPECT_NE(error->localizedDescription.find("dsn (is nil)"), std::string::npos) << error->localizedDescription;

    installation.setDsn("https://abc@127.0.0.1/7");
    EXPECT_FALSE(installation.validateProperties());
    auto sink = std::dynamic_pointer_cast<MaydayReportSinkSentry>(installation.sink());
    ASSERT_NE(sink, nullptr);
    EXPECT_EQ(sink->dsn(), "https://abc@127.0.0.1/7");
    EXPECT_NE(installation.sink(), sink) << "a sink per send";
}

}  // namespace
