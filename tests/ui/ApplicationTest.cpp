// The application object: forwarding to the back end, terminate, alerts
// without a window, and applicationMain on the terminal.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Log.h"
#include "platform/ui/Application.h"

namespace {

using platform::AlertSpec;
using platform::Application;

class RecordingBackend : public platform::UIBackend {
public:
    platform::WindowOutlets loadMainWindow() override { return {}; }
    long runModalAlert(const AlertSpec& alert) override {
        alerts.push_back(alert);
        return answer;
    }
    void activateIgnoringOtherApps(bool flag) override { activations.push_back(flag); }
    void requestUserAttention(int type) override { attention.push_back(type); }
    void run() override {}
    void quit() override { ++quits; }

    std::vector<AlertSpec> alerts;
    long answer = platform::kAlertSecondButtonReturn;
    std::vector<bool> activations;
    std::vector<int> attention;
    int quits = 0;
};

// Leaves the shared application as it found it.
class ApplicationTest : public ::testing::Test {
protected:
    void TearDown() override {
        app().setBackend(nullptr);
        app().setTerminateHandler({});
        platform::setSystemLogObserver({});
    }
    static Application& app() { return Application::sharedApplication(); }
};

TEST_F(ApplicationTest, LegacyAlertKeepsGivenButtonsInOrder) {
    auto alert = platform::Alert::legacyAlert("Update", "Install", "", "Later", "A new version is ready.");
    const AlertSpec& made = alert.contents();
    EXPECT_EQ(made.messageText, "Update");
    EXPECT_EQ(made.informativeText, "A new version is ready.");
    EXPECT_EQ(made.buttons, (std::vector<std::string>{"Install", "Later"}));
    EXPECT_TRUE(made.legacyResponses);
    EXPECT_EQ(made.style, platform::AlertStyle::Warning);

    auto bare = platform::Alert::legacyAlert("Oops", "", "", "", "");
    EXPECT_EQ(bare.contents().buttons, std::vector<std::string>{"OK"});
}

TEST_F(ApplicationTest, ResponsesOfButtons) {
    AlertSpec modern;
    EXPECT_EQ(modern.responseForButton(0), platform::kAlertFirstButtonReturn);
    EXPECT_EQ(modern.responseForButton(1), platform::kAlertSecondButtonReturn);
    EXPECT_EQ(modern.responseForButton(2), 1002);
    AlertSpec legacy;
    legacy.legacyResponses = true;
    EXPECT_EQ(legacy.responseForButton(0), platform::kAlertDefaultReturn);
    EXPECT_EQ(legacy.responseForButton(1), platform::kAlertSecondButtonReturn);
}

TEST_F(ApplicationTest, AlertWithoutBackendIsLoggedAndTakesTheAnswerOfNobodyThere) {
    std::vector<std::string> logged;
    platform::setSystemLogObserver([&](const std::string& line) { logged.push_back(line); });

    platform::Alert alert;
    alert.setMessageText("Cannot install");
    alert.setInformativeText("Disk full");
    alert.addButtonWithTitle("Quit");
    EXPECT_EQ(alert.runModal(), platform::kAlertFirstButtonReturn);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_NE(logged[0].find("Cannot install"), std::string::npos);
    EXPECT_NE(logged[0].find("Disk full"), std::string::npos);
    EXPECT_NE(logged[0].find("[Quit]"), std::string::npos);

    // A question (send the reports?) nobody can answer takes its last, no, answer.
    auto legacy = platform::Alert::legacyAlert("%@ %s", "Go", "Stop", "", "");
    EXPECT_EQ(legacy.runModal(), platform::kAlertSecondButtonReturn);
    ASSERT_EQ(logged.size(), 2u);
    EXPECT_NE(logged[1].find("%@ %s"), std::string::npos);  // outside text stays literal
    EXPECT_NE(logged[1].find("[Stop]"), std::string::npos);
}

TEST_F(ApplicationTest, ForwardsToTheBackend) {
    RecordingBackend backend;
    app().setBackend(&backend);
    EXPECT_EQ(app().backend(), &backend);

    platform::Alert alert;
    alert.setMessageText("Question");
    alert.setAlertStyle(platform::AlertStyle::Informational);
    EXPECT_EQ(alert.runModal(), platform::kAlertSecondButtonReturn);
    ASSERT_EQ(backend.alerts.size(), 1u);
    EXPECT_EQ(backend.alerts[0].messageText, "Question");
    EXPECT_EQ(backend.alerts[0].style, platform::AlertStyle::Informational);
    EXPECT_EQ(backend.alerts[0].buttons, std::vector<std::string>{"OK"});  // as NSAlert adds one

    app().activateIgnoringOtherApps(true);
    app().requestUserAttention(platform::kCriticalRequest);
    EXPECT_EQ(backend.activations, std::vector<bool>{true});
    EXPECT_EQ(backend.attention, std::vector<int>{platform::kCriticalRequest});
}

TEST_F(ApplicationTest, TerminateQuitsTheBackendUnlessAHandlerIsSet) {
    RecordingBackend backend;
    app().setBackend(&backend);
    int handled = 0;
    app().setTerminateHandler([&] { ++handled; });
    app().terminate(nullptr);
    EXPECT_TRUE(app().isTerminating());
    EXPECT_EQ(handled, 1);
    EXPECT_EQ(backend.quits, 0);

    app().setTerminateHandler({});
    app().terminate(&backend);
    EXPECT_EQ(handled, 1);
    EXPECT_EQ(backend.quits, 1);
}

// Standard output captured into a pipe for the length of a test.
class CapturedStdout {
public:
    CapturedStdout() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        ::fflush(stdout);
        saved_ = ::dup(STDOUT_FILENO);
        ::dup2(fds[1], STDOUT_FILENO);
        ::close(fds[1]);
        readEnd_ = fds[0];
        ::fcntl(readEnd_, F_SETFL, O_NONBLOCK);
    }
    ~CapturedStdout() {
        restore();
        if (readEnd_ >= 0) ::close(readEnd_);
    }
    void restore() {
        if (saved_ < 0) return;
        ::fflush(stdout);
        ::dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
        saved_ = -1;
    }
    std::string text() {
        std::string out;
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(readEnd_, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<size_t>(n));
        return out;
    }

private:
    int saved_ = -1;
    int readEnd_ = -1;
};

TEST_F(ApplicationTest, MainOnTheTerminalLoadsRunsAndReturns) {
    std::string arg0 = "WebInstaller", arg1 = "--terminal";
    char* argv[] = {arg0.data(), arg1.data(), nullptr};
    CapturedStdout captured;

    int loads = 0;
    bool allOutlets = false;
    const int status = platform::applicationMain(2, argv, [&](const platform::WindowOutlets& outlets) {
        ++loads;
        allOutlets = outlets.statusText && outlets.progressView && outlets.appIcon && outlets.quitButton;
        if (!allOutlets) return;
        EXPECT_TRUE(outlets.quitButton->isHidden());
        outlets.statusText->setStringValue("Checking for updates");
        // As the flow ends: a block on the main queue terminates.
        platform::DispatchQueue::main().async([] { Application::sharedApplication().terminate(); });
    });
    captured.restore();

    EXPECT_EQ(status, 0);
    EXPECT_EQ(loads, 1);
    EXPECT_TRUE(allOutlets);
    EXPECT_EQ(app().backend(), nullptr);  // the back end is gone with applicationMain
    EXPECT_EQ(captured.text(), "Checking for updates\n");
}

}  // namespace
