// The terminal back end: plain lines on a pipe, an in-place line on a
// terminal, alerts answered at once, the quit button fed from standard input.
#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/ui/Application.h"
#include "tests/ui/ReadAvailable.h"

namespace {

using namespace std::chrono_literals;
using platform::AlertSpec;
using platform::AlertStyle;
using platform::MainLoop;

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int get() const { return fd_; }

private:
    int fd_;
};

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// A back end writing into a pipe, as when the installer's output is logged.
class PipeTerminal : public ::testing::Test {
protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        readEnd_ = std::make_unique<Fd>(fds[0]);
        writeEnd_ = std::make_unique<Fd>(fds[1]);
        ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
        MainLoop::adoptCurrentThreadAsMain();
        backend_ = platform::makeTerminalBackend(fds[1]);
        outlets_ = backend_->loadMainWindow();
        ASSERT_NE(outlets_.statusText, nullptr);
        ASSERT_NE(outlets_.progressView, nullptr);
        ASSERT_NE(outlets_.appIcon, nullptr);
        ASSERT_NE(outlets_.quitButton, nullptr);
    }
    void TearDown() override {
        backend_.reset();
        MainLoop::drainPending();
    }
    std::string output() { return zeltest::readAvailable(readEnd_->get()); }

    std::unique_ptr<Fd> readEnd_, writeEnd_;
    std::unique_ptr<platform::UIBackend> backend_;
    platform::WindowOutlets outlets_;
};

TEST_F(PipeTerminal, StatusChangesArePlainLines) {
    outlets_.statusText->setStringValue("Downloading Demo Product - 1.0");
    outlets_.statusText->setStringValue("Downloading Demo Product - 1.0");  // unchanged: no new line
    outlets_.statusText->setStringValue("Installing\x1b[31m now\r");
    EXPECT_EQ(outlets_.statusText->stringValue(), "Installing\x1b[31m now\r");

    // C1 controls too, as code points and as the lone bytes an 8-bit terminal obeys.
    outlets_.statusText->setStringValue("Done\xc2\x9b" "2J \x9b" "2J");

    const std::string out = output();
    EXPECT_EQ(out, "Downloading Demo Product - 1.0\nInstalling [31m now \nDone 2J \xEF\xBF\xBD" "2J\n");
    EXPECT_EQ(out.find('\x1b'), std::string::npos);
    EXPECT_EQ(out.find('\r'), std::string::npos);
    EXPECT_EQ(out.find('\x9b'), std::string::npos);
}

TEST_F(PipeTerminal, ProgressPrintsOneLinePerWholePercent) {
    platform::ProgressIndicator& progress = *outlets_.progressView;
    for (int step = 0; step <= 2000; ++step) progress.setDoubleValue(step * 0.05);
    EXPECT_DOUBLE_EQ(progress.doubleValue(), 100.0);

    std::vector<std::string> got = lines(output());
    ASSERT_EQ(got.size(), 101u);
    for (int percent = 0; percent <= 100; ++percent) {
        EXPECT_EQ(got[static_cast<size_t>(percent)], "Progress: " + std::to_string(percent) + "%");
    }

    // Values past the ends are clamped, so nothing new is printed.
    progress.setDoubleValue(250);
    EXPECT_DOUBLE_EQ(progress.doubleValue(), 100.0);
    EXPECT_EQ(output(), "");

    // A new determinate run after a busy phase reports again from its start.
    progress.setIndeterminate(true);
    progress.setDoubleValue(10);
    progress.setIndeterminate(false);
    progress.setDoubleValue(0);
    progress.setDoubleValue(12.5);
    EXPECT_EQ(output(), "Progress: 0%\nProgress: 12%\n");
}

TEST_F(PipeTerminal, BusyAndHiddenProgressPrintNothing) {
    platform::ProgressIndicator& progress = *outlets_.progressView;
    progress.setIndeterminate(true);
    progress.setUsesThreadedAnimation(true);
    progress.startAnimation();
    EXPECT_TRUE(progress.isIndeterminate());
    EXPECT_TRUE(progress.isAnimating());
    progress.setDoubleValue(30);
    MainLoop::runUntil([] { return false; }, 300ms);  // let any animation run
    progress.stopAnimation();
    EXPECT_FALSE(progress.isAnimating());
    EXPECT_EQ(output(), "");

    progress.setIndeterminate(false);
    progress.setHidden(true);
    EXPECT_TRUE(progress.isHidden());
    progress.setDoubleValue(55);
    EXPECT_EQ(output(), "");
    progress.setHidden(false);
    progress.setDoubleValue(56);
    EXPECT_EQ(output(), "Progress: 56%\n");
}

