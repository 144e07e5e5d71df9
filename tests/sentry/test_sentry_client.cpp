// The client facade and its breadcrumb store: the files breadcrumbs leave,
// what the crash callback copies into a report, and, in child processes of
// this program (set-up happens once per process), installing, crashing and
// sending the report at the next start.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <filesystem>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "ChildProcess.h"
#include "DeliberateFault.h"
#include "TempDir.h"
#include "TestHttpServer.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/Log.h"
#include "sentry/DataGZip.h"
#include "sentry/MaydayInstallationSentry.h"
#include "sentry/Sentry.h"
#include "sentry/SentryBreadcrumbs.h"
#include "tests/support/ReportFiles.h"

using platform::Value;

namespace {

Value readJSON(const std::string& path) { return platform::JSONSerialization::JSONObjectWithData(zeltest::readFile(path)); }

class LogWatch {
public:
    LogWatch() {
        // Only the client's own lines: other layers may log from other threads.
        platform::setSystemLogObserver([this](const std::string& line) {
            if (line.rfind("Sentry: ", 0) != 0) return;
            std::lock_guard<std::mutex> guard(mutex_);
            lines_.push_back(line);
        });
    }
    ~LogWatch() { platform::setSystemLogObserver({}); }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> guard(mutex_);
        return lines_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

// A fresh store in a temporary directory for each test.
class BreadcrumbStore : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SentryBreadcrumbs::setDirectory(directory_.path())); }
    Value file(int number) { return readJSON(SentryBreadcrumbs::pathForNumber(number)); }
    zeltest::TempDir directory_;
};

TEST_F(BreadcrumbStore, LogMessagesAreCompactRecordsWithoutData) {
    Sentry::logError("Could not load feed with error: boom");
    Sentry::logInfo("second");
    ASSERT_EQ(SentryBreadcrumbs::count(), 2);
    const Value record = file(1);
    EXPECT_EQ(zeltest::readFile(SentryBreadcrumbs::pathForNumber(1)),
              platform::JSONSerialization::dataWithJSONObject(record))
        << "compact JSON";
    EXPECT_EQ(record.allKeys(), (std::vector<std::string>{"category", "level", "message", "timestamp"}));
    EXPECT_EQ(record["category"], Value("log"));
    EXPECT_EQ(record["level"], Value("error"));
    EXPECT_EQ(record["message"], Value("Could not load feed with error: boom"));
    EXPECT_TRUE(std::regex_match(record["timestamp"].stringValue(),
                                 std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} [+-]\d{4})")))
        << record["timestamp"].stringValue();
    EXPECT_EQ(file(2)["level"], Value("info"));
}

TEST_F(BreadcrumbStore, NavigationAndInterfaceEventsCarryTheirData) {
    Sentry::logNavigationFrom(Value(), "Settings", "info");
    Sentry::logNavigationFrom("Home", "Settings", Value());
    Sentry::logUIEventOfType("click", Value(), "debug");
    Sentry::addBreadcrumbOfCategory(Value(), Value(), Value(), Value());
    ASSERT_EQ(SentryBreadcrumbs::count(), 4);
    EXPECT_EQ(file(1)["category"], Value("navigation"));
    EXPECT_EQ(file(1)["data"], Value::dictionary({{"to", "Settings"}}));
    EXPECT_TRUE(file(1)["message"].isNil());
    EXPECT_EQ(file(2)["data"], Value::dictionary({{"from", "Home"}, {"to", "Settings"}}));
    EXPECT_TRUE(file(2)["level"].isNil());
    EXPECT_EQ(file(3)["category"], Value("ui_event"));
    EXPECT_EQ(file(3)["data"], Value::dictionary({{"type", "click"}}));
    EXPECT_EQ(file(4).allKeys(), (std::vector<std::string>{"category", "timestamp"}));
    EXPECT_EQ(file(4)["category"], Value("unknown"));
}

