// Whole reports of crashes whose stacks only call-frame information can
// follow: inside libc (built without frame pointers), in a leaf without a
// frame of its own, and threads stopped inside system calls. Each child
// crashes with the recorder installed; the report is read back and the
// crashed (or stopped) thread's frames named.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <string>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "tests/support/ReportFiles.h"
#include "CrashChild.h"
#include "DeliberateFault.h"
#include "Mayday/Recording/MaydayC.h"
#include "TempDir.h"

using platform::Value;

extern "C" {

__attribute__((noinline, noipa)) void unwind_crashAbort() {
    abort();
}

__attribute__((noinline, noipa)) size_t unwind_strlenCaller() {
    const char* volatile nothing = nullptr;
    const size_t length = strlen(nothing);
    __asm__ volatile("" ::: "memory");  // keeps the call a call
    return length + 1;
}

// No frame of its own: only its call-frame information says where the
// return address is.
__attribute__((noinline, noipa, optimize("omit-frame-pointer"))) void unwind_leafWithoutFrame(int value) {
    zeltest::writeAddress(0, value);
}
__attribute__((noinline, noipa)) void unwind_leafCaller() {
    unwind_leafWithoutFrame(7);
    __asm__ volatile("" ::: "memory");
}

std::atomic<int> g_sleepersReady{0};

__attribute__((noinline, noipa)) void unwind_sleeperWaits() {
    g_sleepersReady.fetch_add(1);
    for (;;) {
        struct timespec second = {1, 0};
        nanosleep(&second, nullptr);
    }
}
__attribute__((noinline, noipa)) void* unwind_sleeperStart(void*) {
    unwind_sleeperWaits();
    __asm__ volatile("" ::: "memory");
    return nullptr;
}

__attribute__((noinline, noipa)) void unwind_readerWaits(int fd) {
    g_sleepersReady.fetch_add(1);
    char byte;
    while (read(fd, &byte, 1) != 0) {
    }
}
__attribute__((noinline, noipa)) void* unwind_readerStart(void* fd) {
    unwind_readerWaits((int)(intptr_t)fd);
    __asm__ volatile("" ::: "memory");
    return nullptr;
}

}  // extern "C"