TEST_F(PipeTerminal, ImageViewKeepsItsPathQuietly) {
    EXPECT_EQ(outlets_.appIcon->image(), std::nullopt);
    outlets_.appIcon->setImage(std::string("/tmp/icon.png"));
    EXPECT_EQ(outlets_.appIcon->image(), std::optional<std::string>("/tmp/icon.png"));
    backend_->activateIgnoringOtherApps(true);
    backend_->requestUserAttention(platform::kCriticalRequest);  // no bell on a pipe
    EXPECT_EQ(output(), "");
}

TEST_F(PipeTerminal, OneButtonAlertsPrintTheirTextAndAnswerAtOnce) {
    AlertSpec alert;
    alert.messageText = "Download failed";
    alert.informativeText = "The server did not answer.\nTry again later.";
    alert.buttons = {"Retry"};  // alerts with a choice: TerminalAlertTest.cpp
    alert.style = AlertStyle::Critical;
    EXPECT_EQ(backend_->runModalAlert(alert), platform::kAlertFirstButtonReturn);
    EXPECT_EQ(output(), "\n== Download failed ==\nThe server did not answer.\nTry again later.\n[ Retry ]\n");

    alert.legacyResponses = true;
    EXPECT_EQ(backend_->runModalAlert(alert), platform::kAlertDefaultReturn);
    output();

    AlertSpec bare;
    bare.messageText = "%s%n \x1b]0;title\x07";
    EXPECT_EQ(backend_->runModalAlert(bare), platform::kAlertFirstButtonReturn);
    EXPECT_EQ(output(), "\n== %s%n  ]0;title  ==\n[ OK ]\n");
}

// Standard input replaced by a pipe for the length of a test.
class StdinFromPipe {
public:
    StdinFromPipe() {
        int fds[2];
        if (::pipe(fds) != 0) return;
        saved_ = ::dup(STDIN_FILENO);
        ::dup2(fds[0], STDIN_FILENO);
        ::close(fds[0]);
        writeEnd_ = fds[1];
    }
    ~StdinFromPipe() {
        closeWriteEnd();
        if (saved_ >= 0) {
            ::dup2(saved_, STDIN_FILENO);
            ::close(saved_);
        }
    }
    bool ok() const { return saved_ >= 0 && writeEnd_ >= 0; }
    void write(const std::string& text) { ASSERT_EQ(::write(writeEnd_, text.data(), text.size()), ssize_t(text.size())); }
    void closeWriteEnd() {
        if (writeEnd_ >= 0) ::close(writeEnd_);
        writeEnd_ = -1;
    }

private:
    int saved_ = -1;
    int writeEnd_ = -1;
};

TEST_F(PipeTerminal, QuitButtonPromptsAndEndOfInputPressesIt) {
    StdinFromPipe input;
    ASSERT_TRUE(input.ok());
    platform::Button& button = *outlets_.quitButton;
    EXPECT_TRUE(button.isHidden());
    int presses = 0;
    button.setAction([&] { ++presses; });
    button.setTitle("Quit Installer");
    EXPECT_EQ(output(), "");  // hidden: not announced

    button.setHidden(false);
    EXPECT_FALSE(button.isHidden());
    EXPECT_EQ(output(), "[ Quit Installer ] (press Enter)\n");
    EXPECT_EQ(presses, 0);

    input.closeWriteEnd();
    EXPECT_TRUE(MainLoop::runUntil([&] { return presses > 0; }, 5s));
    MainLoop::runUntil([] { return false; }, 100ms);
    EXPECT_EQ(presses, 1);  // end of input presses once
    backend_.reset();  // stops the watcher before standard input comes back
}

TEST_F(PipeTerminal, QuitButtonPressedByEachLineWhileShown) {
    StdinFromPipe input;
    ASSERT_TRUE(input.ok());
    platform::Button& button = *outlets_.quitButton;
    int presses = 0;
    button.setAction([&] { ++presses; });
    button.setHidden(false);
    EXPECT_EQ(output(), "[ Quit ] (press Enter)\n");

    input.write("no newline yet");
    MainLoop::runUntil([] { return false; }, 200ms);
    EXPECT_EQ(presses, 0);
    input.write("\n");
    EXPECT_TRUE(MainLoop::runUntil([&] { return presses == 1; }, 5s));

    // Once hidden, the button no longer listens.
    button.setHidden(true);
    input.write("\n");
    MainLoop::runUntil([] { return false; }, 200ms);
    EXPECT_EQ(presses, 1);
    backend_.reset();
}

