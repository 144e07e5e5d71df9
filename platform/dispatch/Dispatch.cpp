// Work queues on std::thread: the main queue (a locked deque plus an eventfd
// so foreign loops can wait on it), serial queues with one lazily started
// thread each, and small per-priority pools for the global queues.
#include "platform/dispatch/Dispatch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <future>
#include <mutex>
#include <thread>
#include <utility>

namespace platform {

namespace {

using Block = std::function<void()>;

// The queue whose blocks the calling thread runs; lets sync() run inline on
// the queue's own thread and answers isCurrent() for pool threads.
thread_local const void* tCurrentQueue = nullptr;

class CurrentQueueScope {
public:
    explicit CurrentQueueScope(const void* queue) : previous_(tCurrentQueue) { tCurrentQueue = queue; }
    ~CurrentQueueScope() { tCurrentQueue = previous_; }
    CurrentQueueScope(const CurrentQueueScope&) = delete;
    CurrentQueueScope& operator=(const CurrentQueueScope&) = delete;

private:
    const void* previous_;
};

// One line on stderr in one write, so lines of several threads never mix.
void reportEscapedException(const std::string& label, const char* what) {
    std::string line = "dispatch queue \"" + label + "\": a block threw";
    if (what) {
        line += ": ";
        line += what;
    }
    for (char& c : line) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    line += '\n';
    ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
}

// Runs a block; an exception it lets out is reported and dropped so the
// thread running the queue lives on.
void runBlock(const Block& block, const std::string& label) {
    try {
        block();
    } catch (const std::exception& e) {
        reportEscapedException(label, e.what());
    } catch (...) {
        reportEscapedException(label, nullptr);
    }
}

// Queues `block` on `queue` and waits until it has run.
void syncThroughAsync(DispatchQueue& queue, Block block) {
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    queue.async([&block, &done, &queue] {
        runBlock(block, queue.label());
        done.set_value();
    });
    finished.wait();
}

pid_t currentTid() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

// ---------------------------------------------------------------- main queue

class MainQueue final : public DispatchQueue {
public:
    MainQueue() : label_("com.apple.main-thread") {
        wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (wakeFd_ < 0) {
            std::perror("eventfd for the main queue");
            std::abort();
        }
    }
    // Lives as long as the process: never destroyed (see instance()).

    void async(Block block) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            blocks_.push_back(std::move(block));
        }
        signal();
    }

    void sync(Block block) override {
        if (isCurrent()) {
            runBlock(block, label_);
            return;
        }
        syncThroughAsync(*this, std::move(block));
    }

    const std::string& label() const override { return label_; }
    bool isCurrent() const override { return mainThread_.load() == std::this_thread::get_id(); }

    void adopt() { mainThread_.store(std::this_thread::get_id()); }

    // Runs the first queued block, if any. Blocks are taken one at a time
    // so a nested loop started by a block keeps the queue's order.
    bool runOne() {
        Block block;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (blocks_.empty()) return false;
            block = std::move(blocks_.front());
            blocks_.pop_front();
        }
        runBlock(block, label_);
        block = nullptr;  // its captures go away here, outside the lock
        return true;
    }

    size_t drainPending() {
        clearSignal();
        size_t queued;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queued = blocks_.size();
        }
        size_t ran = 0;
        while (ran < queued && runOne()) ++ran;
        resignalIfPending();
        return ran;
    }

    // Waits until a block is queued, quit() is called or `timeoutMs`
    // passes (-1: no limit).
    void waitForWork(int timeoutMs) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!blocks_.empty()) return;
        }
        pollfd pfd{wakeFd_, POLLIN, 0};
        while (::poll(&pfd, 1, timeoutMs) < 0 && errno == EINTR) {
        }
        clearSignal();
    }

    void signal() {
        uint64_t one = 1;
        while (::write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }

    int wakeDescriptor() const { return wakeFd_; }

    std::atomic<bool> quitRequested{false};

    static MainQueue& instance() {
        // Leaked on purpose: other threads may still queue blocks while the
        // process exits.
        static MainQueue* queue = new MainQueue;
        return *queue;
    }

private:
    void clearSignal() {
        uint64_t count;
        while (::read(wakeFd_, &count, sizeof count) < 0 && errno == EINTR) {
        }
    }

    void resignalIfPending() {
        bool pending;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            pending = !blocks_.empty();
        }
        if (pending) signal();
    }

    const std::string label_;
    std::mutex mutex_;
    std::deque<Block> blocks_;
    int wakeFd_ = -1;
    std::atomic<std::thread::id> mainThread_{};
};

// ------------------------------------------------------------- serial queues

class SerialQueue final : public DispatchQueue {
public:
    explicit SerialQueue(std::string label) : state_(std::make_shared<State>(std::move(label))) {}

