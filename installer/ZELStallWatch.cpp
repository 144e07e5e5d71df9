#include "installer/ZELStallWatch.h"

ZELStallWatch::ZELStallWatch(std::chrono::milliseconds limit, std::function<void(bool)> onChange)
    : limit_(limit), onChange_(std::move(onChange)), last_(std::chrono::steady_clock::now()),
      thread_([this] { watch(); }) {}

ZELStallWatch::~ZELStallWatch() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void ZELStallWatch::dataArrived() {
    bool resumed = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        last_ = std::chrono::steady_clock::now();
        resumed = stalled_;
        stalled_ = false;
    }
    wake_.notify_all();
    if (resumed) onChange_(false);
}

void ZELStallWatch::watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        const auto deadline = last_ + limit_;
        if (!stalled_ && std::chrono::steady_clock::now() >= deadline) {
            stalled_ = true;
            lock.unlock();
            onChange_(true);
            lock.lock();
            continue;
        }
        if (stalled_)
            wake_.wait(lock);  // until data comes or the watch stops
        else
            wake_.wait_until(lock, deadline);
    }
}
