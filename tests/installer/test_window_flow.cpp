#include <gtest/gtest.h>

#include <algorithm>

#include <atomic>
#include <mutex>

#include <sys/stat.h>

#include "FakeUI.h"
#include "InstallerTestSupport.h"
#include "TestHttpServer.h"
#include "installer/ZELInstallerWindow.h"
#include "installer/ZELPackageVerifier.h"
#include "installer/ZELTransferMeter.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/ui/Application.h"

using namespace zeltest;

namespace {

std::string feedJSON(const std::string& installUrl, bool autoLaunch, bool displayVersion) {
    return std::string(R"({"platforms":{"darwin":{"version":"2.1","product":"Viewer","bundleId":"com.example.viewer.test",)") +
           "\"installUrl\":\"" + installUrl + "\",\"options\":{\"autoLaunch\":" + (autoLaunch ? "true" : "false") +
           ",\"displayVersion\":" + (displayVersion ? "true" : "false") + "}}}}";
}

class InstallerFlowTest : public ::testing::Test {
protected:
    struct Options {
        bool autoLaunch = false;
        bool displayVersion = true;
        int installerStatus = 0;
        int packageStatus = 200;
        std::string feedBody;  // instead of the generated feed
        bool refuseFeed = false;
        int installerSeconds = 0;
        std::string sha256;  // the feed's checksum of the package, when set
        int droppedPackageAnswers = 0;  // answers for the package that lose the connection half way
        bool packageWithoutLength = false;
        int packageChunkDelayMs = 0;
        bool closeDuringInstall = false;  // the user closes the window while the package installs
    };

    void SetUp() override {
        platform::MainLoop::adoptCurrentThreadAsMain();
        platform::Application::sharedApplication().setExitStatus(0);
        ui.install();
        logObserver = std::make_shared<LogLines>();
        auto lines = logObserver;
        platform::setSystemLogObserver([lines](const std::string& line) { lines->add(line); });
    }
    void TearDown() override {
        platform::setSystemLogObserver(nullptr);
        ZELInstallerWindow::setClassLookup([](const std::string&) { return true; });
    }

    void run(const Options& options) {
        server = std::make_unique<TestHttpServer>([this, options](const TestHttpServer::Request& request) {
            TestHttpServer::Response r;
            if (request.path == "/feed.json") {
                r.body = options.feedBody.empty()
                             ? feedJSON(server->url("/Viewer.pkg"), options.autoLaunch, options.displayVersion)
                             : options.feedBody;
                if (!options.sha256.empty())
                    r.body.replace(r.body.find("\"installUrl\""), 0, "\"sha256\":\"" + options.sha256 + "\",");
            } else if (request.path == "/Viewer.pkg" && options.droppedPackageAnswers > 0) {
                // Resumable: an ETag, and Range honoured while If-Range matches it.
                const uint64_t size = 3 * 1024 * 1024 + 17;
                const std::string full = TestHttpServer::generatedBody(size);
                r.headers["ETag"] = "\"1\"";
                uint64_t from = 0;
                auto range = request.headers.find("range");
                auto ifRange = request.headers.find("if-range");
                if (range != request.headers.end() && ifRange != request.headers.end() && ifRange->second == "\"1\"") {
                    from = std::stoull(range->second.substr(range->second.find('=') + 1));
                    r.status = 206;
                    r.headers["Content-Range"] = "bytes " + std::to_string(from) + "-" + std::to_string(size - 1) +
                                                 "/" + std::to_string(size);
                }
                r.body = full.substr(from);
                if (packageAnswers.fetch_add(1) < options.droppedPackageAnswers) r.truncateAfter = 512 * 1024;
            } else if (request.path == "/Viewer.pkg") {
                r.status = options.packageStatus;
                r.generatedBodySize = 3 * 1024 * 1024 + 17;
                r.omitContentLength = options.packageWithoutLength;
                r.delayPerChunkMs = options.packageChunkDelayMs;
            } else {
                r.status = 404;
            }
            return r;
        });
        std::string feedURL = options.refuseFeed
                                  ? "http://127.0.0.1:" + std::to_string(TestHttpServer::unusedPort()) + "/feed.json"
                                  : server->url("/feed.json");
        bundle = std::make_unique<TestBundle>(std::map<std::string, std::string>{
            {"UPDATE_URL", feedURL}, {"APP_ICON", "AppIcon"}, {"CFBundleName", "Installer"}});
        installer = std::make_unique<StandInInstaller>(options.installerStatus, options.installerSeconds);
        window = std::make_shared<ZELInstallerWindow>(ui.loadMainWindow());
        window->awakeFromNib();
        bool closed = false;
        platform::MainLoop::runUntil(
            [&] {
                if (options.closeDuringInstall && !closed && ui.statusText.value.rfind("Installing", 0) == 0) {
                    closed = true;
                    platform::Application::sharedApplication().terminate();
                    closedWhileInstalling = !ui.terminated;
                }
                return ui.terminated || ui.has("quit: shown");
            },
            std::chrono::seconds(30));
        // Late reports (a second completion, stray progress) would arrive now.
        platform::MainLoop::runUntil([] { return false; }, std::chrono::milliseconds(200));
    }

