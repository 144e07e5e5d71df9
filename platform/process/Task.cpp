#include "platform/process/Task.h"

#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <functional>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#if !__GLIBC_PREREQ(2, 34)
#error "children are started with posix_spawn_file_actions_addclosefrom_np (glibc 2.34 or later)"
#endif

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

// posix_spawn file actions, released on every path.
class SpawnFileActions {
public:
    SpawnFileActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
    ~SpawnFileActions() {
        if (ok_) posix_spawn_file_actions_destroy(&actions_);
    }
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;

    bool ok() const noexcept { return ok_; }
    posix_spawn_file_actions_t* get() noexcept { return &actions_; }

private:
    posix_spawn_file_actions_t actions_{};
    bool ok_ = false;
};

// The nice value of a thread (or, given the pid, of the main thread, which
// is what the process as a whole runs at); nothing when it cannot be read.
std::optional<int> niceOf(pid_t id) {
    errno = 0;
    const int value = getpriority(PRIO_PROCESS, static_cast<id_t>(id));
    if (errno != 0) return std::nullopt;
    return value;
}

// A child inherits the nice value of the thread that starts it, and the
// package installer is started from the background queue, whose threads run
// at nice 19. Setting the value back (in the calling thread around the
// spawn, or in the child before exec) is no cure: an ordinary user may raise
// a nice value but never lower it again (RLIMIT_NICE is 0 by default), so
// both only work for root. What works for everyone is starting the child
// from a thread that never left the process's priority. This one is started
// while the program loads, on the main thread, and waits for requests from
// threads that run at another priority.
class Spawner {
public:
    static Spawner& shared() {
        static Spawner* spawner = new Spawner;  // leaked: its thread runs until exit
        return *spawner;
    }

    // Runs `job` on the spawner's thread and waits for it. False, with
    // nothing run, when there is no such thread: in a child forked from
    // this process, say, which has only the thread that forked.
    bool run(const std::function<void()>& job) {
        if (!started_ || getpid() != owner_) return false;
        std::lock_guard<std::mutex> oneAtATime(callers_);
        std::unique_lock<std::mutex> lock(mutex_);
        job_ = &job;
        done_ = false;
        wake_.notify_all();
        wake_.wait(lock, [this] { return done_; });
        return true;
    }

private:
    Spawner() {
        // With every signal blocked, the thread never takes a signal meant
        // for the process (one the program waits for with sigwait, say);
        // the children get their own signal mask from the spawn attributes.
        sigset_t all, saved;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &saved);
        try {
            std::thread([this] { serve(); }).detach();
            started_ = true;
        } catch (const std::system_error&) {
            // No thread: children start from their caller's thread.
        }
        pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    }

    void serve() {
        pthread_setname_np(pthread_self(), "zel.spawner");
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return job_ != nullptr; });
            const std::function<void()>* job = job_;
            lock.unlock();
            followProcessPriority();
            (*job)();
            lock.lock();
            job_ = nullptr;
            done_ = true;
            wake_.notify_all();
        }
    }

    // The program may have changed its own priority since we started;
    // raising ours to follow always works, lowering it only with privilege.
    static void followProcessPriority() {
        const std::optional<int> process = niceOf(getpid());
        const std::optional<int> mine = niceOf(gettid());
        if (process && mine && *process != *mine) setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), *process);
    }

    const pid_t owner_ = getpid();
    bool started_ = false;
    std::mutex callers_;
    std::mutex mutex_;
    std::condition_variable wake_;
    const std::function<void()>* job_ = nullptr;
    bool done_ = false;
};

// Started at load time, on the main thread (see Spawner).
[[maybe_unused]] const bool kSpawnerStarted = (Spawner::shared(), true);

// Whether the calling thread runs at another priority than the process.
bool callerHasOwnPriority() {
    const std::optional<int> process = niceOf(getpid());
    const std::optional<int> caller = niceOf(gettid());
    return process && caller && *process != *caller;
}

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

    // The child gets our standard streams and nothing else: descriptors
    // opened without close-on-exec (libcurl's sockets, say) stay ours.
    SpawnFileActions actions;
    const int actionError =
        actions.ok() ? posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1) : ENOMEM;
    if (actionError != 0) {
        if (error) *error = posixError(actionError, launchPath_);
        return false;
    }

    pid_t pid = -1;
    int err = 0;
    const std::function<void()> spawn = [&] {
        err = posix_spawn(&pid, launchPath_.c_str(), actions.get(), attributes.get(), argv.data(), environ);
    };
    if (!callerHasOwnPriority() || !Spawner::shared().run(spawn)) spawn();
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
