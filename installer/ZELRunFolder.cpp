#include "installer/ZELRunFolder.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"

namespace ZELRunFolder {

namespace {

std::mutex g_lock;
std::string g_path;
bool g_made = false;
bool g_removed = false;
int g_pipe[2] = {-1, -1};

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};

// Async-signal-safe: only hands the signal number to the watcher.
void onStopSignal(int signum) {
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signum);
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
    errno = savedErrno;
}

void watch() {
    unsigned char byte = 0;
    for (;;) {
        const ssize_t n = ::read(g_pipe[0], &byte, 1);
        if (n == 1) break;
        if (n < 0 && errno == EINTR) continue;
        return;
    }
    remove();
    const int signum = byte;
    signal(signum, SIG_DFL);
    raise(signum);
}

}  // namespace

const std::string& path() {
    std::lock_guard<std::mutex> lock(g_lock);
    if (!g_made) {
        g_made = true;
        auto parent = platform::privateDirectory(platform::userCachesDirectory() + "/WebInstaller/Downloads");
        std::string pattern = (parent ? *parent : platform::temporaryDirectory()) + "run-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        g_path = ::mkdtemp(buffer.data()) ? std::string(buffer.data()) + "/" : platform::temporaryDirectory();
    }
    return g_path;
}

void remove() {
    std::lock_guard<std::mutex> lock(g_lock);
    if (!g_made || g_removed) return;
    g_removed = true;
    // Only a folder of our own goes whole, never the shared temporary directory.
    if (g_path.find("/run-") == std::string::npos) return;
    platform::Error error;
    if (!platform::FileManager::defaultManager().removeItemAtPath(g_path, &error))
        platform::logFormat("Could not remove %@: %@", g_path, error);
}

void removeOnTermination() {
    if (g_pipe[0] >= 0 || ::pipe2(g_pipe, O_CLOEXEC) != 0) return;
    std::thread(watch).detach();
    struct sigaction action;
    std::memset(&action, 0, sizeof(action));
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signum : kStopSignals) sigaction(signum, &action, nullptr);
}

}  // namespace ZELRunFolder