    bool logged(const std::string& line) const {
        for (const auto& l : logObserver->snapshot())
            if (l == line) return true;
        return false;
    }
    size_t loggedCount(const std::string& prefix) const {
        size_t n = 0;
        for (const auto& l : logObserver->snapshot()) n += l.rfind(prefix, 0) == 0;
        return n;
    }
    std::string packagePath() const { return ZELInstallationManager::downloadDirectory() + "tmp-Viewer.pkg"; }

    // Lines come from the main thread and the background queues alike.
    struct LogLines {
        std::mutex mutex;
        std::vector<std::string> lines;
        void add(const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex);
            lines.push_back(line);
        }
        std::vector<std::string> snapshot() {
            std::lock_guard<std::mutex> lock(mutex);
            return lines;
        }
    };

    FakeUI ui;
    std::shared_ptr<LogLines> logObserver;
    std::unique_ptr<TestHttpServer> server;
    std::unique_ptr<TestBundle> bundle;
    std::unique_ptr<StandInInstaller> installer;
    bool closedWhileInstalling = false;  // the close did not end the run at once
    std::atomic<int> packageAnswers{0};
    std::shared_ptr<ZELInstallerWindow> window;
};

TEST_F(InstallerFlowTest, InstallsAndShowsTheFinishedState) {
    run({});
    ASSERT_TRUE(ui.has("quit: shown")) << ui.dump();
    EXPECT_FALSE(ui.terminated);
    EXPECT_TRUE(ui.alerts.empty()) << ui.dump();

    // The states in order, with their texts.
    size_t loading = ui.indexOf("status: Loading");
    size_t downloading = ui.indexOf("status: Downloading Viewer - 2.1");
    size_t installing = ui.indexOf("status: Installing Viewer");  // never with the version
    size_t installed = ui.indexOf("status: Installed Viewer");
    ASSERT_NE(loading, std::string::npos) << ui.dump();
    EXPECT_LT(loading, downloading);
    EXPECT_LT(downloading, installing);
    EXPECT_LT(installing, installed);
    EXPECT_EQ(ui.indexOf("status: Installing Viewer - "), std::string::npos);
    EXPECT_NE(ui.indexOf("icon: " + bundle->dir.file("Resources/AppIcon.png")), std::string::npos) << ui.dump();

    // Progress rises to 100 and every report is logged with two decimals.
    ASSERT_FALSE(ui.progressValues.empty());
    for (size_t i = 1; i < ui.progressValues.size(); ++i) EXPECT_GE(ui.progressValues[i], ui.progressValues[i - 1]);
    EXPECT_DOUBLE_EQ(ui.progressValues.back(), 100.0);
    EXPECT_TRUE(logged("Progress is 100.00"));
    EXPECT_EQ(loggedCount("Progress is "), ui.progressValues.size());

    // Busy animation for the install, then the end state.
    EXPECT_LT(ui.indexOf("progress: indeterminate"), ui.indexOf("progress: start animation"));
    EXPECT_LT(installing, ui.indexOf("quit: title Finish"));
    EXPECT_TRUE(ui.progress.hidden);
    EXPECT_FALSE(ui.quitButton.hidden);
    EXPECT_EQ(ui.countOf("attention: 0"), 2u);
    EXPECT_TRUE(logged("Install complete"));
    EXPECT_TRUE(logged("Downloaded"));
    EXPECT_TRUE(logged("product: Viewer - 2.1"));

    // The package installer got exactly its seven arguments; the package is gone.
    std::string args = readFile(installer->argsFile);
    EXPECT_EQ(args, installer->script + "\n-dumplog\n-verbose\n-pkg\n" + packagePath() +
                        "\n-target\nCurrentUserHomeDirectory\n");
    EXPECT_FALSE(fileExists(packagePath()));

    // The download completion ran once: the invalidation that follows only logs.
    EXPECT_TRUE(logged("Failed with error: (null)"));
    EXPECT_EQ(loggedCount("Downloaded"), 1u);

    // The quit button quits.
    ASSERT_TRUE(ui.quitButton.action);
    ui.quitButton.action();
    EXPECT_TRUE(ui.terminated);
}

