// The real installer program, in terminal mode, against a loopback server,
// the real package installer and the demo product.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

#include "InstallerEndToEnd.h"

using namespace zeltest;

namespace {

TEST_F(InstallerEndToEnd, InstallsAndLaunchesTheProduct) {
    auto r = runInstaller(server->url("/feed.json"));
    ASSERT_TRUE(r.exited) << describe(r);
    EXPECT_EQ(r.exitStatus, 0) << describe(r);

    EXPECT_NE(r.out.find("Downloading Demo Product - 1.0"), std::string::npos) << describe(r);
    EXPECT_NE(r.out.find("Installing Demo Product"), std::string::npos);
    EXPECT_NE(r.out.find("Launching Demo Product"), std::string::npos);
    EXPECT_NE(r.err.find("Progress is 100.00"), std::string::npos) << describe(r);
    EXPECT_NE(r.err.find("Install complete"), std::string::npos);

    const std::string args = readFile(argsFile);
    const std::string prefix = root.file("record-installer.sh") + "\n-dumplog\n-verbose\n-pkg\n" + downloads() + "/run-";
    EXPECT_EQ(args.rfind(prefix, 0), 0u) << args;
    EXPECT_NE(args.find("/tmp-DemoProduct.pkg\n-target\nCurrentUserHomeDirectory\n"), std::string::npos) << args;
    EXPECT_EQ(std::count(args.begin(), args.end(), '\n'), 7) << args;
    EXPECT_EQ(leftInDownloads(), std::vector<std::string>{});
    EXPECT_TRUE(fileExists(home + "/Applications/Demo Product.app/demo-product"));
    EXPECT_TRUE(fileExists(home + "/.local/share/applications/" + kBundleId + ".desktop"));
    EXPECT_TRUE(waitForFile(marker, "launched", std::chrono::seconds(15))) << describe(r);
}

TEST_F(InstallerEndToEnd, WithoutAutoLaunchShowsTheFinishedStateAndTheQuitButton) {
    feed.autoLaunch = false;
    auto r = runInstaller(server->url("/feed.json"));
    ASSERT_TRUE(r.exited) << describe(r);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_NE(r.out.find("Demo Product is installed"), std::string::npos) << describe(r);
    EXPECT_NE(r.out.find("[ Finish ]"), std::string::npos) << describe(r);
    EXPECT_NE(r.err.find("Install complete"), std::string::npos);
    EXPECT_EQ(leftInDownloads(), std::vector<std::string>{});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(fileExists(marker)) << "the product must not be launched";
}

TEST_F(InstallerEndToEnd, FailuresEndInTheErrorAlert) {
    struct Case {
        const char* name;
        std::function<std::string()> arrange;  // answers the feed URL
        int installerStatus;
        const char* expectedReason;
    };
    const Case cases[] = {
        {"feed that is not JSON", [&] { feed.body = "<html>maintenance</html>"; return server->url("/feed.json"); },
         -1, "Reason: unsupported URL"},
        {"refused connection",
         [&] { return "http://127.0.0.1:" + std::to_string(TestHttpServer::unusedPort()) + "/feed.json"; }, -1,
         "Reason: Could not connect to the server."},
        {"feed answers 404", [&] { feed.status = 404; return server->url("/feed.json"); }, -1,
         "Reason: The server answered 404 (Not Found)."},
        {"feed answers 500", [&] { feed.status = 500; return server->url("/feed.json"); }, -1,
         "Reason: The server answered 500 (Internal Server Error)."},
        {"feed over 4 MiB", [&] { feed.body = std::string(5 << 20, ' ') + "{}"; return server->url("/feed.json"); },
         -1, "Reason: The update feed is larger than 4 MiB."},
        {"package answers 404", [&] { packageMissing = true; return server->url("/feed.json"); }, -1,
         "Reason: The server answered 404 (Not Found)."},
        {"server that never answers", [&] { return server->url("/silent.json"); }, -1,
         "Reason: The request timed out."},
        {"package cut short", [&] { packageTruncated = true; return server->url("/feed.json"); }, -1,
         "Reason: The network connection was lost."},
        {"package installer exits 1", [&] { return server->url("/feed.json"); }, 1,
         "Reason: Installation could not be completed."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        feed = Feed{};
        packageMissing = false;
        packageTruncated = false;
        auto r = runInstaller(c.arrange(), c.installerStatus);
        ASSERT_TRUE(r.exited) << describe(r);
        EXPECT_EQ(r.exitStatus, 1) << "a failed run must say so to a script";
        EXPECT_NE(r.out.find("Installation failed"), std::string::npos) << describe(r);
        EXPECT_NE(r.out.find(c.expectedReason), std::string::npos) << describe(r);
        EXPECT_NE(r.out.find("[ Quit ]"), std::string::npos);
        EXPECT_EQ(leftInDownloads(), std::vector<std::string>{}) << "whatever the failure, nothing stays";
        EXPECT_EQ(r.err.find("Install complete"), std::string::npos);
    }
}

TEST_F(InstallerEndToEnd, StoppingTheInstallerMidDownloadLeavesNothingBehind) {
    feed.body = R"({"platforms":{"darwin":{"product":"Demo Product","bundleId":")" + kBundleId +
                R"(","installUrl":")" + server->url("/Slow.pkg") + R"("}}})";
    for (int signum : {SIGTERM, SIGINT}) {
        runInstaller(server->url("/feed.json"), -1, /*start only*/ true);
        const pid_t pid = started;
        ASSERT_GT(pid, 0);
        // Wait until part of the package is on disk.
        bool partial = false;
        for (int i = 0; i < 200 && !partial; i++) {
            for (const auto& path : leftInDownloads())
                if (path.find("CFNetworkDownload_") != std::string::npos) partial = true;
            if (!partial) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ASSERT_TRUE(partial) << "no partial download appeared";
        kill(pid, signum);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signum) << status;
        EXPECT_EQ(leftInDownloads(), std::vector<std::string>{}) << strsignal(signum);
    }
}

