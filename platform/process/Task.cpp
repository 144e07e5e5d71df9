#include "platform/process/Task.h"

#include <cerrno>
#include <csignal>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace platform {

namespace {

// Decodes a waitpid status the way a shell reports it.
int statusFromWait(int raw) {
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
    return -1;
}

// posix_spawn attributes, released on every path.
class SpawnAttributes {
public:
    SpawnAttributes() { ok_ = posix_spawnattr_init(&attr_) == 0; }
    ~SpawnAttributes() {
        if (ok_) posix_spawnattr_destroy(&attr_);
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;

    bool ok() const noexcept { return ok_; }
    posix_spawnattr_t* get() noexcept { return &attr_; }

private:
    posix_spawnattr_t attr_{};
    bool ok_ = false;
};

}  // namespace

bool Task::launch(Error* error) {
    if (pid_ > 0) {
        // A Task runs its program once, like NSTask.
        if (error) *error = posixError(EBUSY, "task already launched");
        return false;
    }
    if (launchPath_.empty()) {
        if (error) *error = posixError(ENOENT, "no launch path");
        return false;
    }

    std::vector<char*> argv;
    argv.reserve(arguments_.size() + 2);
    argv.push_back(const_cast<char*>(launchPath_.c_str()));
    for (const std::string& argument : arguments_) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    // The child starts with a clean signal state: whatever we block or
    // ignore (SIGPIPE for the network code, say) is our business, not its.
    SpawnAttributes attributes;
    if (!attributes.ok()) {
        if (error) *error = posixError(ENOMEM, launchPath_);
        return false;
    }
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    posix_spawnattr_setsigmask(attributes.get(), &none);
    posix_spawnattr_setsigdefault(attributes.get(), &all);
    posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    const int err = posix_spawn(&pid, launchPath_.c_str(), nullptr, attributes.get(), argv.data(), environ);
    if (err != 0) {
        if (error) *error = posixError(err, launchPath_);
        return false;
    }
    pid_ = pid;
    status_ = -1;
    reaped_ = false;
    return true;
}

void Task::waitUntilExit() {
    if (pid_ <= 0 || reaped_) return;
    int raw = 0;
    pid_t result;
    do {
        result = waitpid(pid_, &raw, 0);
    } while (result < 0 && errno == EINTR);
    reaped_ = true;
    // ECHILD: somebody else collected it (SIGCHLD ignored); the status is lost.
    status_ = result == pid_ ? statusFromWait(raw) : -1;
}

bool Task::isRunning() const {
    if (pid_ <= 0 || reaped_) return false;
    // Peek without collecting the child: the status stays for waitUntilExit.
    siginfo_t info{};
    int result;
    do {
        result = waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT);
    } while (result < 0 && errno == EINTR);
    if (result < 0) return false;  // not our child any more
    return info.si_pid == 0;
}

Task::~Task() {
    if (pid_ > 0 && !reaped_) {
        int raw = 0;
        waitpid(pid_, &raw, WNOHANG);
    }
}

}  // namespace platform
