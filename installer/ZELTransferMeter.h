// What a person reads beside the progress bar: the speed and the time left
// while the length is known, the bytes received while it is not.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>

class ZELTransferMeter {
public:
    using Clock = std::chrono::steady_clock;

    // Takes one progress report and answers the text for it: "1.2 MB/s, 0:42
    // left" (nothing until the speed can be told), or "12.3 MB received".
    std::string detailFor(int64_t written, int64_t expected, Clock::time_point now);

    // "980 B", "512 KB", "12.3 MB", "1.20 GB" (powers of 1000).
    static std::string formatBytes(int64_t bytes);
    // "0:42", "12:05", "1:02:03".
    static std::string formatDuration(double seconds);

private:
    struct Sample {
        Clock::time_point when;
        int64_t written;
    };
    std::deque<Sample> samples_;  // the last few seconds, for a speed that follows changes
};
