#include "sentry/SentryBreadcrumbs.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <mutex>
#include <vector>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/Log.h"

using platform::Value;

namespace {

// Digits of the largest breadcrumb number (INT32_MAX).
constexpr size_t kLongestNumber = 10;

// The crash-time state: plain memory and lock-free atomics. The buffer
// holds the prefix; the callback writes each file number right after it.
char g_path[SentryBreadcrumbs::kPathBufferSize];
std::atomic<size_t> g_prefixLength{0};  // 0 while the store is off
std::atomic<int32_t> g_count{0};

static_assert(std::atomic<size_t>::is_always_lock_free && std::atomic<int32_t>::is_always_lock_free,
              "read inside the crash handler");

// The writers' state; the prefix as text so that writers never touch the
// buffer the crash callback formats into.
struct Writers {
    std::mutex lock;
    std::string prefix;
};

Writers& writers() {
    static Writers* state = new Writers();  // never destroyed: threads may log during exit
    return *state;
}

// `value` (not negative) in decimal with a terminating zero, into `out` of
// `capacity` bytes; false when it does not fit. Crash-path safe.
bool writeDecimal(char* out, size_t capacity, int64_t value) {
    char digits[20];
    size_t length = 0;
    uint64_t rest = static_cast<uint64_t>(value);
    do {
        digits[length++] = static_cast<char>('0' + rest % 10);
        rest /= 10;
    } while (rest != 0);
    if (length + 1 > capacity) return false;
    for (size_t i = 0; i < length; i++) out[i] = digits[length - 1 - i];
    out[length] = '\0';
    return true;
}

// The number of a store file's name, or 0 for any other name.
int64_t numberOfFile(const std::string& name) {
    const size_t prefix = std::strlen(SentryBreadcrumbs::kFileNamePrefix);
    if (name.size() <= prefix || name.size() > prefix + kLongestNumber ||
        name.compare(0, prefix, SentryBreadcrumbs::kFileNamePrefix) != 0 || name[prefix] == '0')
        return 0;
    int64_t number = 0;
    for (size_t i = prefix; i < name.size(); i++) {
        if (name[i] < '0' || name[i] > '9') return 0;
        number = number * 10 + (name[i] - '0');
    }
    return number;
}

// Keeps the newest breadcrumbs of earlier runs, renumbered 1..k without gaps
// (a crash early in this run reports what went wrong before it), and removes
// the older ones. Answers k.
int32_t carryOverEarlierBreadcrumbs(const std::string& prefix) {
    const std::string directory = platform::deletingLastPathComponent(prefix);
    const auto& files = platform::FileManager::defaultManager();
    std::vector<int64_t> numbers;
    for (const std::string& name : files.contentsOfDirectoryAtPath(directory))
        if (const int64_t number = numberOfFile(name)) numbers.push_back(number);
    std::sort(numbers.begin(), numbers.end());
    const size_t keep = std::min<size_t>(numbers.size(), SentryBreadcrumbs::kBreadcrumbsInCrashReport);
    const size_t first = numbers.size() - keep;
    for (size_t i = 0; i < first; i++) files.removeItemAtPath(prefix + std::to_string(numbers[i]));
    int32_t kept = 0;
    for (size_t i = first; i < numbers.size(); i++) {
        // Ascending, and each new number is at most the old one: a rename
        // never lands on a file not yet moved.
        const std::string to = prefix + std::to_string(kept + 1);
        if (numbers[i] == kept + 1 || ::rename((prefix + std::to_string(numbers[i])).c_str(), to.c_str()) == 0)
            kept++;
    }
    return kept;
}

double secondsNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

bool SentryBreadcrumbs::setDirectory(const std::string& directory) {
    Writers& state = writers();
    std::lock_guard<std::mutex> guard(state.lock);
    g_prefixLength.store(0, std::memory_order_release);
    g_count.store(0, std::memory_order_release);
    state.prefix.clear();
    if (directory.empty()) return false;
    const std::string prefix = platform::appendPathComponent(directory, kFileNamePrefix);
    if (prefix.size() + kLongestNumber + 1 > kPathBufferSize) {
        // The crash callback could not name every file: better none at all.
        platform::logFormat("Sentry: Breadcrumb path is %lu bytes, more than %lu; breadcrumbs are off.",
                            static_cast<unsigned long>(prefix.size()),
                            static_cast<unsigned long>(kPathBufferSize - kLongestNumber - 1));
        return false;
    }
    std::memcpy(g_path, prefix.data(), prefix.size());
    g_path[prefix.size()] = '\0';
    state.prefix = prefix;
    g_count.store(carryOverEarlierBreadcrumbs(prefix), std::memory_order_release);
    g_prefixLength.store(prefix.size(), std::memory_order_release);
    return true;
}

bool SentryBreadcrumbs::isEnabled() { return g_prefixLength.load(std::memory_order_acquire) != 0; }

int32_t SentryBreadcrumbs::count() { return g_count.load(std::memory_order_acquire); }

std::string SentryBreadcrumbs::pathForNumber(int32_t number) {
    Writers& state = writers();
    std::lock_guard<std::mutex> guard(state.lock);
    if (state.prefix.empty()) return {};
    return state.prefix + std::to_string(number);
}

bool SentryBreadcrumbs::add(const Value& category, const Value& level, const Value& message, const Value& data) {
    if (!isEnabled()) return false;  // before set-up, or off for good: dropped
    Value record = Value::dictionary();
    record.setObject(timestamp(secondsNow()), "timestamp");
    record.setObject(category.isNil() ? Value("unknown") : category, "category");
    record.setObject(level, "level");  // nil leaves the member out
    record.setObject(data, "data");
    record.setObject(message, "message");
    platform::Error error;
    const std::string json = platform::JSONSerialization::dataWithJSONObject(record, 0, &error);
    if (json.empty()) {
        platform::logFormat("Sentry: Error serializing breadcrumb: %@", error);
        return false;
    }

    Writers& state = writers();
    std::lock_guard<std::mutex> guard(state.lock);
    if (state.prefix.empty()) return false;
    const int32_t current = g_count.load(std::memory_order_acquire);
    if (current == std::numeric_limits<int32_t>::max()) return false;  // no number left to name it
    const std::string path = state.prefix + std::to_string(current + 1);
    platform::Error writeError;
    if (!platform::FileManager::defaultManager().createFileAtPath(path, Value::Bytes(json.begin(), json.end()),
                                                                  &writeError)) {
        platform::logFormat("Sentry: Error writing breadcrumb: %@", writeError);
        return false;
    }
    // Raised only once the file is complete: the crash callback reads every
    // number up to the count.
    g_count.store(current + 1, std::memory_order_release);
    return true;
}

void SentryBreadcrumbs::writeToReport(const MaydayReportWriter* writer) {
    const size_t prefixLength = g_prefixLength.load(std::memory_order_acquire);
    const int32_t newest = g_count.load(std::memory_order_acquire);
    if (prefixLength == 0 || newest < 1) return;
    writer->beginArray(writer, "breadcrumbs");
    const int64_t oldest = newest - (kBreadcrumbsInCrashReport - 1) > 0 ? newest - (kBreadcrumbsInCrashReport - 1) : 1;
    for (int64_t number = oldest; number <= newest; number++) {
        if (!writeDecimal(g_path + prefixLength, kPathBufferSize - prefixLength, number)) break;
        writer->addJSONFileElement(writer, nullptr, g_path, true);
    }
    writer->endContainer(writer);
}

std::string SentryBreadcrumbs::timestamp(double secondsSince1970) {
    double whole = std::floor(secondsSince1970);
    // Cut, not rounded, as a date formatter does; the small margin keeps
    // 0.123 from coming out as 122.
    int milliseconds = static_cast<int>(std::floor((secondsSince1970 - whole) * 1000 + 1e-6));
    if (milliseconds > 999) milliseconds = 999;
    const time_t seconds = static_cast<time_t>(whole);
    tm local{};
    localtime_r(&seconds, &local);
    char date[32];
    char zone[8];
    if (strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local) == 0) date[0] = '\0';
    if (strftime(zone, sizeof zone, "%z", &local) == 0) zone[0] = '\0';
    return platform::format("%s.%03d %s", date, milliseconds, zone);
}