    ~SerialQueue() override {
        std::thread thread;
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            state_->stopping = true;
            thread = std::move(thread_);
        }
        state_->wake.notify_all();
        if (!thread.joinable()) return;
        if (thread.get_id() == std::this_thread::get_id()) {
            // Destroyed by one of its own blocks: the thread finishes the
            // queue on its own and ends; it holds the state it needs.
            thread.detach();
        } else {
            thread.join();
        }
    }

    void async(Block block) override {
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            state_->blocks.push_back(std::move(block));
            if (!state_->started) {
                state_->started = true;
                thread_ = std::thread([state = state_] { state->run(); });
                state_->threadId.store(thread_.get_id());
            }
        }
        state_->wake.notify_one();
    }

    void sync(Block block) override {
        if (isCurrent()) {
            runBlock(block, state_->label);
            return;
        }
        syncThroughAsync(*this, std::move(block));
    }

    const std::string& label() const override { return state_->label; }
    bool isCurrent() const override { return state_->threadId.load() == std::this_thread::get_id(); }

private:
    struct State {
        explicit State(std::string l) : label(std::move(l)) {}

        void run() {
            CurrentQueueScope scope(this);
            std::unique_lock<std::mutex> lock(mutex);
            for (;;) {
                wake.wait(lock, [this] { return stopping || !blocks.empty(); });
                if (blocks.empty()) return;  // stopping, and everything ran
                Block block = std::move(blocks.front());
                blocks.pop_front();
                lock.unlock();
                runBlock(block, label);
                block = nullptr;  // may destroy the queue itself
                lock.lock();
            }
        }

        const std::string label;
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<Block> blocks;
        bool stopping = false;
        bool started = false;
        std::atomic<std::thread::id> threadId{};
    };

    std::shared_ptr<State> state_;
    std::thread thread_;  // guarded by state_->mutex
};

// ------------------------------------------------------------- global queues

class GlobalQueue final : public DispatchQueue {
public:
    GlobalQueue(std::string label, int niceValue) : label_(std::move(label)), nice_(niceValue) {}
    // Lives as long as the process (see global()); its threads never end.

    void async(Block block) override {
        bool grow = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            blocks_.push_back(std::move(block));
            if (idle_ < blocks_.size() && threads_ < kMaxThreads) {
                ++threads_;
                ++idle_;  // counted as idle until it picks up work
                grow = true;
            }
        }
        if (grow) std::thread([this] { work(); }).detach();
        wake_.notify_one();
    }

    void sync(Block block) override {
        if (isCurrent()) {
            runBlock(block, label_);
            return;
        }
        syncThroughAsync(*this, std::move(block));
    }

    const std::string& label() const override { return label_; }
    bool isCurrent() const override { return tCurrentQueue == this; }

private:
    static constexpr size_t kMaxThreads = 4;

    void work() {
        if (nice_ > 0) {
            // Linux applies the nice value per thread.
            ::setpriority(PRIO_PROCESS, static_cast<id_t>(currentTid()), nice_);
        }
        CurrentQueueScope scope(this);
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return !blocks_.empty(); });
            Block block = std::move(blocks_.front());
            blocks_.pop_front();
            --idle_;
            lock.unlock();
            runBlock(block, label_);
            block = nullptr;
            lock.lock();
            ++idle_;
        }
    }

    const std::string label_;
    const int nice_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Block> blocks_;
    size_t threads_ = 0;
    size_t idle_ = 0;
};

}  // namespace

// ------------------------------------------------------------------ factories

DispatchQueue& DispatchQueue::main() { return MainQueue::instance(); }

std::shared_ptr<DispatchQueue> DispatchQueue::serial(std::string label) {
    return std::make_shared<SerialQueue>(std::move(label));
}

DispatchQueue& DispatchQueue::global(Priority priority) {
    // Leaked on purpose, like the main queue: their threads run until exit.
    static GlobalQueue* high = new GlobalQueue("com.apple.root.user-initiated-qos", 0);
    static GlobalQueue* normal = new GlobalQueue("com.apple.root.default-qos", 0);
    static GlobalQueue* low = new GlobalQueue("com.apple.root.utility-qos", 10);
    static GlobalQueue* background = new GlobalQueue("com.apple.root.background-qos", 19);
    switch (priority) {
        case Priority::High: return *high;
        case Priority::Low: return *low;
        case Priority::Background: return *background;
        case Priority::Default: break;
    }
    return *normal;
}

// ------------------------------------------------------------------ main loop

void MainLoop::adoptCurrentThreadAsMain() { MainQueue::instance().adopt(); }

bool MainLoop::isMainThread() { return MainQueue::instance().isCurrent(); }

void MainLoop::run() {
    MainQueue& queue = MainQueue::instance();
    queue.adopt();
    // A quit() that came before run() counts: a program that decides to end
    // while still setting up must not wait forever.
    while (!queue.quitRequested.exchange(false)) {
        if (!queue.runOne()) queue.waitForWork(-1);
    }
}

void MainLoop::quit() {
    MainQueue& queue = MainQueue::instance();
    queue.quitRequested.store(true);
    queue.signal();
}

bool MainLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    MainQueue& queue = MainQueue::instance();
    queue.adopt();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (done()) return true;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        if (queue.runOne()) continue;
        // Rounded up so the last wait does not spin.
        queue.waitForWork(static_cast<int>(std::min<long long>(left.count() + 1, 1000 * 1000)));
    }
}

size_t MainLoop::drainPending() { return MainQueue::instance().drainPending(); }

int MainLoop::wakeDescriptor() { return MainQueue::instance().wakeDescriptor(); }

}  // namespace platform
