#include "platform/process/Task.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
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
