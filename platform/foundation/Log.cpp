#include "platform/foundation/Log.h"

#include "platform/foundation/DisplayText.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

namespace platform {

namespace {

std::mutex& observerMutex() {
    static std::mutex m;
    return m;
}

std::function<void(const std::string&)>& observer() {
    static std::function<void(const std::string&)> o;
    return o;
}

std::string processName() {
    char buf[256];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "process";
    buf[n] = 0;
    const char* slash = strrchr(buf, '/');
    return slash ? slash + 1 : buf;
}

}  // namespace

void systemLog(const std::string& message) {
    static const std::string name = processName();
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tm{};
    localtime_r(&tv.tv_sec, &tm);
    char stamp[64];
    size_t len = strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
    snprintf(stamp + len, sizeof stamp - len, ".%03ld", static_cast<long>(tv.tv_usec / 1000));

    std::string line = stamp;
    line += ' ';
    line += name;
    line += '[' + std::to_string(getpid()) + ':' + std::to_string(static_cast<long>(syscall(SYS_gettid))) + "] ";
    // Outside text (a feed's fields) reaches the log through messages.
    line += displayableText(message);
    line += '\n';
    // One write per line keeps lines from different threads whole.
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t w = write(STDERR_FILENO, p, left);
        if (w < 0) {
            if (errno == EINTR) continue;
            break;
        }
        p += w;
        left -= static_cast<size_t>(w);
    }

    std::function<void(const std::string&)> watcher;
    {
        std::lock_guard<std::mutex> lock(observerMutex());
        watcher = observer();
    }
    if (watcher) watcher(message);
}

void setSystemLogObserver(std::function<void(const std::string&)> o) {
    std::lock_guard<std::mutex> lock(observerMutex());
    observer() = std::move(o);
}

}  // namespace platform
