// The cached thread data: names at crash time, pause counting, and that a
// paused reader keeps its snapshot. The cache is process-wide and starts once,
// so every case runs in a forked child with fresh state.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "Mayday/Recording/MaydayCachedData.h"
#include "Mayday/Recording/Tools/MDThread.h"

namespace {

// Runs `body` in a child; answers its failure text ("" when it passed).
std::string runInChild(const std::function<std::string()>& body) {
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    const pid_t pid = fork();
    if (pid < 0) return "fork failed";
    if (pid == 0) {
        close(fds[0]);
        const std::string failure = body();
        if (!failure.empty()) (void)!write(fds[1], failure.data(), failure.size());
        _exit(failure.empty() ? 0 : 1);
    }
    close(fds[1]);
    int status = 0;
    bool ended = false;
    for (int waited = 0; waited < 1000 && !ended; waited++) {  // at most about 10 s
        if (waitpid(pid, &status, WNOHANG) == pid) {
            ended = true;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    std::string message;
    char buffer[256];
    ssize_t count;
    while ((count = read(fds[0], buffer, sizeof(buffer))) > 0) message.append(buffer, (size_t)count);
    close(fds[0]);
    if (!ended) return "child timed out; " + message;
    if (WIFSIGNALED(status)) return "child killed by signal " + std::to_string(WTERMSIG(status));
    if (WEXITSTATUS(status) != 0 && message.empty()) return "child failed without a message";
    return message;
}

#define CHILD_CHECK(condition)                                                    \
    do {                                                                          \
        if (!(condition)) return std::string("line ") + std::to_string(__LINE__) + \
                                 ": " #condition;                                 \
    } while (0)

// Polls `ready` for up to `limit`.
bool waitFor(const std::function<bool()>& ready, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!ready()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool listContains(MDThread thread) {
    int count = 0;
    const MDThread* threads = mdccd_threadList(&count);
    for (int i = 0; i < count; i++)
        if (threads[i] == thread) return true;
    return false;
}

// A thread that names itself and waits until told to end.
struct NamedThread {
    std::atomic<MDThread> id{0};
    std::atomic<bool> stop{false};
    std::thread thread;

    explicit NamedThread(const char* name) {
        thread = std::thread([this, name] {
            mdthread_setName(mdthread_self(), name);
            id.store(mdthread_self());
            while (!stop.load()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        });
        while (id.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~NamedThread() {
        stop.store(true);
        thread.join();
    }
};

constexpr MDThread kNoSuchThread = 0x7ffffff0;

}  // namespace

TEST(CachedData, NoCacheBeforeInitAnswersNull) {
    EXPECT_EQ("", runInChild([] {
        int count = 99;
        CHILD_CHECK(mdccd_threadList(&count) == nullptr);
        CHILD_CHECK(count == 0);
        CHILD_CHECK(mdccd_threadList(nullptr) == nullptr);
        CHILD_CHECK(mdccd_threadNameFor(mdthread_self()) == nullptr);
        CHILD_CHECK(mdccd_queueNameFor(mdthread_self()) == nullptr);
        return std::string();
    }));
}

TEST(CachedData, LongThreadNameAppearsInFullWithinTwoSeconds) {
    EXPECT_EQ("", runInChild([] {
        mdccd_init(60);
        CHILD_CHECK(waitFor([] { return mdccd_testing_refreshCount() >= 1; }, std::chrono::seconds(2)));
        // Started after the first refresh, so only a later one can see it.
        const char* longName = "A Worker With A Rather Long Name";
        NamedThread worker(longName);
        CHILD_CHECK(waitFor([&] { return mdccd_threadNameFor(worker.id.load()) != nullptr; },
                            std::chrono::seconds(2)));
        mdccd_pauseUpdates();
        const char* name = mdccd_threadNameFor(worker.id.load());
        CHILD_CHECK(name != nullptr && strcmp(name, longName) == 0);
        CHILD_CHECK(listContains(worker.id.load()));
        CHILD_CHECK(listContains(mdthread_self()));
        CHILD_CHECK(mdccd_queueNameFor(worker.id.load()) == nullptr);
        // The cache thread is in its own list under its full name.
        int count = 0;
        const MDThread* threads = mdccd_threadList(&count);
        bool sawCacheThread = false;
        for (int i = 0; i < count; i++) {
            const char* threadName = mdccd_threadNameFor(threads[i]);
            if (threadName && strcmp(threadName, "Mayday Cached Data Monitor") == 0) sawCacheThread = true;
        }
        CHILD_CHECK(sawCacheThread);
        mdccd_resumeUpdates();
        return std::string();
    }));
}

TEST(CachedData, UnknownThreadsAnswerNull) {
    EXPECT_EQ("", runInChild([] {
        mdccd_testing_setRefreshIntervalMicroseconds(1000);
        mdccd_init(60);
        CHILD_CHECK(waitFor([] { return mdccd_testing_refreshCount() >= 1; }, std::chrono::seconds(2)));
        CHILD_CHECK(mdccd_threadNameFor(kNoSuchThread) == nullptr);
        CHILD_CHECK(mdccd_queueNameFor(kNoSuchThread) == nullptr);
        CHILD_CHECK(mdccd_threadNameFor(0) == nullptr);
        CHILD_CHECK(!listContains(kNoSuchThread));
        // A thread that has ended leaves the list at the next refresh.
        MDThread gone = 0;
        {
            NamedThread shortLived("short lived");
            gone = shortLived.id.load();
            CHILD_CHECK(waitFor([&] { return listContains(gone); }, std::chrono::seconds(2)));
        }
        CHILD_CHECK(waitFor([&] { return !listContains(gone); }, std::chrono::seconds(2)));
        CHILD_CHECK(mdccd_threadNameFor(gone) == nullptr);
        return std::string();
    }));
}

TEST(CachedData, PauseIsCountedAndExtraResumesAreIgnored) {
    EXPECT_EQ("", runInChild([] {
        CHILD_CHECK(mdccd_testing_pauseCount() == 0);
        mdccd_resumeUpdates();
        mdccd_resumeUpdates();
        CHILD_CHECK(mdccd_testing_pauseCount() == 0);
        mdccd_pauseUpdates();
        mdccd_pauseUpdates();
        CHILD_CHECK(mdccd_testing_pauseCount() == 2);
        mdccd_resumeUpdates();
        CHILD_CHECK(mdccd_testing_pauseCount() == 1);
        mdccd_resumeUpdates();
        mdccd_resumeUpdates();
        CHILD_CHECK(mdccd_testing_pauseCount() == 0);
        // One pause after the extra resumes still pauses.
        mdccd_pauseUpdates();
        CHILD_CHECK(mdccd_testing_pauseCount() == 1);
        mdccd_resumeUpdates();
        return std::string();
    }));
}

TEST(CachedData, PausedReaderKeepsItsSnapshotAndResumeFreesOldOnes) {
    EXPECT_EQ("", runInChild([] {
        mdccd_testing_setRefreshIntervalMicroseconds(200);
        mdccd_init(60);
        CHILD_CHECK(waitFor([] { return mdccd_testing_freedCount() >= 3; }, std::chrono::seconds(5)));

        mdccd_pauseUpdates();
        // A refresh that passed its pause check before us may still finish;
        // wait until the count stands still.
        for (int tries = 0; tries < 20; tries++) {
            const long before = mdccd_testing_refreshCount();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (mdccd_testing_refreshCount() == before) break;
        }
        const long refreshes = mdccd_testing_refreshCount();
        const long freed = mdccd_testing_freedCount();
        int count = 0;
        const MDThread* threads = mdccd_threadList(&count);
        const char* name = mdccd_threadNameFor(threads[0]);
        CHILD_CHECK(count >= 2 && name != nullptr);
        const std::string nameCopy = name;
        const MDThread firstThread = threads[0];
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        CHILD_CHECK(mdccd_testing_refreshCount() == refreshes);
        CHILD_CHECK(mdccd_testing_freedCount() == freed);
        CHILD_CHECK(threads[0] == firstThread);
        CHILD_CHECK(nameCopy == name);
        CHILD_CHECK(mdccd_threadNameFor(firstThread) == name);
        mdccd_resumeUpdates();

        // Refreshing goes on and old snapshots are released, not kept for ever.
        CHILD_CHECK(waitFor([&] { return mdccd_testing_freedCount() >= freed + 10; }, std::chrono::seconds(5)));
        CHILD_CHECK(mdccd_testing_refreshCount() > refreshes);
        return std::string();
    }));
}