TEST_F(BreadcrumbStore, FailuresAreLoggedAndKeepTheCount) {
    LogWatch log;
    Sentry::logWarning("kept");
    Sentry::addBreadcrumbOfCategory("log", "info", Value(), Value::dictionary({{"bad", Value(std::nan(""))}}));
    EXPECT_EQ(SentryBreadcrumbs::count(), 1);
    // The directory gone: the write fails.
    ASSERT_EQ(0, unlink(SentryBreadcrumbs::pathForNumber(1).c_str()));
    ASSERT_EQ(0, rmdir(directory_.path().c_str()));
    Sentry::logWarning("nowhere to go");
    ASSERT_EQ(0, mkdir(directory_.path().c_str(), 0700));
    EXPECT_EQ(SentryBreadcrumbs::count(), 1);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("Sentry: Error serializing breadcrumb: ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("Sentry: Error writing breadcrumb: ", 0), 0u) << lines[1];
    Sentry::logWarning("next");
    EXPECT_EQ(file(SentryBreadcrumbs::count())["message"], Value("next")) << "numbering goes on without a gap";
}

TEST(BreadcrumbPaths, APathTooLongForTheCrashBufferTurnsBreadcrumbsOff) {
    // Prefix = directory + "/" + "breadcrumbjsondata." and the callback needs
    // room for ten digits and a zero: a 969-byte directory is the longest.
    LogWatch log;
    const std::string fits = "/" + std::string(968, 'a');
    EXPECT_TRUE(SentryBreadcrumbs::setDirectory(fits));
    EXPECT_TRUE(SentryBreadcrumbs::isEnabled());
    EXPECT_TRUE(log.lines().empty());
    EXPECT_FALSE(SentryBreadcrumbs::setDirectory(fits + "a"));
    EXPECT_FALSE(SentryBreadcrumbs::isEnabled());
    EXPECT_EQ(log.lines().size(), 1u);
    Sentry::logError("dropped");
    EXPECT_EQ(SentryBreadcrumbs::count(), 0);
    EXPECT_EQ(SentryBreadcrumbs::pathForNumber(1), "");
}

std::string selfPath() {
    char path[PATH_MAX] = {};
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

// Points the user caches and the main bundle elsewhere for one test.
class CachesAndBundle {
public:
    CachesAndBundle(const std::string& caches, const std::string& bundle) {
        if (const char* value = getenv("XDG_CACHE_HOME")) saved_ = value;
        setenv("XDG_CACHE_HOME", caches.c_str(), 1);
        platform::Bundle::setMainBundlePath(bundle);
    }
    ~CachesAndBundle() {
        if (saved_) setenv("XDG_CACHE_HOME", saved_->c_str(), 1); else unsetenv("XDG_CACHE_HOME");
        platform::Bundle::setMainBundlePath(platform::deletingLastPathComponent(selfPath()));
        SentryBreadcrumbs::setDirectory("");
    }

private:
    std::optional<std::string> saved_;
};

void writeInfo(const std::string& bundle, const std::string& name) {
    zeltest::writeFile(bundle + "/Info.plist",
                       "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
                       "<key>CFBundleName</key><string>" + name + "</string></dict></plist>");
}

TEST(BreadcrumbPaths, TheStoreIsInTheCachesUnderTheBundleName) {
    zeltest::TempDir caches, bundle;
    {
        CachesAndBundle world(caches.path(), bundle.path());  // no Info.plist: no name
        EXPECT_TRUE(Sentry::initializeBreadcrumbs());
        Sentry::logDebug("one");
        EXPECT_TRUE(zeltest::fileExists(caches.path() + "/Breadcrumbs/Unknown/breadcrumbjsondata.1"));
    }
    writeInfo(bundle.path(), "Named");
    CachesAndBundle world(caches.path(), bundle.path());
    EXPECT_TRUE(Sentry::initializeBreadcrumbs());
    Sentry::logDebug("two");
    EXPECT_EQ(readJSON(caches.path() + "/Breadcrumbs/Named/breadcrumbjsondata.1")["message"], Value("two"));
}

TEST(BreadcrumbPaths, ADirectoryThatCannotBeMadeIsLoggedAndFails) {
    zeltest::TempDir temp;
    zeltest::writeFile(temp.file("caches"), "a file where the caches should be");
    LogWatch log;
    CachesAndBundle world(temp.file("caches"), temp.path());
    EXPECT_FALSE(Sentry::initializeBreadcrumbs());
    EXPECT_FALSE(SentryBreadcrumbs::isEnabled());
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].rfind("Sentry: Could not create directory " + temp.file("caches") + "/Breadcrumbs/Unknown: ", 0), 0u)
        << log.lines()[0];
    EXPECT_TRUE(Sentry::ensureDirectoryExists(temp.file("caches"))) << "anything already there will do";
    EXPECT_TRUE(Sentry::ensureDirectoryExists(temp.path() + "/deep/er/still"));
    EXPECT_TRUE(zeltest::fileExists(temp.path() + "/deep/er/still"));
}

