// Crash sending end to end, with the real installer: one run records its
// failure as a breadcrumb, the next is killed by a fault mid-download, and a
// later start sends the report to a Sentry store endpoint on 127.0.0.1 and
// deletes it only once the server has taken it.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <mutex>
#include <sys/wait.h>

#include "InstallerEndToEnd.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/Value.h"
#include "sentry/DataGZip.h"

using namespace zeltest;
using platform::Value;

namespace {

// A Sentry store endpoint: answers each POST with the status it is told, or
// not at all for a while.
class SentryServer {
public:
    enum class Mode { Answer200, Answer503, NeverAnswer };
    std::atomic<Mode> mode{Mode::Answer200};
    TestHttpServer http{[this](const TestHttpServer::Request&) {
        TestHttpServer::Response response;
        switch (mode.load()) {
        case Mode::Answer200: response.body = R"({"id":"ok"})"; break;
        case Mode::Answer503: response.status = 503; break;
        case Mode::NeverAnswer: std::this_thread::sleep_for(std::chrono::seconds(8)); break;
        }
        return response;
    }};
    std::string dsn() const { return "http://0123456789abcdef@127.0.0.1:" + std::to_string(http.port()) + "/42"; }
};

class CrashSendingEndToEnd : public InstallerEndToEnd {
protected:
    std::string reportsDir() const { return home + "/.cache/Mayday/WebInstaller/Reports"; }
    size_t storedReports() const {
        std::error_code ec;
        size_t count = 0;
        for (auto it = std::filesystem::directory_iterator(reportsDir(), ec);
             !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
            count += it->path().extension() == ".json";
        return count;
    }

    // Run 1 fails at the feed (a breadcrumb); run 2 is killed by SIGSEGV while
    // its download stalls, leaving one report that carries the breadcrumb.
    void crashOnce() {
        feed.status = 404;
        const ChildResult failed = runInstaller(server->url("/feed.json"));
        ASSERT_TRUE(failed.exited) << describe(failed);
        feed.status = 200;
        feed.body = R"({"platforms":{"darwin":{"product":"Demo Product","bundleId":")" + kBundleId +
                    R"(","installUrl":")" + server->url("/Slow.pkg") + R"("}}})";
        runInstaller(server->url("/feed.json"), -1, /*start only*/ true);
        ASSERT_TRUE(waitForDownloadStart()) << "the download never started";
        kill(started, SIGSEGV);
        int status = 0;
        waitpid(started, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << status;
        ASSERT_EQ(storedReports(), 1u);
        feed.body.clear();
        feed.autoLaunch = false;  // the next runs end in the finished state and quit at once
    }

    bool waitForDownloadStart() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            for (const auto& request : server->requests())
                if (request.path == "/Slow.pkg") return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    // The installer run once more, to its end.
    ChildResult start() {
        ChildResult run = runInstaller(server->url("/feed.json"));
        EXPECT_TRUE(run.exited) << describe(run);
        return run;
    }
};

std::string validate(const std::string& eventJSON, const TempDir& scratch) {
    const std::string schema = ZEL_CONFORMANCE_DIR "/sentry-schema/event.schema.json";
    if (!std::filesystem::exists(schema)) return "";  // checked where the schema is present
    writeFile(scratch.file("event.json"), eventJSON);
    const ChildResult check =
        runChild({"/usr/bin/env", "python3", ZEL_SOURCE_DIR "/tools/check_sentry_event.py", schema, scratch.file("event.json")});
    return check.exited && check.exitStatus == 0 ? "" : check.out + check.err;
}