namespace {

struct Frame {
    std::string object;
    std::string symbol;
};

std::vector<Frame> framesOf(const Value& thread) {
    std::vector<Frame> frames;
    for (const Value& entry : thread["backtrace"]["contents"].arrayItems()) {
        frames.push_back({entry["object_name"].stringValue(), entry["symbol_name"].stringValue()});
    }
    return frames;
}

std::string describe(const std::vector<Frame>& frames) {
    std::string text;
    for (const Frame& frame : frames) text += frame.object + ":" + frame.symbol + "\n";
    return text;
}

int indexOf(const std::vector<Frame>& frames, const std::string& symbol, size_t from = 0) {
    for (size_t i = from; i < frames.size(); i++) {
        if (frames[i].symbol == symbol) return (int)i;
    }
    return -1;
}

// The report of a child that installs the recorder, runs `setup` and `crash`.
template <typename Crash> Value reportOf(const zeltest::TempDir& base, int expectedSignal, Crash crash) {
    const zeltest::ChildEnd end = zeltest::runInChild([&] {
        if (mayday_install("UnwindTest", base.path().c_str()) == MaydayMonitorTypeNone) _exit(3);
        crash();
        _exit(4);
    });
    EXPECT_EQ(end.signal, expectedSignal) << end.output;
    const std::vector<std::string> files = zeltest::filesIn(base.file("Reports"));
    EXPECT_EQ(files.size(), 1u) << end.output;
    if (files.size() != 1) return Value();
    return zeltest::decodeReport(zeltest::readFile(base.file("Reports") + "/" + files[0]));
}

std::vector<Frame> crashedFrames(const Value& report) {
    for (const Value& thread : report["crash"]["threads"].arrayItems())
        if (thread["crashed"].boolValue()) return framesOf(thread);
    return {};
}

TEST(UnwindReports, AbortShowsAbortThenItsCallerThenMain) {
    zeltest::TempDir base;
    const Value report = reportOf(base, SIGABRT, [] { unwind_crashAbort(); });
    const std::vector<Frame> frames = crashedFrames(report);
    SCOPED_TRACE(describe(frames));
    ASSERT_GE(frames.size(), 3u);
    EXPECT_NE(frames[0].object.find("libc.so"), std::string::npos);
    const int caller = indexOf(frames, "unwind_crashAbort");
    ASSERT_GE(caller, 1);
    // abort itself is exported, so it is named, right above its caller.
    EXPECT_EQ(frames[caller - 1].symbol, "abort");
    EXPECT_NE(frames[caller - 1].object.find("libc.so"), std::string::npos);
    EXPECT_GT(indexOf(frames, "main", (size_t)caller), caller);
}

TEST(UnwindReports, ANullStrlenShowsLibcThenItsCaller) {
#ifdef ZEL_SANITIZED_BUILD
    GTEST_SKIP() << "AddressSanitizer's strlen stands in for libc's and checks the pointer itself";
#endif
    zeltest::TempDir base;
    const Value report = reportOf(base, SIGSEGV, [] { (void)unwind_strlenCaller(); });
    const std::vector<Frame> frames = crashedFrames(report);
    SCOPED_TRACE(describe(frames));
    ASSERT_GE(frames.size(), 3u);
    EXPECT_NE(frames[0].object.find("libc.so"), std::string::npos);
    EXPECT_EQ(frames[1].symbol, "unwind_strlenCaller");
    EXPECT_GT(indexOf(frames, "main", 1), 1);
}

TEST(UnwindReports, ACrashInALeafWithoutAFrameShowsItsCaller) {
    zeltest::TempDir base;
    const Value report = reportOf(base, SIGSEGV, [] { unwind_leafCaller(); });
    const std::vector<Frame> frames = crashedFrames(report);
    SCOPED_TRACE(describe(frames));
    ASSERT_GE(frames.size(), 3u);
    EXPECT_EQ(frames[0].symbol, "unwind_leafWithoutFrame");
    EXPECT_EQ(frames[1].symbol, "unwind_leafCaller");
    EXPECT_GT(indexOf(frames, "main", 2), 2);
}

TEST(UnwindReports, ThreadsStoppedInsideSystemCallsShowTheirCallersDownToTheirStart) {
    zeltest::TempDir base;
    const Value report = reportOf(base, SIGSEGV, [] {
        int fds[2];
        if (pipe(fds) != 0) _exit(5);
        pthread_t sleeper, reader;
        pthread_create(&sleeper, nullptr, unwind_sleeperStart, nullptr);
        pthread_create(&reader, nullptr, unwind_readerStart, (void*)(intptr_t)fds[0]);
        while (g_sleepersReady.load() < 2) sched_yield();
        usleep(50000);  // into their system calls
        zeltest::readAddress(0);
    });
    static const char* const kChains[][2] = {{"unwind_sleeperWaits", "unwind_sleeperStart"},
                                             {"unwind_readerWaits", "unwind_readerStart"}};
    int found = 0;
    for (const Value& thread : report["crash"]["threads"].arrayItems()) {
        const std::vector<Frame> frames = framesOf(thread);
        SCOPED_TRACE(describe(frames));
        for (const auto& pair : kChains) {
            const int waits = indexOf(frames, pair[0]);
            if (waits < 0) continue;
            found++;
            // The system call's wrapper in libc is above it...
            ASSERT_GE(waits, 1);
            EXPECT_NE(frames[0].object.find("libc.so"), std::string::npos);
            // ...then the start routine and, below whatever wraps it, the
            // thread's start in libc.
            ASSERT_LT(waits + 2, (int)frames.size());
            EXPECT_EQ(frames[waits + 1].symbol, pair[1]);
            EXPECT_NE(frames.back().object.find("libc.so"), std::string::npos);
            EXPECT_LE(frames.size(), (size_t)waits + 6);
        }
    }
    EXPECT_EQ(found, 2);
}

}  // namespace