TEST(BreadcrumbTimestamp, IsInTheSystemTimeZoneWithMilliseconds) {
    const char* saved = getenv("TZ");
    const std::string savedZone = saved ? saved : "";
    setenv("TZ", "UTC0", 1);
    tzset();
    EXPECT_EQ(SentryBreadcrumbs::timestamp(0.123), "1970-01-01 00:00:00.123 +0000");
    setenv("TZ", "EST5", 1);
    tzset();
    EXPECT_EQ(SentryBreadcrumbs::timestamp(86400 + 59.9996), "1970-01-01 19:00:59.999 -0500");
    if (saved) setenv("TZ", savedZone.c_str(), 1); else unsetenv("TZ");
    tzset();
}

// ---- The crash callback, through a writer that records the calls.

std::vector<std::string> g_calls;

MaydayReportWriter recordingWriter() {
    MaydayReportWriter writer{};
    writer.beginArray = [](const MaydayReportWriter*, const char* name) { g_calls.push_back(std::string("[") + name); };
    writer.addJSONFileElement = [](const MaydayReportWriter*, const char* name, const char* path, bool close) {
        g_calls.push_back((name ? "named " : "") + readJSON(path)["message"].stringValue() + (close ? "" : " open"));
    };
    writer.endContainer = [](const MaydayReportWriter*) { g_calls.push_back("]"); };
    return writer;
}

TEST_F(BreadcrumbStore, TheCrashCallbackEmbedsTheNewestElevenOldestFirst) {
    const MaydayReportWriter writer = recordingWriter();
    g_calls.clear();
    SentryBreadcrumbs::writeToReport(&writer);
    EXPECT_TRUE(g_calls.empty()) << "no breadcrumbs, no array";

    for (int i = 1; i <= 3; i++) Sentry::logInfo("crumb " + std::to_string(i));
    SentryBreadcrumbs::writeToReport(&writer);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"[breadcrumbs", "crumb 1", "crumb 2", "crumb 3", "]"}));

    for (int i = 4; i <= 25; i++) Sentry::logInfo("crumb " + std::to_string(i));
    g_calls.clear();
    SentryBreadcrumbs::writeToReport(&writer);
    std::vector<std::string> expected{"[breadcrumbs"};
    for (int i = 15; i <= 25; i++) expected.push_back("crumb " + std::to_string(i));
    expected.push_back("]");
    EXPECT_EQ(g_calls, expected);
}

TEST_F(BreadcrumbStore, ANewRunKeepsTheNewestElevenOfEarlierRunsRenumberedFromOne) {
    // Earlier runs left 1..5 and, after a gap, 20..28; plus a file of
    // someone else's that merely looks alike.
    for (int n : {1, 2, 3, 4, 5, 20, 21, 22, 23, 24, 25, 26, 27, 28})
        zeltest::writeFile(SentryBreadcrumbs::pathForNumber(n), "{\"message\":\"old " + std::to_string(n) + "\"}");
    zeltest::writeFile(SentryBreadcrumbs::pathForNumber(1) + "x", "{}");
    ASSERT_TRUE(SentryBreadcrumbs::setDirectory(directory_.path()));
    EXPECT_EQ(SentryBreadcrumbs::count(), 11);
    EXPECT_EQ(file(1)["message"], Value("old 4")) << "the three oldest are gone";
    EXPECT_EQ(file(3)["message"], Value("old 20"));
    EXPECT_EQ(file(11)["message"], Value("old 28"));
    for (int n : {12, 20, 28}) EXPECT_FALSE(std::filesystem::exists(SentryBreadcrumbs::pathForNumber(n))) << n;
    EXPECT_TRUE(std::filesystem::exists(SentryBreadcrumbs::pathForNumber(1) + "x"));

    Sentry::logInfo("this run");
    EXPECT_EQ(file(12)["message"], Value("this run"));
    const MaydayReportWriter writer = recordingWriter();
    g_calls.clear();
    SentryBreadcrumbs::writeToReport(&writer);
    ASSERT_EQ(g_calls.size(), 13u);
    EXPECT_EQ(g_calls[1], "old 5");
    EXPECT_EQ(g_calls[2], "old 20");
    EXPECT_EQ(g_calls[11], "this run");
}