TEST_F(CrashSendingEndToEnd, AFaultMidDownloadIsSentOnceAtTheNextStartWithItsBreadcrumb) {
    SentryServer sentry;
    sentryDSN = sentry.dsn();
    crashOnce();
    sentry.mode = SentryServer::Mode::Answer200;
    start();

    const auto posts = sentry.http.requests();
    ASSERT_EQ(posts.size(), 1u);
    const TestHttpServer::Request& post = posts[0];
    EXPECT_EQ(post.method, "POST");
    EXPECT_EQ(post.path, "/api/42/store/");
    EXPECT_EQ(post.headers.at("content-encoding"), "gzip");
    EXPECT_EQ(post.headers.at("content-type"), "application/json");
    const std::string auth = post.headers.at("x-sentry-auth");
    EXPECT_EQ(auth.rfind("Sentry sentry_version=7,sentry_client=sentry-objc/1.1.0,sentry_timestamp=", 0), 0u) << auth;
    EXPECT_NE(auth.find(",sentry_key=0123456789abcdef"), std::string::npos) << auth;
    EXPECT_EQ(auth.find("sentry_secret"), std::string::npos) << "a DSN without a secret sends none";

    platform::OptionalError error;
    const auto body = gunzippedWithError(Value::Bytes(post.body.begin(), post.body.end()), &error);
    ASSERT_TRUE(body) << platform::describe(error);
    const std::string json(body->begin(), body->end());
    TempDir scratch;
    EXPECT_EQ(validate(json, scratch), "");
    const Value event = platform::JSONSerialization::JSONObjectWithData(json);
    EXPECT_EQ(event["exception"]["values"][0]["mechanism"]["meta"]["signal"]["number"].longLongValue(), SIGSEGV);
    bool breadcrumb = false;
    for (const Value& crumb : event["breadcrumbs"]["values"].arrayItems())
        breadcrumb |= crumb["message"].stringValue().rfind("Could not load feed with error: ", 0) == 0;
    EXPECT_TRUE(breadcrumb) << event["breadcrumbs"].description();
    EXPECT_EQ(storedReports(), 0u);

    start();  // nothing left to send
    EXPECT_EQ(sentry.http.requests().size(), 1u);
}

TEST_F(CrashSendingEndToEnd, AReportTheServerDidNotTakeStaysAndGoesOnceItDoes) {
    SentryServer sentry;
    sentryDSN = sentry.dsn();
    crashOnce();

    sentry.mode = SentryServer::Mode::Answer503;
    start();
    EXPECT_EQ(sentry.http.requests().size(), 1u);
    EXPECT_EQ(storedReports(), 1u) << "kept after 503";

    sentry.mode = SentryServer::Mode::NeverAnswer;
    start();
    EXPECT_EQ(storedReports(), 1u) << "kept when the server never answered";

    const std::string reachable = *sentryDSN;
    sentryDSN = "http://0123456789abcdef@127.0.0.1:" + std::to_string(TestHttpServer::unusedPort()) + "/42";
    start();
    EXPECT_EQ(storedReports(), 1u) << "kept when the connection is refused";

    sentryDSN = reachable;
    sentry.mode = SentryServer::Mode::Answer200;
    start();
    EXPECT_EQ(storedReports(), 0u) << "sent once the server answers";
}

TEST_F(CrashSendingEndToEnd, TheInstallerInstallsWhateverTheDSN) {
    feed.autoLaunch = false;
    for (const std::optional<std::string>& dsn : std::vector<std::optional<std::string>>{
             std::nullopt, std::string(""), std::string("http://0123456789abcdef@127.0.0.1:1/42"),
             std::string("not a dsn"), std::string("ftp://key@host/1"), std::string("http://k%0D%0AX:1@host/1")}) {
        sentryDSN = dsn;
        const ChildResult run = runInstaller(server->url("/feed.json"));
        EXPECT_TRUE(run.exited && run.exitStatus == 0) << (dsn ? *dsn : "(none)") << describe(run);
        EXPECT_EQ(run.err.find("0123456789abcdef"), std::string::npos) << "keys are never logged" << describe(run);
        if (dsn && dsn->find("%0D") != std::string::npos) {
            EXPECT_NE(run.err.find("Sentry: Invalid DSN"), std::string::npos) << describe(run);
        }
    }
}

}  // namespace