// A back end drawing on a pseudo-terminal.
class TtyTerminal : public ::testing::Test {
protected:
    void SetUp() override {
        int master = -1, slave = -1;
        winsize size{};
        size.ws_col = 100;
        size.ws_row = 24;
        ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, &size), 0);
        master_ = std::make_unique<Fd>(master);
        slave_ = std::make_unique<Fd>(slave);
        ::fcntl(master, F_SETFL, O_NONBLOCK);
        MainLoop::adoptCurrentThreadAsMain();
        backend_ = platform::makeTerminalBackend(slave);
        outlets_ = backend_->loadMainWindow();
    }
    void TearDown() override {
        backend_.reset();
        MainLoop::drainPending();
    }
    // The terminal's output as the program wrote it (no newline translation
    // surprises: we only look for substrings).
    std::string output() { return zeltest::readAvailable(master_->get()); }

    std::unique_ptr<Fd> master_, slave_;
    std::unique_ptr<platform::UIBackend> backend_;
    platform::WindowOutlets outlets_;
};

TEST_F(TtyTerminal, SpeedAndTimeLeftStandBesideTheBar) {
    outlets_.statusText->setStringValue("Downloading");
    outlets_.progressView->setDoubleValue(10);
    output();
    outlets_.progressView->setDetailText("1.0 MB/s, 0:09 left\x1b[2J");
    const std::string out = output();
    EXPECT_NE(out.find("   10%  1.0 MB/s, 0:09 left [2J"), std::string::npos) << out;
    EXPECT_EQ(out.find("\x1b[2J"), std::string::npos) << "the detail is outside text too";
}

TEST_F(TtyTerminal, StatusAndProgressRedrawOneLineInPlace) {
    outlets_.statusText->setStringValue("Downloading Demo Product - 1.0");
    outlets_.progressView->setDoubleValue(42);
    const std::string out = output();
    EXPECT_NE(out.find("\r\x1b[2KDownloading Demo Product - 1.0  [#############.................]   42%"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find('\n'), std::string::npos);

    outlets_.progressView->setDoubleValue(42.4);  // the same picture: not drawn again
    EXPECT_EQ(output(), "");

    backend_->requestUserAttention(platform::kInformationalRequest);
    EXPECT_EQ(output(), "\a");
}

TEST_F(TtyTerminal, LongStatusIsCutToTheTerminalWidth) {
    outlets_.statusText->setStringValue(std::string(300, 'x'));
    std::string out = output();
    const size_t start = out.rfind("\x1b[2K");
    ASSERT_NE(start, std::string::npos);
    const std::string line = out.substr(start + 4);
    EXPECT_LE(line.size(), 99u);
    EXPECT_NE(line.find("x...  ["), std::string::npos) << line;
}

TEST_F(TtyTerminal, BusyAnimationMovesTheBlock) {
    outlets_.statusText->setStringValue("Preparing");
    outlets_.progressView->setIndeterminate(true);
    output();  // the determinate picture drawn before
    outlets_.progressView->startAnimation();
    std::string seen;
    // Three different frames prove the block moves on its own.
    auto frames = [&] {
        seen += output();
        std::vector<std::string> distinct;
        size_t pos = 0;
        while ((pos = seen.find('[', pos)) != std::string::npos) {
            const size_t end = seen.find(']', pos);
            if (end == std::string::npos) break;
            std::string frame = seen.substr(pos, end - pos + 1);
            if (std::find(distinct.begin(), distinct.end(), frame) == distinct.end()) distinct.push_back(frame);
            pos = end;
        }
        return distinct.size();
    };
    EXPECT_TRUE(MainLoop::runUntil([&] { return frames() >= 3; }, 10s)) << seen;
    EXPECT_NE(seen.find("#####"), std::string::npos) << seen;
    EXPECT_EQ(seen.find('%'), std::string::npos) << seen;  // no percentage while busy

    outlets_.progressView->stopAnimation();
    MainLoop::drainPending();
    output();
    MainLoop::runUntil([] { return false; }, 300ms);
    EXPECT_EQ(output(), "");  // stopped: no more frames
}

TEST_F(TtyTerminal, AlertInterruptsTheLineAndRedrawsIt) {
    outlets_.statusText->setStringValue("Installing");
    output();
    AlertSpec alert;
    alert.messageText = "Done";
    alert.buttons = {"OK"};
    EXPECT_EQ(backend_->runModalAlert(alert), platform::kAlertFirstButtonReturn);
    const std::string out = output();
    EXPECT_EQ(out.rfind("\r\x1b[2K", 0), 0u) << out;
    EXPECT_NE(out.find("== Done =="), std::string::npos);
    EXPECT_NE(out.find("[ OK ]"), std::string::npos);
    EXPECT_GT(out.rfind("Installing"), out.find("[ OK ]"));
}

}  // namespace
