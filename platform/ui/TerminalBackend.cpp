// The terminal back end: stands in for the AppKit window when there is no
// display (or "--terminal" is given). On a terminal the status line and the
// progress bar are redrawn in place; on a pipe or file every change is one
// plain line.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "platform/foundation/DisplayText.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/ui/Application.h"

namespace platform {
namespace {

constexpr int kBarWidth = 30;
constexpr int kBusyBlockWidth = 5;
constexpr auto kBusyInterval = std::chrono::milliseconds(100);
constexpr int kDefaultColumns = 80;

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const noexcept { return fd_; }

private:
    int fd_ = -1;
};

void writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // a closed terminal is no reason to stop installing
        }
        text.remove_prefix(static_cast<size_t>(n));
    }
}

std::string sanitized(std::string_view text, bool keepNewlines) { return displayableText(text, keepNewlines); }

// Width in columns, counting each UTF-8 code point as one column.
size_t displayWidth(std::string_view text) {
    return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

// Cuts `text` to at most `columns` columns, marking the cut with "...".
std::string fitted(const std::string& text, size_t columns) {
    if (displayWidth(text) <= columns) return text;
    if (columns <= 3) return std::string(columns, '.');
    const size_t keep = columns - 3;
    size_t points = 0;
    size_t i = 0;
    for (; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (points == keep) break;
            ++points;
        }
    }
    return text.substr(0, i) + "...";
}

// What the terminal shows, shared by the controls. Main thread only.
class TerminalScreen {
public:
    explicit TerminalScreen(int fd) : fd_(fd), tty_(::isatty(fd) == 1) {}
    ~TerminalScreen() {
        if (tty_ && lineDrawn_) writeAll(fd_, "\n");
    }
    TerminalScreen(const TerminalScreen&) = delete;
    TerminalScreen& operator=(const TerminalScreen&) = delete;

    bool isTTY() const noexcept { return tty_; }

    void setStatus(const std::string& text) {
        const std::string clean = sanitized(text, false);
        if (clean == status_) return;
        status_ = clean;
        if (tty_) {
            redraw();
        } else if (!status_.empty()) {
            writeAll(fd_, status_ + "\n");
        }
    }

    // A log gets the next value set after these, not a stale one now.
    void setProgressHidden(bool hidden) {
        progressHidden_ = hidden;
        lastPercent_ = -1;
        if (tty_) redraw();
    }
    void setIndeterminate(bool indeterminate) {
        indeterminate_ = indeterminate;
        lastPercent_ = -1;  // a new determinate run starts
        if (tty_) redraw();
    }
    void setProgress(double value) {
        value_ = value;
        update();
    }
    // One step of the busy animation.
    void tick() {
        if (!indeterminate_ || progressHidden_) return;
        busyPosition_ += busyDirection_;
        if (busyPosition_ <= 0 || busyPosition_ >= kBarWidth - kBusyBlockWidth) {
            busyPosition_ = std::clamp(busyPosition_, 0, kBarWidth - kBusyBlockWidth);
            busyDirection_ = -busyDirection_;
        }
        if (tty_) redraw();
    }

    // The text beside the bar; a log gets none of it.
    void setDetail(const std::string& text) {
        const std::string clean = sanitized(text, false);
        if (clean == detail_) return;
        detail_ = clean;
        if (tty_ && !progressHidden_) redraw();
    }

    // Text that interrupts the status line (alerts, the button prompt).
    // A question leaves the status line off until resume(), so the answer
    // is typed right after it.
    void printBlock(const std::string& text, bool redrawAfter = true) {
        if (tty_ && lineDrawn_) writeAll(fd_, "\r\x1b[2K");
        writeAll(fd_, text);
        if (tty_) {
            lineDrawn_ = false;
            lastLine_.clear();
            if (redrawAfter) redraw();
        }
    }
    void resume() {
        if (tty_) redraw();
    }
    void bell() {
        if (tty_) writeAll(fd_, "\a");
    }

private:
    void update() {
        if (tty_) {
            redraw();
            return;
        }
        if (progressHidden_ || indeterminate_) return;
        const int percent = static_cast<int>(std::floor(value_));
        if (percent == lastPercent_) return;
        lastPercent_ = percent;
        writeAll(fd_, "Progress: " + std::to_string(percent) + "%\n");
    }

