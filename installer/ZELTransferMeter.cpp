#include "installer/ZELTransferMeter.h"

#include <cmath>
#include <cstdio>

namespace {

constexpr auto kWindow = std::chrono::seconds(5);
constexpr auto kShortest = std::chrono::milliseconds(500);  // less says nothing about a speed

}  // namespace

std::string ZELTransferMeter::formatBytes(int64_t bytes) {
    char text[32];
    const double value = static_cast<double>(bytes < 0 ? 0 : bytes);
    if (value < 1000) {
        std::snprintf(text, sizeof text, "%.0f B", value);
    } else if (value < 1000 * 1000) {
        std::snprintf(text, sizeof text, "%.0f KB", std::floor(value / 1000));
    } else if (value < 1000.0 * 1000 * 1000) {
        std::snprintf(text, sizeof text, "%.1f MB", std::floor(value / 1e5) / 10);
    } else {
        std::snprintf(text, sizeof text, "%.2f GB", std::floor(value / 1e7) / 100);
    }
    return text;
}

std::string ZELTransferMeter::formatDuration(double seconds) {
    const long long total = seconds < 0 ? 0 : static_cast<long long>(std::ceil(seconds));
    char text[32];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60, total % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
    return text;
}

std::string ZELTransferMeter::detailFor(int64_t written, int64_t expected, Clock::time_point now) {
    if (expected < 0) return formatBytes(written) + " received";
    samples_.push_back({now, written});
    while (samples_.size() > 2 && now - samples_[1].when >= kWindow) samples_.pop_front();
    const auto span = now - samples_.front().when;
    if (span < kShortest) return "";
    const double seconds = std::chrono::duration<double>(span).count();
    const double speed = static_cast<double>(written - samples_.front().written) / seconds;
    if (speed <= 0) return "";
    const std::string rate = formatBytes(static_cast<int64_t>(speed)) + "/s";
    if (written >= expected) return rate;
    return rate + ", " + formatDuration(static_cast<double>(expected - written) / speed) + " left";
}
