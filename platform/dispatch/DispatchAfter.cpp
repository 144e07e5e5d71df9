// The timer behind dispatchAfter: one thread for the process, started on
// first use, sleeping until the earliest deadline. It never runs a block
// itself; it only hands each to its queue, so a slow block delays nobody.
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "platform/dispatch/Dispatch.h"

namespace platform {

namespace {

class Timer {
public:
    static Timer& instance() {
        // Never destroyed: blocks may be scheduled from static destructors'
        // neighbours, and the thread must not outlive its state.
        static Timer* timer = new Timer;
        return *timer;
    }

    void schedule(std::chrono::steady_clock::time_point when, DispatchQueue& queue, std::function<void()> block) {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.emplace(when, Entry{&queue, std::move(block)});
        if (!started_) {
            started_ = true;
            std::thread([this] { run(); }).detach();
        }
        wake_.notify_one();
    }

private:
    struct Entry {
        DispatchQueue* queue;
        std::function<void()> block;
    };

    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            if (entries_.empty()) {
                wake_.wait(lock);
                continue;
            }
            const auto first = entries_.begin();
            if (std::chrono::steady_clock::now() < first->first) {
                wake_.wait_until(lock, first->first);
                continue;
            }
            Entry entry = std::move(first->second);
            entries_.erase(first);
            lock.unlock();
            entry.queue->async(std::move(entry.block));
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::multimap<std::chrono::steady_clock::time_point, Entry> entries_;  // equal deadlines keep their order
    bool started_ = false;
};

}  // namespace

void dispatchAfter(std::chrono::milliseconds delay, DispatchQueue& queue, std::function<void()> block) {
    if (delay.count() < 0) delay = std::chrono::milliseconds(0);
    Timer::instance().schedule(std::chrono::steady_clock::now() + delay, queue, std::move(block));
}

}  // namespace platform