    int columns() const {
        winsize size{};
        if (::ioctl(fd_, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
        return kDefaultColumns;
    }

    std::string bar() const {
        std::string cells(kBarWidth, '.');
        if (indeterminate_) {
            std::fill_n(cells.begin() + busyPosition_, kBusyBlockWidth, '#');
        } else {
            const int filled = static_cast<int>(std::lround(value_ / 100.0 * kBarWidth));
            std::fill_n(cells.begin(), std::clamp(filled, 0, kBarWidth), '#');
        }
        std::string percent = "    ";
        if (!indeterminate_) {
            percent = std::to_string(static_cast<int>(std::floor(value_))) + "%";
            percent.insert(0, 4 - std::min<size_t>(4, percent.size()), ' ');
        }
        return "  [" + cells + "]  " + percent + (detail_.empty() ? std::string() : "  " + detail_);
    }


    void redraw() {
        // One column spare: writing the last column makes some terminals wrap.
        const size_t width = static_cast<size_t>(std::max(columns() - 1, 10));
        std::string line;
        if (progressHidden_) {
            line = fitted(status_, width);
        } else {
            const std::string tail = bar();
            line = fitted(status_, width > tail.size() ? width - tail.size() : 0) + tail;
        }
        if (line == lastLine_ && lineDrawn_) return;
        lastLine_ = line;
        writeAll(fd_, "\r\x1b[2K" + line);
        lineDrawn_ = true;
    }

    int fd_;
    bool tty_;
    std::string status_;
    bool progressHidden_ = false;
    bool indeterminate_ = false;
    double value_ = 0;
    int busyPosition_ = 0;
    int busyDirection_ = 1;
    int lastPercent_ = -1;
    std::string detail_;
    std::string lastLine_;
    bool lineDrawn_ = false;
};

// Posts a busy-animation step to the main queue every kBusyInterval until
// destroyed; at most one step waits in the queue at a time.
class BusyTicker {
public:
    explicit BusyTicker(std::weak_ptr<TerminalScreen> screen)
        : pending_(std::make_shared<std::atomic<bool>>(false)),
          thread_([screen = std::move(screen), pending = pending_](std::stop_token stop) {
              std::mutex mutex;
              std::condition_variable_any wake;
              std::unique_lock lock(mutex);
              while (!wake.wait_for(lock, stop, kBusyInterval, [] { return false; }) && !stop.stop_requested()) {
                  if (pending->exchange(true)) continue;
                  DispatchQueue::main().async([screen, pending] {
                      pending->store(false);
                      if (auto s = screen.lock()) s->tick();
                  });
              }
          }) {}

private:
    std::shared_ptr<std::atomic<bool>> pending_;
    std::jthread thread_;  // last: stopped and joined first
};

// Watches standard input for a line or its end and reports each on the
// watcher's thread; stops when destroyed.
class StdinWatcher {
public:
    explicit StdinWatcher(std::function<void()> onPress)
        : stop_(::eventfd(0, EFD_CLOEXEC)) {
        // Without a way to stop the thread, do not start one.
        if (stop_.get() >= 0) thread_ = std::thread([this, onPress = std::move(onPress)] { watch(onPress); });
    }
    StdinWatcher(const StdinWatcher&) = delete;
    StdinWatcher& operator=(const StdinWatcher&) = delete;
    ~StdinWatcher() {
        if (!thread_.joinable()) return;
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(stop_.get(), &one, sizeof one);
        thread_.join();
    }

private:
    void watch(const std::function<void()>& onPress) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {stop_.get(), POLLIN, 0}};
        char buffer[512];
        for (;;) {
            const int ready = ::poll(fds, 2, -1);
            if (ready < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents != 0) return;
            if (fds[0].revents & POLLNVAL) {  // no standard input at all: as at its end
                onPress();
                return;
            }
            if (fds[0].revents == 0) continue;
            const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) {  // end of input: nobody is left to press Enter
                onPress();
                return;
            }
            if (std::memchr(buffer, '\n', static_cast<size_t>(n))) onPress();
        }
    }

    UniqueFd stop_;
    std::thread thread_;
};

