#include "platform/process/Task.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <pthread.h>
#include <set>
#include <sstream>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "tests/support/TempDir.h"

using platform::Error;
using platform::Task;

namespace {

int runShell(const std::string& script, std::vector<std::string> extra = {}) {
    Task task;
    task.setLaunchPath("/bin/sh");
    std::vector<std::string> arguments{"-c", script};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    task.setArguments(arguments);
    Error error;
    EXPECT_TRUE(task.launch(&error)) << error.localizedDescription;
    task.waitUntilExit();
    return task.terminationStatus();
}

// Restores a signal's disposition when a test is done with it.
class SignalDisposition {
public:
    SignalDisposition(int signal, void (*handler)(int), int flags = 0) : signal_(signal) {
        struct sigaction action{};
        action.sa_handler = handler;
        action.sa_flags = flags;
        sigemptyset(&action.sa_mask);
        sigaction(signal, &action, &saved_);
    }
    ~SignalDisposition() { sigaction(signal_, &saved_, nullptr); }
    SignalDisposition(const SignalDisposition&) = delete;
    SignalDisposition& operator=(const SignalDisposition&) = delete;

private:
    int signal_;
    struct sigaction saved_{};
};

std::atomic<int> interruptions{0};
void countInterruption(int) { interruptions.fetch_add(1); }

// Closes a descriptor a test opened, whatever happens.
class ScopedFd {
public:
    explicit ScopedFd(int fd) : fd_(fd) {}
    ~ScopedFd() {
        if (fd_ >= 0) close(fd_);
    }
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

// Takes CAP_SYS_NICE out of the calling thread's effective set (capabilities
// are per thread), so that it may raise its nice value but never lower it
// again, like an ordinary user's thread.
bool dropNicePrivilegeOfThisThread() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    data[CAP_SYS_NICE / 32].effective &= ~(1u << (CAP_SYS_NICE % 32));
    return syscall(SYS_capset, &header, data) == 0;
}

int niceOf(id_t id) {
    errno = 0;
    const int value = getpriority(PRIO_PROCESS, id);
    return errno == 0 ? value : -100;
}

}  // namespace

TEST(TaskStatus, ReportsExitCodes) {
    EXPECT_EQ(runShell("exit 0"), 0);
    EXPECT_EQ(runShell("exit 7"), 7);
    EXPECT_EQ(runShell("exit 255"), 255);
}

TEST(TaskStatus, SignalDeathIs128PlusSignal) {
    EXPECT_EQ(runShell("kill -TERM $$"), 128 + SIGTERM);
    EXPECT_EQ(runShell("kill -KILL $$"), 128 + SIGKILL);
    EXPECT_EQ(runShell("kill -SEGV $$"), 128 + SIGSEGV);
}

TEST(TaskStatus, BeforeLaunchAndWithoutLaunch) {
    Task task;
    EXPECT_EQ(task.terminationStatus(), -1);
    EXPECT_FALSE(task.isRunning());
    task.waitUntilExit();  // never launched: returns at once
    EXPECT_EQ(task.terminationStatus(), -1);
    EXPECT_EQ(task.processIdentifier(), -1);
}

TEST(TaskStatus, RunningUntilKilled) {
    Task task;
    task.setLaunchPath("/bin/sleep");
    task.setArguments({"1000"});
    ASSERT_TRUE(task.launch());
    ASSERT_GT(task.processIdentifier(), 0);
    EXPECT_TRUE(task.isRunning());
    EXPECT_TRUE(task.isRunning());  // asking does not collect anything
    EXPECT_EQ(task.terminationStatus(), -1);
    ASSERT_EQ(kill(task.processIdentifier(), SIGTERM), 0);
    task.waitUntilExit();
    EXPECT_FALSE(task.isRunning());
    EXPECT_EQ(task.terminationStatus(), 128 + SIGTERM);
    task.waitUntilExit();  // a second wait keeps the status
    EXPECT_EQ(task.terminationStatus(), 128 + SIGTERM);
}

TEST(TaskStatus, IsRunningFalseOnceExitedAndStatusStillAvailable) {
    Task task;
    task.setLaunchPath("/bin/sh");
    task.setArguments({"-c", "exit 3"});
    ASSERT_TRUE(task.launch());
    while (task.isRunning()) usleep(1000);
    task.waitUntilExit();
    EXPECT_EQ(task.terminationStatus(), 3);
}