TEST_F(InstallerFlowTest, AutoLaunchAsksTheWorkspaceAndQuits) {
    Options o; o.autoLaunch = true; o.displayVersion = false;
    run(o);
    EXPECT_TRUE(ui.terminated) << ui.dump();
    EXPECT_NE(ui.indexOf("status: Downloading Viewer"), std::string::npos);
    EXPECT_EQ(ui.indexOf("status: Downloading Viewer - "), std::string::npos);
    EXPECT_LT(ui.indexOf("status: Launching Viewer"), ui.indexOf("terminate"));
    EXPECT_FALSE(ui.has("quit: shown"));
    EXPECT_TRUE(logged("Install complete"));
}

TEST_F(InstallerFlowTest, AFailedInstallKeepsThePackageAndShowsTheInstallError) {
    Options o; o.installerStatus = 1;
    run(o);
    ASSERT_EQ(ui.alerts.size(), 1u) << ui.dump();
    EXPECT_EQ(ui.alerts[0].messageText, "Error");
    EXPECT_EQ(ui.alerts[0].informativeText, "Failed: Installation could not be completed.");
    EXPECT_EQ(ui.alerts[0].buttons, std::vector<std::string>{"Quit"});
    EXPECT_EQ(ui.alerts[0].style, platform::AlertStyle::Warning);
    EXPECT_TRUE(ui.terminated);
    EXPECT_EQ(ui.countOf("attention: 0"), 1u);
    EXPECT_TRUE(fileExists(packagePath()));
    EXPECT_FALSE(logged("Install complete"));
}

class ClosingDuringTheInstall : public InstallerFlowTest, public ::testing::WithParamInterface<int> {};