class TerminalTextField final : public TextField {
public:
    explicit TerminalTextField(std::shared_ptr<TerminalScreen> screen) : screen_(std::move(screen)) {}
    void setStringValue(const std::string& text) override {
        text_ = text;
        screen_->setStatus(text);
    }
    std::string stringValue() const override { return text_; }

private:
    std::shared_ptr<TerminalScreen> screen_;
    std::string text_;
};

class TerminalProgress final : public ProgressIndicator {
public:
    explicit TerminalProgress(std::shared_ptr<TerminalScreen> screen) : screen_(std::move(screen)) {}

    void setIndeterminate(bool indeterminate) override {
        if (indeterminate == indeterminate_) return;
        indeterminate_ = indeterminate;
        screen_->setIndeterminate(indeterminate);
        updateTicker();
    }
    bool isIndeterminate() const override { return indeterminate_; }
    void setUsesThreadedAnimation(bool threaded) override { threaded_ = threaded; }
    void startAnimation() override {
        animating_ = true;
        updateTicker();
    }
    void stopAnimation() override {
        animating_ = false;
        updateTicker();
    }
    bool isAnimating() const override { return animating_; }
    void setDoubleValue(double value) override {
        value_ = std::isfinite(value) ? std::clamp(value, 0.0, 100.0) : 0.0;  // an unknown length gives no meaningful value
        screen_->setProgress(value_);
    }
    double doubleValue() const override { return value_; }
    void updateLayer() override {}  // every change is written at once
    void setHidden(bool hidden) override {
        if (hidden == hidden_) return;
        hidden_ = hidden;
        screen_->setProgressHidden(hidden);
        updateTicker();
    }
    bool isHidden() const override { return hidden_; }
    void setDetailText(const std::string& text) override { screen_->setDetail(text); }

private:
    // Only a terminal shows the animation; a log gets no busy lines.
    void updateTicker() {
        const bool wanted = screen_->isTTY() && indeterminate_ && animating_ && !hidden_;
        if (wanted && !ticker_) {
            ticker_ = std::make_unique<BusyTicker>(screen_);
        } else if (!wanted) {
            ticker_.reset();
        }
    }

    std::shared_ptr<TerminalScreen> screen_;
    bool indeterminate_ = false;
    bool animating_ = false;
    bool threaded_ = false;
    bool hidden_ = false;
    double value_ = 0;
    std::unique_ptr<BusyTicker> ticker_;
};

class TerminalImageView final : public ImageView {
public:
    void setImage(const std::optional<std::string>& imagePath) override { path_ = imagePath; }
    std::optional<std::string> image() const override { return path_; }

private:
    std::optional<std::string> path_;
};

class TerminalButton final : public Button {
public:
    explicit TerminalButton(std::shared_ptr<TerminalScreen> screen) : screen_(std::move(screen)) {}
    ~TerminalButton() override { watcher_.reset(); }

    void setTitle(const std::string& title) override { state_->title = title; }
    std::string title() const override { return state_->title; }
    void setHidden(bool hidden) override {
        if (hidden == state_->hidden) return;
        state_->hidden = hidden;
        if (hidden) {
            watcher_.reset();
            return;
        }
        screen_->printBlock("[ " + sanitized(state_->title, false) + " ] (press Enter)\n");
        watcher_ = std::make_unique<StdinWatcher>([weak = std::weak_ptr<State>(state_)] {
            DispatchQueue::main().async([weak] {
                auto state = weak.lock();
                if (!state || state->hidden || !state->action) return;
                auto action = state->action;  // the action may replace itself
                action();
            });
        });
    }
    bool isHidden() const override { return state_->hidden; }
    void setAction(std::function<void()> action) override { state_->action = std::move(action); }

private:
    struct State {
        std::string title = "Quit";
        bool hidden = true;
        std::function<void()> action;
    };

    std::shared_ptr<TerminalScreen> screen_;
    std::shared_ptr<State> state_ = std::make_shared<State>();
    std::unique_ptr<StdinWatcher> watcher_;
};

class TerminalBackend final : public UIBackend {
public:
    explicit TerminalBackend(int fd) : screen_(std::make_shared<TerminalScreen>(fd)) {}