TEST(TaskLaunch, FailuresArePosixErrors) {
    zeltest::TempDir dir;
    zeltest::writeFile(dir.file("data.txt"), "not a program\n", 0644);
    struct Case {
        std::string path;
        int code;
    };
    // Root may read anything but still cannot run a file without an x bit.
    for (const Case& c : {Case{"/nonexistent/zel-no-such-program", ENOENT}, Case{dir.file("data.txt"), EACCES},
                          Case{"", ENOENT}}) {
        SCOPED_TRACE(c.path);
        Task task;
        task.setLaunchPath(c.path);
        Error error;
        EXPECT_FALSE(task.launch(&error));
        EXPECT_EQ(error.domain, platform::kPOSIXErrorDomain);
        EXPECT_EQ(error.code, c.code);
        EXPECT_NE(error.localizedDescription.find(c.path), std::string::npos);
        EXPECT_FALSE(task.isRunning());
        task.waitUntilExit();
        EXPECT_EQ(task.terminationStatus(), -1);
    }
}

TEST(TaskLaunch, SecondLaunchRefused) {
    Task task;
    task.setLaunchPath("/bin/true");
    ASSERT_TRUE(task.launch());
    const pid_t first = task.processIdentifier();
    Error error;
    EXPECT_FALSE(task.launch(&error));
    EXPECT_EQ(task.processIdentifier(), first);
    task.waitUntilExit();
    EXPECT_EQ(task.terminationStatus(), 0);
}

TEST(TaskLaunch, ArgumentVectorIsExact) {
    zeltest::TempDir dir;
    const std::string out = dir.file("args.txt");
    const int status = runShell("printf '[%s]\\n' \"$0\" \"$@\" > \"$1\"; exit $#",
                                {"zero", out, "with space", "", "quote\"d 'both'", "$HOME", "*", "tab\there"});
    EXPECT_EQ(status, 7);
    EXPECT_EQ(zeltest::readFile(out), "[zero]\n[" + out +
                                          "]\n[with space]\n[]\n[quote\"d 'both']\n[$HOME]\n[*]\n[tab\there]\n");
}

TEST(TaskLaunch, InheritsEnvironmentAndWorkingDirectory) {
    zeltest::TempDir dir;
    ASSERT_EQ(setenv("ZEL_TASK_TEST_VALUE", "value with spaces", 1), 0);
    char saved[4096];
    ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    const int status = runShell("test \"$ZEL_TASK_TEST_VALUE\" = 'value with spaces' || exit 10; pwd -P > where.txt");
    ASSERT_EQ(chdir(saved), 0);
    unsetenv("ZEL_TASK_TEST_VALUE");
    EXPECT_EQ(status, 0);
    char real[4096];
    ASSERT_NE(realpath(dir.path().c_str(), real), nullptr);
    EXPECT_EQ(zeltest::readFile(dir.file("where.txt")), std::string(real) + "\n");
}

TEST(TaskLaunch, ChildStartsWithDefaultSignalHandling) {
    // We ignore SIGTERM and block SIGUSR1; the child must not inherit either.
    SignalDisposition ignoreTerm(SIGTERM, SIG_IGN);
    sigset_t usr1, saved;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &usr1, &saved), 0);
    const int termStatus = runShell("kill -TERM $$; exit 0");
    const int usr1Status = runShell("kill -USR1 $$; exit 0");
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    EXPECT_EQ(termStatus, 128 + SIGTERM);
    EXPECT_EQ(usr1Status, 128 + SIGUSR1);
}

TEST(TaskWait, RetriesWhenInterruptedBySignals) {
    SignalDisposition handler(SIGUSR2, countInterruption, 0);  // no SA_RESTART: waitpid sees EINTR
    interruptions = 0;
    Task task;
    task.setLaunchPath("/bin/sh");
    task.setArguments({"-c", "read line; exit 5"});
    // The child waits for a line on its standard input, a pipe we write to
    // only once the wait has been interrupted a few times.
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    const int savedStdin = dup(STDIN_FILENO);
    ASSERT_EQ(dup2(fds[0], STDIN_FILENO), STDIN_FILENO);
    close(fds[0]);
    ASSERT_TRUE(task.launch());
    dup2(savedStdin, STDIN_FILENO);
    close(savedStdin);

    const pthread_t waiter = pthread_self();
    std::atomic<bool> done{false};
    std::thread interrupter([&] {
        // Interrupt the wait a few times, then let the child finish.
        while (interruptions.load() < 5) {
            pthread_kill(waiter, SIGUSR2);
            usleep(2000);
        }
        const char line[] = "go\n";
        ssize_t ignored = write(fds[1], line, sizeof line - 1);
        (void)ignored;
        close(fds[1]);
        while (!done.load()) {
            pthread_kill(waiter, SIGUSR2);
            usleep(2000);
        }
    });
    task.waitUntilExit();
    done = true;
    interrupter.join();
    EXPECT_GE(interruptions.load(), 5);
    EXPECT_EQ(task.terminationStatus(), 5);
}

