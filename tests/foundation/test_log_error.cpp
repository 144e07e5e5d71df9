#include "platform/foundation/Error.h"
#include "platform/foundation/Log.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <unistd.h>
#include <vector>

using platform::Error;
using platform::Value;

namespace {

TEST(Error, DescriptionAsPercentAtShowsIt) {
    EXPECT_EQ(Error("D", 7, "desc").description(), "Error Domain=D Code=7 \"desc\"");
    EXPECT_EQ(Error(platform::kURLErrorDomain, -1009, "offline").description(),
              "Error Domain=NSURLErrorDomain Code=-1009 \"offline\"");
    EXPECT_EQ(Error().description(), "Error Domain= Code=0 \"\"");
    EXPECT_TRUE(Error("D", 1, "x").userInfo.isNil());
    EXPECT_EQ(platform::describe(std::nullopt), "(null)");
    EXPECT_EQ(platform::describe(Error("E", 2, "two")), "Error Domain=E Code=2 \"two\"");
}

TEST(Error, PosixErrorsCarryErrnoAndStrerror) {
    Error plain = platform::posixError(ENOENT);
    EXPECT_EQ(plain.domain, "NSPOSIXErrorDomain");
    EXPECT_EQ(plain.code, ENOENT);
    EXPECT_EQ(plain.localizedDescription, std::strerror(ENOENT));
    Error withWhat = platform::posixError(EACCES, "open /x");
    EXPECT_EQ(withWhat.code, EACCES);
    EXPECT_EQ(withWhat.localizedDescription, std::string("open /x: ") + std::strerror(EACCES));
    EXPECT_FALSE(platform::posixError(123456).localizedDescription.empty());
}

TEST(Error, InvalidArgumentExceptionCarriesNameAndReason) {
    try {
        throw platform::InvalidArgumentException("empty key path");
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "empty key path");
        auto* invalid = dynamic_cast<const platform::InvalidArgumentException*>(&e);
        ASSERT_NE(invalid, nullptr);
        EXPECT_EQ(invalid->name(), "NSInvalidArgumentException");
        EXPECT_EQ(invalid->reason(), "empty key path");
    }
    EXPECT_EQ(platform::InvalidArgumentException("r", "Other").name(), "Other");
}

// Sends standard error into a pipe until finish(), drained by a thread so
// writers never block on a full pipe.
class StderrCapture {
public:
    StderrCapture() {
        int fds[2];
        if (pipe(fds) != 0) throw std::runtime_error("pipe");
        readEnd_ = fds[0];
        saved_ = dup(STDERR_FILENO);
        dup2(fds[1], STDERR_FILENO);
        close(fds[1]);
        reader_ = std::thread([this] {
            char buf[4096];
            for (;;) {
                ssize_t n = read(readEnd_, buf, sizeof buf);
                if (n > 0) text_.append(buf, static_cast<size_t>(n));
                else if (n == 0 || errno != EINTR) break;
            }
        });
    }
    ~StderrCapture() { finish(); }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    // Restores standard error and answers everything written meanwhile.
    std::string finish() {
        if (saved_ >= 0) {
            dup2(saved_, STDERR_FILENO);  // drops the last write end: the reader sees EOF
            close(saved_);
            saved_ = -1;
            reader_.join();
            close(readEnd_);
        }
        return text_;
    }

private:
    int readEnd_ = -1;
    int saved_ = -1;
    std::thread reader_;
    std::string text_;
};

struct ObserverReset {
    ~ObserverReset() { platform::setSystemLogObserver({}); }
};

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

const std::regex kLine(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} ([^\[ ]+)\[(\d+):(\d+)\] (.*)$)");

TEST(SystemLog, WritesOnePrefixedLineToStderr) {
    StderrCapture capture;
    platform::systemLog("100% %@ %s %n literal");  // a message is never a format
    std::string text = capture.finish();
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    auto lines = splitLines(text);
    ASSERT_EQ(lines.size(), 1u) << text;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, kLine)) << lines[0];
    char exe[512] = {};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    EXPECT_EQ(m[1].str(), std::string(std::strrchr(exe, '/') + 1));
    EXPECT_EQ(m[2].str(), std::to_string(getpid()));
    EXPECT_EQ(m[4].str(), "100% %@ %s %n literal");
}

TEST(SystemLog, ObserverSeesMessagesWithoutPrefix) {
    ObserverReset reset;
    std::mutex mutex;
    std::vector<std::string> seen;
    platform::setSystemLogObserver([&](const std::string& message) {
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(message);
    });
    StderrCapture capture;
    platform::logFormat("got %@ and %d%%", Value("x"), 3);
    platform::systemLog("plain");
    platform::setSystemLogObserver({});
    platform::systemLog("unobserved");
    auto lines = splitLines(capture.finish());
    EXPECT_EQ(seen, (std::vector<std::string>{"got x and 3%", "plain"}));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("] got x and 3%"), std::string::npos);
    EXPECT_NE(lines[2].find("] unobserved"), std::string::npos);
}

TEST(SystemLog, LinesFromManyThreadsStayWhole) {
    constexpr int kThreads = 4, kLines = 150;
    StderrCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int n = 0; n < kLines; ++n)
                platform::systemLog("t" + std::to_string(t) + " n" + std::to_string(n) + " " +
                                    std::string(600, static_cast<char>('a' + t)));
        });
    for (auto& thread : threads) thread.join();
    auto lines = splitLines(capture.finish());
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    std::set<std::string> unique;
    for (const auto& line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, kLine)) << line.substr(0, 120);
        EXPECT_NE(m[3].str(), std::to_string(getpid()));  // a worker thread's id, not the main one
        // "t<T> n<N> " and 600 times the letter of thread T, nothing from another line.
        std::string message = m[4].str();
        int t = message[1] - '0';
        size_t space = message.find(' ', 3);
        ASSERT_EQ(message.size(), space + 601) << message.substr(0, 120);
        EXPECT_EQ(message.find_first_not_of(static_cast<char>('a' + t), space + 1), std::string::npos);
        unique.insert(message.substr(0, space));
    }
    EXPECT_EQ(unique.size(), static_cast<size_t>(kThreads * kLines));
}

}  // namespace