// ---- Whole runs in child processes of this program.

constexpr const char* kModeVariable = "ZEL_SENTRY_CHILD_MODE";

// What a child run of this program needs: caches and a bundle of its own.
struct ChildWorld {
    zeltest::TempDir caches, bundle;
    ChildWorld() { writeInfo(bundle.path(), "CrumbTest"); }
    std::string reports() const { return caches.path() + "/Mayday/CrumbTest/Reports"; }
    zeltest::ChildResult run(const std::string& mode, const std::string& dsn, int breadcrumbs = 0) const {
        return zeltest::runChild({selfPath(), "--gtest_also_run_disabled_tests",
                                  "--gtest_filter=DISABLED_SentryChild.RunsTheModeItIsGiven"},
                                 {{kModeVariable, mode},
                                  {"ZEL_SENTRY_CHILD_DSN", dsn},
                                  {"ZEL_SENTRY_CHILD_CRUMBS", std::to_string(breadcrumbs)},
                                  {"XDG_CACHE_HOME", caches.path()},
                                  {platform::kBundlePathEnvironmentVariable, bundle.path()},
                                  // Under the sanitizers the recorder, not the sanitizer, takes the fault.
                                  {"ASAN_OPTIONS", "handle_segv=0:detect_leaks=0"}},
                                 std::chrono::seconds(60));
    }
};

std::string deadDsn() { return "http://public@127.0.0.1:" + std::to_string(zeltest::TestHttpServer::unusedPort()) + "/42"; }

// The program a child runs, chosen by kModeVariable; not run by the suite itself.
TEST(DISABLED_SentryChild, RunsTheModeItIsGiven) {
    const char* mode = getenv(kModeVariable);
    if (mode == nullptr) GTEST_SKIP();
    platform::MainLoop::adoptCurrentThreadAsMain();  // as the installer's window loop does
    const std::string name = mode;
    const std::string dsn = getenv("ZEL_SENTRY_CHILD_DSN");
    Sentry::installWithDsn(dsn);
    if (name == "crash") {
        const int breadcrumbs = atoi(getenv("ZEL_SENTRY_CHILD_CRUMBS"));
        for (int i = 1; i <= breadcrumbs; i++) Sentry::logInfo("crumb " + std::to_string(i));
        zeltest::readAddress(0);
    } else if (name == "twice") {
        Sentry::installWithDsn("http://other@127.0.0.1:1/7");
        printf("dsn=%s\n", Sentry::installation() ? Sentry::installation()->dsn().c_str() : "none");
    } else if (name == "state") {
        Sentry::logError("after");
        printf("installed=%d count=%d\n", Sentry::installation() != nullptr, static_cast<int>(SentryBreadcrumbs::count()));
    } else if (name == "send") {
        printf("finished=%d\n", Sentry::waitForPendingSends(std::chrono::seconds(20)));
    }
    fflush(stdout);
}

