// The real installer program in its GTK window on a private Xvfb display:
// the whole flow up to the finished state, with a screenshot kept as a test
// artefact (build/artifacts/installer-finished.png).
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

#include "ChildProcess.h"
#include "TempDir.h"
#include "TestHttpServer.h"
#include "Xvfb.h"

using namespace zeltest;

namespace {

const std::string kBinary = ZEL_BINARY_DIR;

std::string plist(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n";
    for (const auto& [k, v] : entries) xml += "\t<key>" + k + "</key>\n\t<string>" + v + "</string>\n";
    return xml + "</dict>\n</plist>\n";
}

TEST(InstallerWindow, ShowsTheFinishedStateInTheRealWindow) {
    const std::string xvfbProgram = findInPath("Xvfb");
    const std::string importProgram = findInPath("import");
    if (xvfbProgram.empty() || importProgram.empty())
        GTEST_SKIP() << "Xvfb or ImageMagick's import is not installed (apt-get install xvfb imagemagick)";
    Xvfb xvfb(xvfbProgram);
    ASSERT_TRUE(xvfb.error().empty()) << xvfb.error();

    TempDir root;
    const std::string home = root.file("home"), tmp = root.file("tmp");
    mkdir(home.c_str(), 0700);
    mkdir(tmp.c_str(), 0700);
    // A package the stand-in installer accepts without looking at it.
    TestHttpServer server([&](const TestHttpServer::Request& request) {
        TestHttpServer::Response r;
        if (request.path == "/feed.json")
            r.body = R"({"platforms":{"darwin":{"version":"3.0","product":"Window Test","bundleId":"com.example.windowtest",)"
                     R"("installUrl":")" + server.url("/WindowTest.pkg") +
                     R"(","options":{"autoLaunch":false,"displayVersion":true}}}})";
        else
            r.generatedBodySize = 4 * 1024 * 1024;
        return r;
    });
    writeFile(root.file("installer.sh"), "#!/bin/sh\nexit 0\n", 0755);
    const std::string bundle = kBinary + "/WebInstaller.app";
    writeFile(root.file("bundle/Info.plist"),
              plist({{"UPDATE_URL", server.url("/feed.json")}, {"APP_ICON", "AppIcon"}, {"CFBundleName", "WebInstaller"}}));
    writeFile(root.file("bundle/Resources/translations_gb.plist"), readFile(bundle + "/Resources/translations_gb.plist"));
    writeFile(root.file("bundle/Resources/AppIcon.png"), readFile(bundle + "/Resources/AppIcon.png"));
    writeFile(root.file("bundle/Resources/MainWindow.ui"), readFile(bundle + "/Resources/MainWindow.ui"));

    const std::string log = root.file("installer.log");
    std::map<std::string, std::string> env = {{"DISPLAY", xvfb.display()},
                                              {"WAYLAND_DISPLAY", kUnset},
                                              {"HOME", home},
                                              {"TMPDIR", tmp},
                                              {"XDG_DATA_HOME", home + "/.local/share"},
                                              {"ZEL_BUNDLE_PATH", root.file("bundle")},
                                              {"ZEL_PACKAGE_INSTALLER", root.file("installer.sh")}};
    // The window stays open in the finished state, so the program runs in
    // the background with its log in a file.
    pid_t installer = startChild({"/bin/sh", "-c", "exec '" + bundle + "/WebInstaller' 2>'" + log + "'"}, env);
    ASSERT_GT(installer, 0);

    bool finished = false;
    for (int i = 0; i < 300 && !finished; ++i) {
        finished = readFile(log).find("Install complete") != std::string::npos;
        if (!finished) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // let the window redraw
    const std::string artifacts = kBinary + "/artifacts";
    mkdir(artifacts.c_str(), 0755);
    const std::string shot = artifacts + "/installer-finished.png";
    unlink(shot.c_str());
    auto capture = runChild({importProgram, "-display", xvfb.display(), "-window", "root", shot});

    int status = 0;
    const bool stillRunning = waitpid(installer, &status, WNOHANG) == 0;
    kill(installer, SIGTERM);
    waitpid(installer, &status, 0);

    ASSERT_TRUE(finished) << readFile(log);
    EXPECT_TRUE(stillRunning) << "the finished state waits for the quit button";
    const std::string text = readFile(log);
    EXPECT_NE(text.find("product: Window Test - 3.0"), std::string::npos);
    EXPECT_NE(text.find("Progress is 100.00"), std::string::npos);
    EXPECT_EQ(capture.exitStatus, 0) << capture.err;
    EXPECT_GT(readFile(shot).size(), 1000u);
}

}  // namespace