TEST_P(ClosingDuringTheInstall, WaitsForThePackageInstallerThenQuitsWithItsOutcome) {
    Options o;
    o.installerSeconds = 1;
    o.closeDuringInstall = true;
    o.installerStatus = GetParam();
    run(o);
    EXPECT_TRUE(closedWhileInstalling) << "the close must wait for the install";
    EXPECT_TRUE(ui.terminated);
    EXPECT_EQ(readFile(installer->doneFile), "done\n") << "quit before the package installer ended";
    EXPECT_TRUE(ui.alerts.empty()) << ui.dump();  // the user asked to quit: no alert follows
    EXPECT_EQ(platform::Application::sharedApplication().exitStatus(), GetParam() == 0 ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(InstallerOutcomes, ClosingDuringTheInstall, ::testing::Values(0, 1));

TEST_F(InstallerFlowTest, ADamagedPackageIsNeitherKeptNorInstalled) {
    Options o;
    o.sha256 = std::string(64, 'a');
    run(o);
    ASSERT_EQ(ui.alerts.size(), 1u) << ui.dump();
    EXPECT_EQ(ui.alerts[0].informativeText, "Failed: The downloaded package is damaged (checksum mismatch).");
    EXPECT_FALSE(fileExists(packagePath()));
    EXPECT_TRUE(readFile(installer->argsFile).empty());
}

TEST_F(InstallerFlowTest, APackageWithItsChecksumIsInstalled) {
    Options o;
    TempDir scratch;
    writeFile(scratch.file("p"), TestHttpServer::generatedBody(3 * 1024 * 1024 + 17));
    o.sha256 = ZELPackageVerifier::sha256OfFile(scratch.file("p"));
    run(o);
    EXPECT_TRUE(ui.alerts.empty()) << ui.dump();
    EXPECT_TRUE(logged("Install complete"));
}

TEST_F(InstallerFlowTest, ADroppedDownloadResumesFromTheBytesOnDisk) {
    Options o;
    o.droppedPackageAnswers = 2;
    TempDir scratch;
    writeFile(scratch.file("p"), TestHttpServer::generatedBody(3 * 1024 * 1024 + 17));
    o.sha256 = ZELPackageVerifier::sha256OfFile(scratch.file("p"));  // the resumed file is the whole package
    run(o);
    EXPECT_TRUE(ui.alerts.empty()) << ui.dump();
    EXPECT_TRUE(logged("Install complete"));
    EXPECT_EQ(loggedCount("Download interrupted"), 2u);
    const auto requests = server->requests();
    size_t ranged = 0;
    for (const auto& request : requests) ranged += request.headers.count("range");
    EXPECT_EQ(ranged, 2u);
    // The bar never went back.
    for (size_t i = 1; i < ui.progressValues.size(); i++) EXPECT_GE(ui.progressValues[i], ui.progressValues[i - 1]);
}

TEST_F(InstallerFlowTest, ADownloadThatKeepsDroppingFailsAfterThreeResumes) {
    Options o;
    o.droppedPackageAnswers = 100;
    run(o);
    ASSERT_EQ(ui.alerts.size(), 1u) << ui.dump();
    EXPECT_EQ(loggedCount("Download interrupted"), 3u);
    EXPECT_TRUE(readFile(installer->argsFile).empty());
}

TEST_F(InstallerFlowTest, WithoutALengthTheBarPulsesAndShowsTheBytesReceived) {
    Options o;
    o.packageWithoutLength = true;
    run(o);
    EXPECT_TRUE(ui.has("progress: indeterminate")) << ui.dump();
    EXPECT_TRUE(ui.has("progress: start animation"));
    ASSERT_FALSE(ui.details.empty());
    EXPECT_NE(std::find(ui.details.begin(), ui.details.end(), "3.1 MB received"), ui.details.end());
    EXPECT_TRUE(logged("Install complete"));
}

TEST_F(InstallerFlowTest, AStalledServerIsSaidAndTheDownloadGoesOn) {
    ZELInstallationManager::setStallLimitForTesting(std::chrono::milliseconds(150));
    Options o;
    o.packageChunkDelayMs = 400;  // each 64 KiB waits longer than the stall limit
    o.droppedPackageAnswers = 0;
    run(o);
    ZELInstallationManager::setStallLimitForTesting(std::chrono::seconds(15));
    EXPECT_TRUE(ui.has("status: Waiting for the server\u2026")) << ui.dump();
    // The downloading text comes back once data flows again.
    auto waiting = std::find(ui.events.begin(), ui.events.end(), "status: Waiting for the server\u2026");
    EXPECT_NE(std::find(waiting, ui.events.end(), "status: Downloading Viewer - 2.1"), ui.events.end()) << ui.dump();
    EXPECT_TRUE(logged("Install complete"));
}

TEST(TransferMeter, SpeedAndTimeLeftFollowTheReportsAndSizesReadPlainly) {
    EXPECT_EQ(ZELTransferMeter::formatBytes(980), "980 B");
    EXPECT_EQ(ZELTransferMeter::formatBytes(512 * 1000 + 999), "512 KB");
    EXPECT_EQ(ZELTransferMeter::formatBytes(12'399'999), "12.3 MB");
    EXPECT_EQ(ZELTransferMeter::formatBytes(1'209'000'000), "1.20 GB");
    EXPECT_EQ(ZELTransferMeter::formatDuration(41.2), "0:42");
    EXPECT_EQ(ZELTransferMeter::formatDuration(725), "12:05");
    EXPECT_EQ(ZELTransferMeter::formatDuration(3723), "1:02:03");

    ZELTransferMeter meter;
    const auto start = ZELTransferMeter::Clock::now();
    using std::chrono::seconds;
    EXPECT_EQ(meter.detailFor(0, 10'000'000, start), "") << "no speed from one report";
    EXPECT_EQ(meter.detailFor(1'000'000, 10'000'000, start + seconds(1)), "1.0 MB/s, 0:09 left");
    EXPECT_EQ(meter.detailFor(3'000'000, 10'000'000, start + seconds(2)), "1.5 MB/s, 0:05 left");
    // Only the last few seconds count: a slower stretch shows.
    for (int s = 3; s <= 9; s++) meter.detailFor(3'000'000 + (s - 2) * 100'000, 10'000'000, start + seconds(s));
    EXPECT_EQ(meter.detailFor(3'800'000, 10'000'000, start + seconds(10)), "100 KB/s, 1:02 left");
    EXPECT_EQ(meter.detailFor(5'000'000, -1, start + seconds(11)), "5.0 MB received");
}

TEST_F(InstallerFlowTest, AnErrorPageIsNeitherKeptNorInstalled) {
    Options o; o.packageStatus = 404;
    run(o);
    EXPECT_TRUE(logged("Downloaded"));
    ASSERT_EQ(ui.alerts.size(), 1u) << ui.dump();
    EXPECT_EQ(ui.alerts[0].informativeText, "Failed: The server answered 404 (Not Found).");
    EXPECT_FALSE(fileExists(packagePath()));
    EXPECT_TRUE(readFile(installer->argsFile).empty());  // the package installer never ran
    EXPECT_EQ(platform::Application::sharedApplication().exitStatus(), 1);
}

TEST_F(InstallerFlowTest, AFeedErrorLeavesTheLoadingTextUnderTheAlert) {
    Options o; o.refuseFeed = true;
    run(o);
    ASSERT_EQ(ui.alerts.size(), 1u) << ui.dump();
    EXPECT_EQ(ui.statusText.value, "Loading");
    EXPECT_EQ(ui.alerts[0].informativeText.rfind("Failed: ", 0), 0u);
    EXPECT_NE(ui.alerts[0].informativeText, "Failed: (null)");
    EXPECT_TRUE(ui.terminated);
}

TEST_F(InstallerFlowTest, AFeedThatIsNotJSONEndsInADownloadError) {
    Options o; o.feedBody = "<html>not a feed</html>";
    run(o);
    ASSERT_EQ(ui.alerts.size(), 1u) << ui.dump();
    EXPECT_TRUE(logged("Downloaded"));
    EXPECT_EQ(ui.alerts[0].informativeText, "Failed: unsupported URL");
    EXPECT_TRUE(ui.terminated);
    EXPECT_TRUE(readFile(installer->argsFile).empty());  // nothing was installed
}

TEST_F(InstallerFlowTest, WithoutTheURLSessionAPITheUnsupportedAlertComesFirstAndQuits) {
    ZELInstallerWindow::setClassLookup([](const std::string&) { return false; });
    run({});
    ASSERT_EQ(ui.alerts.size(), 1u) << ui.dump();
    EXPECT_EQ(ui.events.front(), "alert: Unsupported | Too old | [OK]");
    EXPECT_TRUE(ui.alerts[0].legacyResponses);
    EXPECT_TRUE(ui.terminated);
    EXPECT_FALSE(ui.has("status: "));
    EXPECT_FALSE(ui.has("icon: "));
    EXPECT_TRUE(server->requests().empty());
}

TEST(InstallerPaths, DownloadsGoToAPrivateFolderOnDiskAndMustFitThere) {
    const std::string folder = ZELInstallationManager::downloadDirectory();
    const std::string parent = platform::userCachesDirectory() + "/WebInstaller/Downloads/run-";
    EXPECT_EQ(folder.rfind(parent, 0), 0u) << folder;  // this run's own folder
    struct stat st;
    ASSERT_EQ(lstat(folder.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    EXPECT_FALSE(ZELInstallationManager::diskSpaceError(4096));
    auto error = ZELInstallationManager::diskSpaceError(int64_t(1) << 62);  // 4.6 EB
    ASSERT_TRUE(error);
    const std::string& text = error->localizedDescription;
    EXPECT_EQ(text.rfind("Not enough disk space: 4611686018428 MB needed, ", 0), 0u) << text;
    EXPECT_EQ(text.substr(text.size() - 9), " MB free.") << text;
}

TEST(InstallerPaths, ThePackageNameStaysInsideTheDownloadFolder) {
    auto pathFor = [](const std::string& installUrl) {
        auto feed = std::make_shared<ZELFeedData>(platform::Value::dictionary(
            {{"platforms", platform::Value::dictionary(
                               {{"darwin", platform::Value::dictionary({{"installUrl", installUrl}})}})}}));
        return ZELInstallationManager(feed).getInstallerPath();
    };
    const std::string tmp = ZELInstallationManager::downloadDirectory();
    EXPECT_EQ(pathFor("https://example.invalid/a/setup.pkg"), tmp + "tmp-setup.pkg");
    for (std::string hostile : {std::string("http://h/x/.."), std::string("http://h/..%2F..%2Fetc%2Fpasswd"),
                                std::string("http://h/a\0b/../c", 17), std::string(500, 'a')}) {
        std::string path = pathFor(hostile);
        ASSERT_EQ(path.rfind(tmp + "tmp-", 0), 0u) << path;
        std::string name = path.substr(tmp.size());
        EXPECT_EQ(name.find('/'), std::string::npos) << path;
        EXPECT_EQ(name.find('\0'), std::string::npos);
        EXPECT_LE(name.size(), 255u);
    }
}

}  // namespace

namespace {

TEST(InstallerDownload, APackageThatCannotBeMovedIntoPlaceIsADownloadError) {
    platform::MainLoop::adoptCurrentThreadAsMain();
    auto feed = std::make_shared<ZELFeedData>(platform::Value::dictionary(
        {{"platforms",
          platform::Value::dictionary({{"darwin", platform::Value::dictionary(
                                                      {{"installUrl", "http://127.0.0.1:9/Missing.pkg"}})}})}}));
    auto manager = ZELInstallationManager::initWithFeedData(feed);
    int calls = 0;
    std::optional<std::string> location = std::string("unset");
    platform::OptionalError error;
    manager->setDownloadCompletion([&](std::optional<std::string> l, platform::OptionalError e) {
        ++calls;
        location = std::move(l);
        error = std::move(e);
    });
    auto url = platform::URL::URLWithString("http://127.0.0.1:9/Missing.pkg");
    auto task = manager->backgroundSession()->downloadTaskWithURL(*url);
    // The session hands over a temporary file that is already gone.
    manager->didFinishDownloadingToURL(*manager->backgroundSession(), *task, "/nonexistent/zel-download");
    platform::MainLoop::runUntil([&] { return calls > 0; }, std::chrono::seconds(5));
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(location.has_value());
    ASSERT_TRUE(error);
    EXPECT_FALSE(fileExists(ZELInstallationManager::downloadDirectory() + "tmp-Missing.pkg"));
}

}  // namespace