TEST(SentryClientRun, ACrashCarriesTheNewestBreadcrumbsAndTheNextStartSendsIt) {
    ChildWorld world;
    const zeltest::ChildResult crashed = world.run("crash", deadDsn(), 25);
    EXPECT_EQ(crashed.signal, SIGSEGV) << crashed.err;
    const auto files = zeltest::filesIn(world.reports());
    ASSERT_EQ(files.size(), 1u) << crashed.err;
    const Value report = zeltest::decodeReport(zeltest::readFile(world.reports() + "/" + files[0]));
    const Value crumbs = report["user"]["breadcrumbs"];
    ASSERT_EQ(crumbs.count(), 11u) << report["user"].description();
    for (int i = 0; i < 11; i++) EXPECT_EQ(crumbs[i]["message"], Value("crumb " + std::to_string(15 + i)));
    EXPECT_EQ(crumbs[0]["category"], Value("log"));

    zeltest::TestHttpServer server([](const zeltest::TestHttpServer::Request&) { return zeltest::TestHttpServer::Response{}; });
    const zeltest::ChildResult sent = world.run("send", "http://abc123@127.0.0.1:" + std::to_string(server.port()) + "/42");
    EXPECT_NE(sent.out.find("finished=1"), std::string::npos) << sent.out << sent.err;
    EXPECT_NE(sent.err.find("Sentry: 1 reports sent"), std::string::npos) << sent.err;
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].path, "/api/42/store/");
    auto body = gunzippedWithError(Value::Bytes(requests[0].body.begin(), requests[0].body.end()), nullptr);
    ASSERT_TRUE(body);
    const Value event = platform::JSONSerialization::JSONObjectWithData(*body);
    EXPECT_EQ(event["breadcrumbs"]["values"].count(), 11u) << event["breadcrumbs"].description();
    EXPECT_TRUE(zeltest::filesIn(world.reports()).empty()) << "delivered, so deleted";
}

TEST(SentryClientRun, ACrashWithoutBreadcrumbsHasNoBreadcrumbsMember) {
    ChildWorld world;
    const zeltest::ChildResult crashed = world.run("crash", deadDsn(), 0);
    EXPECT_EQ(crashed.signal, SIGSEGV) << crashed.err;
    const auto files = zeltest::filesIn(world.reports());
    ASSERT_EQ(files.size(), 1u) << crashed.err;
    const Value user = zeltest::decodeReport(zeltest::readFile(world.reports() + "/" + files[0]))["user"];
    EXPECT_TRUE(user.isDictionary());
    EXPECT_TRUE(user["breadcrumbs"].isNil()) << user.description();
}

TEST(SentryClientRun, AFailedSendKeepsTheReportForTheNextStart) {
    ChildWorld world;
    ASSERT_EQ(world.run("crash", deadDsn(), 2).signal, SIGSEGV);
    ASSERT_EQ(zeltest::filesIn(world.reports()).size(), 1u);
    zeltest::TestHttpServer server([](const zeltest::TestHttpServer::Request&) {
        zeltest::TestHttpServer::Response response;
        response.status = 503;
        return response;
    });
    const zeltest::ChildResult sent = world.run("send", "http://abc123@127.0.0.1:" + std::to_string(server.port()) + "/42");
    EXPECT_NE(sent.out.find("finished=1"), std::string::npos) << sent.err;
    EXPECT_NE(sent.err.find("Sentry: Failed to send reports: "), std::string::npos) << sent.err;
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(zeltest::filesIn(world.reports()).size(), 1u);
}

TEST(SentryClientRun, ASecondInstallChangesNothing) {
    ChildWorld world;
    const zeltest::ChildResult run = world.run("twice", "  https://first@127.0.0.1:1/3\n");
    EXPECT_TRUE(run.exited && run.exitStatus == 0) << run.err;
    EXPECT_NE(run.out.find("dsn=https://first@127.0.0.1:1/3\n"), std::string::npos) << run.out;
}

TEST(SentryClientRun, AnInvalidDsnLeavesReportingOffAndTheProgramRunning) {
    ChildWorld world;
    const zeltest::ChildResult invalid = world.run("state", "https://se cret@127.0.0.1/1");
    EXPECT_TRUE(invalid.exited && invalid.exitStatus == 0) << invalid.err;
    EXPECT_NE(invalid.out.find("installed=0 count=0"), std::string::npos) << invalid.out;
    EXPECT_NE(invalid.err.find("Sentry: Invalid DSN"), std::string::npos) << invalid.err;
    EXPECT_EQ(invalid.err.find("cret"), std::string::npos) << "never the key: " << invalid.err;

    const zeltest::ChildResult valid = world.run("state", deadDsn());
    EXPECT_TRUE(valid.exited && valid.exitStatus == 0) << valid.err;
    EXPECT_NE(valid.out.find("installed=1 count=1"), std::string::npos) << valid.out;
    EXPECT_TRUE(readJSON(world.caches.path() + "/Breadcrumbs/CrumbTest/breadcrumbjsondata.1")["message"] == Value("after"));
}

}  // namespace