TEST(TaskCleanup, DestructorReapsAnExitedChild) {
    pid_t pid;
    {
        Task task;
        task.setLaunchPath("/bin/true");
        ASSERT_TRUE(task.launch());
        pid = task.processIdentifier();
        while (task.isRunning()) usleep(1000);
    }
    // Already collected by ~Task: no zombie left for us.
    int raw = 0;
    errno = 0;
    EXPECT_EQ(waitpid(pid, &raw, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST(TaskCleanup, DestructorDoesNotWaitForARunningChild) {
    pid_t pid;
    {
        Task task;
        task.setLaunchPath("/bin/sleep");
        task.setArguments({"1000"});
        ASSERT_TRUE(task.launch());
        pid = task.processIdentifier();
    }  // must return although the child runs on
    EXPECT_EQ(kill(pid, 0), 0);
    kill(pid, SIGKILL);
    int raw = 0;
    EXPECT_EQ(waitpid(pid, &raw, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(raw));
}

TEST(TaskLaunch, ChildGetsOnlyTheStandardDescriptors) {
    // Descriptors we hold without close-on-exec (a socket of the network
    // code, say) must not reach the child.
    ScopedFd leaked(open("/dev/null", O_RDONLY));
    ASSERT_GE(leaked.get(), 0);
    ScopedFd high(dup2(leaked.get(), 77));
    ASSERT_EQ(high.get(), 77);
    zeltest::TempDir dir;
    const std::string out = dir.file("fds.txt");
    ASSERT_EQ(runShell("exec /bin/ls -1 /proc/self/fd > \"$0\"", {out}), 0);
    std::set<int> fds;
    std::istringstream lines(zeltest::readFile(out));
    for (int fd; lines >> fd;) fds.insert(fd);
    // 0, 1 and 2, and the one ls opened to read the folder.
    EXPECT_EQ(fds.size(), 4u) << zeltest::readFile(out);
    for (int fd : {0, 1, 2}) EXPECT_EQ(fds.count(fd), 1u) << fd;
    EXPECT_EQ(fds.count(77), 0u);
}

TEST(TaskLaunch, ChildOfANiceThreadRunsAtTheProcessPriority) {
    // The background queue runs the package installer on threads at nice
    // 19; the installer itself must run at the process's own priority.
    const int base = niceOf(static_cast<id_t>(getpid()));
    ASSERT_LT(base, 19);
    zeltest::TempDir dir;
    const std::string out = dir.file("nice.txt");
    int threadNiceBefore = -100, threadNiceAfter = -100, status = -1;
    bool lockedOut = false;
    std::thread([&] {
        const id_t self = static_cast<id_t>(gettid());
        if (geteuid() == 0 && !dropNicePrivilegeOfThisThread()) return;
        if (setpriority(PRIO_PROCESS, self, 19) != 0) return;
        threadNiceBefore = niceOf(self);
        // Like an ordinary user's thread, this one cannot go back.
        lockedOut = setpriority(PRIO_PROCESS, self, base) != 0;
        setpriority(PRIO_PROCESS, self, 19);
        status = runShell("cut -d' ' -f19 /proc/$$/stat > \"$0\"", {out});
        threadNiceAfter = niceOf(self);
    }).join();
    ASSERT_EQ(threadNiceBefore, 19);
    ASSERT_TRUE(lockedOut);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(zeltest::readFile(out), std::to_string(base) + "\n");
    EXPECT_EQ(threadNiceAfter, 19);  // the caller keeps its own priority
    EXPECT_EQ(niceOf(static_cast<id_t>(getpid())), base);
}
