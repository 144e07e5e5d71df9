// Alerts with a choice on the terminal back end: asked on a terminal,
// answered with the last button when standard input is not one.
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/ui/Application.h"
#include "tests/ui/ReadAvailable.h"

namespace {

using platform::AlertSpec;

size_t occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// Standard input taken from `fd` while alive.
class StdinFrom {
public:
    explicit StdinFrom(int fd) : saved_(::dup(STDIN_FILENO)) { ::dup2(fd, STDIN_FILENO); }
    ~StdinFrom() {
        ::dup2(saved_, STDIN_FILENO);
        ::close(saved_);
    }
    StdinFrom(const StdinFrom&) = delete;
    StdinFrom& operator=(const StdinFrom&) = delete;

private:
    int saved_;
};

// The back end writes into a pipe; each test chooses standard input.
class TerminalAlert : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::pipe2(out_, O_CLOEXEC), 0);
        ::fcntl(out_[0], F_SETFL, O_NONBLOCK);
        backend_ = platform::makeTerminalBackend(out_[1]);
        question_.messageText = "Send report?";
        question_.buttons = {"Send", "Keep", "Don't send"};
    }
    void TearDown() override {
        backend_.reset();
        ::close(out_[0]);
        ::close(out_[1]);
    }
    std::string output() { return zeltest::readAvailable(out_[0]); }

    int out_[2] = {-1, -1};
    std::unique_ptr<platform::UIBackend> backend_;
    AlertSpec question_;
};

TEST_F(TerminalAlert, WithoutATerminalTheLastButtonIsTakenAndNothingRead) {
    int input[2];
    ASSERT_EQ(::pipe2(input, O_CLOEXEC | O_NONBLOCK), 0);
    ASSERT_EQ(::write(input[1], "1\n", 2), 2);
    {
        StdinFrom stdinFromPipe(input[0]);
        EXPECT_EQ(backend_->runModalAlert(question_), platform::kAlertFirstButtonReturn + 2);
        question_.buttons.pop_back();
        question_.legacyResponses = true;
        EXPECT_EQ(backend_->runModalAlert(question_), platform::kAlertSecondButtonReturn);
    }
    EXPECT_EQ(zeltest::readAvailable(input[0]), "1\n") << "standard input is not for the alert";
    ::close(input[0]);
    ::close(input[1]);

    const std::string out = output();
    EXPECT_NE(out.find("== Send report? ==\n  1) Send\n  2) Keep\n  3) Don't send\n"
                       "No terminal to answer on: Don't send\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("No terminal to answer on: Keep\n"), std::string::npos) << out;
}

TEST_F(TerminalAlert, OnATerminalTheTypedChoiceAnswers) {
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    ::fcntl(master, F_SETFL, O_NONBLOCK);
    const auto type = [master](const std::string& keys) {
        ASSERT_EQ(::write(master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    };
    {
        StdinFrom stdinFromTerminal(slave);
        type("\n");
        EXPECT_EQ(backend_->runModalAlert(question_), platform::kAlertFirstButtonReturn);
        EXPECT_EQ(occurrences(output(), "Choose 1-3 [1]: "), 1u);

        type("4\nyes\n 2 \n");
        EXPECT_EQ(backend_->runModalAlert(question_), platform::kAlertSecondButtonReturn);
        EXPECT_EQ(occurrences(output(), "Choose 1-3 [1]: "), 3u) << "asked again after each wrong answer";

        type("\x04");  // end of input: nobody is left to answer
        EXPECT_EQ(backend_->runModalAlert(question_), platform::kAlertFirstButtonReturn + 2);
    }
    ::close(master);
    ::close(slave);
}

}  // namespace