TEST_F(InstallerEndToEnd, ASecondInstallerOfTheSameProductSaysSoAndQuits) {
    // Another installer of the product holds its lock.
    const std::string folder = home + "/.cache/WebInstaller";
    mkdir((home + "/.cache").c_str(), 0700);
    mkdir(folder.c_str(), 0700);
    const int held = open((folder + "/" + kBundleId + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    auto r = runInstaller(server->url("/feed.json"));
    EXPECT_EQ(r.exitStatus, 1) << describe(r);
    EXPECT_NE(r.out.find("Reason: Another installer of Demo Product is already running."), std::string::npos)
        << describe(r);
    EXPECT_TRUE(readFile(argsFile).empty());
    EXPECT_EQ(leftInDownloads(), std::vector<std::string>{});

    // Once it is gone (however it ended) the next one runs.
    close(held);
    feed.autoLaunch = false;
    EXPECT_EQ(runInstaller(server->url("/feed.json")).exitStatus, 0);
}

TEST_F(InstallerEndToEnd, ARunningCopyIsAskedToQuitBeforeTheInstall) {
    // Install once so the product's desktop entry exists, then start it.
    feed.autoLaunch = false;
    ASSERT_EQ(runInstaller(server->url("/feed.json")).exitStatus, 0);
    auto env = environment();
    env["ZEL_DEMO_STAY"] = "1";
    pid_t running = startChild({home + "/Applications/Demo Product.app/demo-product"}, env);
    ASSERT_GT(running, 0);
    ASSERT_TRUE(waitForFile(marker, "launched", std::chrono::seconds(10)));

    auto r = runInstaller(server->url("/feed.json"));
    EXPECT_EQ(r.exitStatus, 0) << describe(r);
    EXPECT_NE(r.out.find("Quit and continue installation"), std::string::npos) << describe(r);
    EXPECT_NE(r.out.find("Demo Product is currently running. Please close the application to continue installation."),
              std::string::npos);
    EXPECT_NE(r.out.find("[ Quit & Install ]"), std::string::npos);
    EXPECT_EQ(countOccurrences(r.out, "Quit and continue installation"), 1);

    int status = 0;
    pid_t waited = 0;
    for (int i = 0; i < 100 && waited == 0; ++i) {
        waited = waitpid(running, &status, WNOHANG);
        if (waited == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (waited == 0) {
        kill(running, SIGKILL);
        waitpid(running, &status, 0);
        FAIL() << "the running copy did not quit";
    }
    EXPECT_TRUE(waitForFile(marker, "terminated", std::chrono::seconds(5)));
}

}  // namespace
