// The fixture of the end-to-end tests: the real installer program, in
// terminal mode, against a loopback server, the real package installer and
// the demo product, with a home folder of its own.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "ChildProcess.h"
#include "TempDir.h"
#include "TestHttpServer.h"

namespace zeltest {

inline const std::string kBinary = ZEL_BINARY_DIR;
inline const std::string kWebInstaller = kBinary + "/WebInstaller.app/WebInstaller";
inline const std::string kPackageInstaller = kBinary + "/tools/installer/installer";
inline const std::string kDemoProduct = kBinary + "/tools/demo/demo-product";
inline const std::string kBundleId = "com.example.demoproduct.e2e";

inline std::string plist(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n";
    for (const auto& [k, v] : entries) xml += "\t<key>" + k + "</key>\n\t<string>" + v + "</string>\n";
    return xml + "</dict>\n</plist>\n";
}

inline bool waitForFile(const std::string& path, const std::string& needle, std::chrono::seconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (readFile(path).find(needle) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

inline int countOccurrences(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

class InstallerEndToEnd : public ::testing::Test {
protected:
    struct Feed {
        bool autoLaunch = true;
        std::string body;  // replaces the generated feed
        int status = 200;
    };

    static void SetUpTestSuite() {
        for (const auto& path : {kWebInstaller, kPackageInstaller, kDemoProduct})
            ASSERT_EQ(access(path.c_str(), X_OK), 0) << path << " is not built";
    }

    void SetUp() override {
        home = root.file("home");
        privateTmp = root.file("tmp");
        mkdir(home.c_str(), 0700);
        mkdir(privateTmp.c_str(), 0700);
        marker = root.file("marker.txt");
        argsFile = root.file("installer-args.txt");
        makePackage();
        server = std::make_unique<TestHttpServer>([this](const TestHttpServer::Request& request) {
            TestHttpServer::Response r;
            if (request.path == "/silent.json") {
                std::this_thread::sleep_for(std::chrono::seconds(3));  // past the test's 1 s timeout
                return r;
            }
            if (request.path == "/feed.json") {
                r.body = feed.body.empty() ? feedJSON() : feed.body;
                r.status = feed.status;
            } else if (request.path == "/DemoProduct.pkg" && !packageMissing) {
                r.body = package;
                if (packageTruncated) r.truncateAfter = static_cast<int64_t>(package.size() / 2);
            } else if (request.path == "/Slow.pkg") {
                r.generatedBodySize = 64 << 20;  // trickles for minutes
                r.delayPerChunkMs = 50;
            } else {
                r.status = 404;
                r.body = "<html>404 Not Found</html>";
            }
            return r;
        });
    }

    std::string feedJSON() const {
        return R"({"platforms":{"darwin":{"version":"1.0","product":"Demo Product","bundleId":")" + kBundleId +
               R"(","installUrl":")" + server->url("/DemoProduct.pkg") + R"(","options":{"autoLaunch":)" +
               (feed.autoLaunch ? "true" : "false") + R"(,"displayVersion":true}}}})";
    }

    void makePackage() {
        std::string app = root.file("pkgroot/Demo Product.app");
        writeFile(app + "/Info.plist", plist({{"CFBundleIdentifier", kBundleId},
                                              {"CFBundleExecutable", "demo-product"},
                                              {"CFBundleName", "Demo Product"}}));
        writeFile(app + "/demo-product", readFile(kDemoProduct), 0755);
        auto r = runChild({"/bin/tar", "-czf", root.file("DemoProduct.pkg"), "-C", root.file("pkgroot"), "Demo Product.app"});
        ASSERT_TRUE(r.exited && r.exitStatus == 0) << r.err;
        package = readFile(root.file("DemoProduct.pkg"));
    }

    // Runs the installer program with its bundle pointed at `feedURL`.
    // With `startOnly`, starts it in the background (pid in `started`) instead.
    ChildResult runInstaller(const std::string& feedURL, int installerExitStatus = -1, bool startOnly = false) {
        std::string bundle = root.file("bundle");
        std::vector<std::pair<std::string, std::string>> info = {
            {"UPDATE_URL", feedURL}, {"APP_ICON", "AppIcon"}, {"CFBundleName", "WebInstaller"}, {"LANG", "gb"}};
        if (sentryDSN) info.emplace_back("SENTRY_URL", *sentryDSN);
        writeFile(bundle + "/Info.plist", plist(info));
        writeFile(bundle + "/Resources/translations_gb.plist",
                  plist({{"loading", "Loading"},
                         {"downloading", "Downloading %@"},
                         {"installing", "Installing %@"},
                         {"launching", "Launching %@"},
                         {"installed", "%@ is installed"},
                         {"quitButtonTitle", "Finish"},
                         {"errorTitle", "Installation failed"},
                         {"errorBody", "Reason: %@"},
                         {"errorQuit", "Quit"}}));
        // Records the argument vector, then runs the real package installer
        // (or fails with the given status).
        std::string tail = installerExitStatus < 0 ? "exec '" + kPackageInstaller + "' \"$@\"\n"
                                                   : "exit " + std::to_string(installerExitStatus) + "\n";
        writeFile(root.file("record-installer.sh"),
                  "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > '" + argsFile + "'\n" + tail, 0755);
        if (startOnly) {
            started = startChild({kWebInstaller, "--terminal"}, environment());
            return {};
        }
        return runChild({kWebInstaller, "--terminal"}, environment(), std::chrono::seconds(60));
    }

    std::map<std::string, std::string> environment() const {
        return {{"HOME", home},
                {"TMPDIR", privateTmp},
                {"XDG_DATA_HOME", home + "/.local/share"},
                {"XDG_CACHE_HOME", home + "/.cache"},
                {"XDG_DATA_DIRS", root.file("no-system-data")},
                {"DISPLAY", kUnset},
                {"WAYLAND_DISPLAY", kUnset},
                {"ZEL_BUNDLE_PATH", root.file("bundle")},
                {"ZEL_PACKAGE_INSTALLER", root.file("record-installer.sh")},
                {"ZEL_DEMO_MARKER", marker},
                {"ZEL_REQUEST_TIMEOUT", "1"}};
    }

    std::string downloads() const { return home + "/.cache/WebInstaller/Downloads"; }
    // Everything a run left in the download folder (nothing, after any run).
    std::vector<std::string> leftInDownloads() const {
        std::vector<std::string> left;
        std::error_code ec;
        for (auto it = std::filesystem::recursive_directory_iterator(downloads(), ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
            left.push_back(it->path().string());
        return left;
    }

    static std::string describe(const ChildResult& r) {
        return "exit " + std::to_string(r.exitStatus) + " signal " + std::to_string(r.signal) +
               (r.timedOut ? " (timed out)" : "") + "\n--- stdout\n" + r.out + "\n--- stderr\n" + r.err;
    }

    TempDir root;
    std::string home, privateTmp, marker, argsFile, package;
    pid_t started = -1;
    std::optional<std::string> sentryDSN;  // the bundle's "SENTRY_URL" when set
    Feed feed;
    bool packageMissing = false;
    bool packageTruncated = false;  // cut half way, with no version to resume against
    std::unique_ptr<TestHttpServer> server;
};

}  // namespace zeltest
