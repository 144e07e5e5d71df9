// Notices a download that has stopped moving: a watcher thread calls
// `onChange(true)` once no data has come for `limit`, and the next data calls
// `onChange(false)` (on the thread that reports it). Stopped and joined when
// destroyed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class ZELStallWatch {
public:
    ZELStallWatch(std::chrono::milliseconds limit, std::function<void(bool stalled)> onChange);
    ~ZELStallWatch();
    ZELStallWatch(const ZELStallWatch&) = delete;
    ZELStallWatch& operator=(const ZELStallWatch&) = delete;

    void dataArrived();

private:
    void watch();

    const std::chrono::milliseconds limit_;
    const std::function<void(bool)> onChange_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::chrono::steady_clock::time_point last_;
    bool stalled_ = false;
    bool stopping_ = false;
    std::thread thread_;  // last: starts once everything above is there
};