    WindowOutlets loadMainWindow() override {
        if (!statusText_) {
            statusText_ = std::make_unique<TerminalTextField>(screen_);
            progressView_ = std::make_unique<TerminalProgress>(screen_);
            appIcon_ = std::make_unique<TerminalImageView>();
            quitButton_ = std::make_unique<TerminalButton>(screen_);
        }
        return {statusText_.get(), progressView_.get(), appIcon_.get(), quitButton_.get()};
    }

    // One button only tells: printed and answered at once. A choice is asked
    // on the terminal; without one on standard input nobody can answer, and
    // the last button (the "no" of a question) is taken.
    long runModalAlert(const AlertSpec& alert) override {
        std::string text = "\n== " + sanitized(alert.messageText, false) + " ==\n";
        if (!alert.informativeText.empty()) text += sanitized(alert.informativeText, true) + "\n";
        if (alert.buttons.size() < 2) {
            text += "[ " + sanitized(alert.buttons.empty() ? std::string("OK") : alert.buttons.front(), false) + " ]\n";
            screen_->printBlock(text);
            return alert.responseForButton(0);
        }
        for (size_t i = 0; i < alert.buttons.size(); ++i) {
            text += "  " + std::to_string(i + 1) + ") " + sanitized(alert.buttons[i], false) + "\n";
        }
        const size_t last = alert.buttons.size() - 1;
        if (::isatty(STDIN_FILENO) != 1) {
            text += "No terminal to answer on: " + sanitized(alert.buttons[last], false) + "\n";
            screen_->printBlock(text);
            return alert.responseForButton(last);
        }
        screen_->printBlock(text, false);
        const size_t chosen = askForButton(alert.buttons.size()).value_or(last);
        screen_->resume();
        return alert.responseForButton(chosen);
    }

    void activateIgnoringOtherApps(bool) override {}
    void requestUserAttention(int) override { screen_->bell(); }
    void run() override { MainLoop::run(); }
    void quit() override { MainLoop::quit(); }

private:
    // The index of the button typed on standard input (an empty line takes
    // the first), asking again after anything else; nothing at the end of input.
    std::optional<size_t> askForButton(size_t count) {
        const std::string prompt = "Choose 1-" + std::to_string(count) + " [1]: ";
        for (;;) {
            screen_->printBlock(prompt, false);
            const std::optional<std::string> line = readInputLine();
            if (!line) {
                screen_->printBlock("\n", false);
                return std::nullopt;
            }
            const std::string answer = trimmed(*line);
            if (answer.empty()) return 0;
            if (answer.size() <= 3 && std::all_of(answer.begin(), answer.end(), [](char c) { return c >= '0' && c <= '9'; })) {
                const size_t number = std::stoul(answer);
                if (number >= 1 && number <= count) return number - 1;
            }
        }
    }

    // One line of standard input without its newline, read a byte at a time
    // so that nothing after it is taken from whoever reads next.
    static std::optional<std::string> readInputLine() {
        constexpr size_t kMaxLine = 1024;  // the rest of a longer line is dropped
        std::string line;
        for (;;) {
            char c;
            const ssize_t n = ::read(STDIN_FILENO, &c, 1);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                if (line.empty()) return std::nullopt;
                return line;
            }
            if (c == '\n') return line;
            if (line.size() < kMaxLine) line.push_back(c);
        }
    }

    static std::string trimmed(const std::string& text) {
        const size_t start = text.find_first_not_of(" \t\r");
        if (start == std::string::npos) return {};
        return text.substr(start, text.find_last_not_of(" \t\r") - start + 1);
    }

    std::shared_ptr<TerminalScreen> screen_;  // first: outlives the controls
    std::unique_ptr<TerminalTextField> statusText_;
    std::unique_ptr<TerminalProgress> progressView_;
    std::unique_ptr<TerminalImageView> appIcon_;
    std::unique_ptr<TerminalButton> quitButton_;
};

}  // namespace

std::unique_ptr<UIBackend> makeTerminalBackend(int outFd) {
    return std::make_unique<TerminalBackend>(outFd);
}

}  // namespace platform
