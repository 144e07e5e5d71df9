// Thread identity, the thread list and the name registry.
#include "Mayday/Recording/Tools/MDThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <pthread.h>
#include <set>
#include <string>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace {

// A thread that reports its id and waits until told to end.
class WaitingThread {
public:
    WaitingThread() : thread_([this] {
        tid_.store(mdthread_self());
        while (!stop_.load()) usleep(1000);
    }) {
        while (tid_.load() == 0) usleep(100);
    }
    ~WaitingThread() {
        stop_.store(true);
        thread_.join();
    }
    MDThread tid() const { return tid_.load(); }
    pthread_t handle() { return thread_.native_handle(); }

private:
    std::atomic<MDThread> tid_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

bool collect(MDThread thread, void* context) {
    static_cast<std::set<MDThread>*>(context)->insert(thread);
    return true;
}

TEST(Thread, SelfIsTheKernelThreadId) {
    EXPECT_EQ(mdthread_self(), (MDThread)syscall(SYS_gettid));
    EXPECT_EQ(mdthread_self(), (MDThread)getpid());  // the test runs on the main thread
    WaitingThread other;
    EXPECT_NE(other.tid(), mdthread_self());
}

TEST(Thread, ListHasEveryThreadOnce) {
    WaitingThread a, b;
    std::set<MDThread> seen;
    const int count = mdthread_forEachThread(collect, &seen);
    EXPECT_EQ(count, (int)seen.size());
    EXPECT_TRUE(seen.count(mdthread_self()));
    EXPECT_TRUE(seen.count(a.tid()));
    EXPECT_TRUE(seen.count(b.tid()));

    // A visitor that stops early ends the walk.
    int visited = 0;
    const int partial = mdthread_forEachThread(
        [](MDThread, void* context) {
            ++*static_cast<int*>(context);
            return false;
        },
        &visited);
    EXPECT_EQ(visited, 1);
    EXPECT_EQ(partial, 1);
}

TEST(Thread, KernelNameIsRead) {
    WaitingThread other;
    ASSERT_EQ(pthread_setname_np(other.handle(), "kernel-name"), 0);
    char buffer[64];
    ASSERT_TRUE(mdthread_threadName(other.tid(), buffer, sizeof(buffer)));
    EXPECT_STREQ(buffer, "kernel-name");
    // Cut to the buffer.
    char small[5];
    ASSERT_TRUE(mdthread_threadName(other.tid(), small, sizeof(small)));
    EXPECT_STREQ(small, "kern");
    EXPECT_FALSE(mdthread_threadName(other.tid(), buffer, 0));
    EXPECT_FALSE(mdthread_threadName(other.tid(), nullptr, 10));
    // A thread id that does not belong to this process.
    EXPECT_FALSE(mdthread_threadName(0x7ffffff0, buffer, sizeof(buffer)));
}

TEST(Thread, RegistryKeepsTheFullName) {
    WaitingThread other;
    const char* longName = "io.zel.mayday.exception-handler.primary";
    EXPECT_TRUE(mdthread_setName(other.tid(), longName));
    char buffer[64];
    ASSERT_TRUE(mdthread_threadName(other.tid(), buffer, sizeof(buffer)));
    EXPECT_STREQ(buffer, longName);
    // The kernel got the 15-character cut.
    char comm[32];
    ASSERT_EQ(pthread_getname_np(other.handle(), comm, sizeof(comm)), 0);
    EXPECT_STREQ(comm, "io.zel.mayday.e");

    // Renaming replaces the stored name; cutting to the caller's buffer still applies.
    EXPECT_TRUE(mdthread_setName(other.tid(), "second name"));
    ASSERT_TRUE(mdthread_threadName(other.tid(), buffer, sizeof(buffer)));
    EXPECT_STREQ(buffer, "second name");
    char small[7];
    ASSERT_TRUE(mdthread_threadName(other.tid(), small, sizeof(small)));
    EXPECT_STREQ(small, "second");
}

TEST(Thread, RegistryOnOwnThreadSetsTheKernelName) {
    std::string stored, kernel;
    std::thread worker([&] {
        EXPECT_TRUE(mdthread_setName(mdthread_self(), "own-thread-with-a-long-name"));
        char buffer[64];
        if (mdthread_threadName(mdthread_self(), buffer, sizeof(buffer))) stored = buffer;
        char comm[32];
        if (pthread_getname_np(pthread_self(), comm, sizeof(comm)) == 0) kernel = comm;
    });
    worker.join();
    EXPECT_EQ(stored, "own-thread-with-a-long-name");
    EXPECT_EQ(kernel, "own-thread-with");
}

TEST(Thread, NoQueueNames) {
    char buffer[32] = "untouched";
    EXPECT_FALSE(mdthread_queueName(mdthread_self(), buffer, sizeof(buffer)));
    EXPECT_STREQ(buffer, "untouched");
}

}  // namespace
