// The crash path must not touch the heap: a thread parked by the suspension
// may hold the allocator's lock, and any allocation would then hang the
// report. This program replaces the allocator with one that forwards to
// glibc's and ends the process with exit status 97 on any call made while
// the other threads are suspended. Each test crashes a child with the
// recorder installed and checks how it ended: by its own SIGSEGV, with a
// whole report on disk, when the crash path stayed off the heap.
//
// Only parked threads exist in the children: a thread still running when
// the suspension begins could allocate legitimately before it is parked.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/ReportFiles.h"
#include "CrashChild.h"
#include "DeliberateFault.h"
#include "Mayday/Recording/MaydayC.h"
#include "Mayday/Recording/Tools/MDJSONCodecObjC.h"
#include "Mayday/Recording/Tools/MDMachineContext.h"
#include "Mayday/Recording/Tools/MDMemory.h"
#include "TempDir.h"

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer brings an allocator of its own, which replacing malloc here
// would fight; the guard runs in the normal build.
TEST(CrashPathHeap, NeedsTheSystemAllocator) {
    GTEST_SKIP() << "the heap guard replaces malloc, which the address sanitizer owns in this build";
}
#else

extern "C" {
void* __libc_malloc(size_t size);
void __libc_free(void* pointer);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void* __libc_valloc(size_t size);
void* __libc_pvalloc(size_t size);
// Bounds of this program's code, set by the linker.
extern char __executable_start;
extern char etext;
}

namespace {

constexpr int kHeapUsedExitStatus = 97;
constexpr int kMaxFrames = 24;
constexpr int kMaxStackWords = 16;
constexpr int kStackScanBytes = 8192;

// Static: the guard may run on a small signal stack, and it never returns.
char g_maps[1 << 16];
int g_mapsLength = 0;
uintptr_t g_stackWords[kStackScanBytes / sizeof(uintptr_t)];

void writeText(const char* text) { zeltest::putTo(STDERR_FILENO, text); }
void writeHex(uintptr_t value) { zeltest::putHexTo(STDERR_FILENO, value); }

void loadMaps() {
    const int fd = open("/proc/self/maps", O_RDONLY);
    if (fd < 0) return;
    ssize_t n;
    while (g_mapsLength < (int)sizeof(g_maps) - 1 &&
           (n = read(fd, g_maps + g_mapsLength, sizeof(g_maps) - 1 - g_mapsLength)) > 0)
        g_mapsLength += (int)n;
    close(fd);
    g_maps[g_mapsLength] = '\0';
}

uintptr_t parseHex(const char** text) {
    uintptr_t value = 0;
    for (;; (*text)++) {
        const char c = **text;
        if (c >= '0' && c <= '9')
            value = value * 16 + (uintptr_t)(c - '0');
        else if (c >= 'a' && c <= 'f')
            value = value * 16 + (uintptr_t)(c - 'a' + 10);
        else
            return value;
    }
}

// The mapped file an address is in and its offset there ("libc.so.6+0x28a7b",
// what addr2line -e takes for these binaries); unmapped or anonymous ones as
// they are.
void writeAddress(uintptr_t address) {
    for (const char* line = g_maps; *line != '\0';) {
        const char* end = strchr(line, '\n');
        if (end == nullptr) end = line + strlen(line);
        const char* cursor = line;
        const uintptr_t low = parseHex(&cursor);
        cursor++;
        const uintptr_t high = parseHex(&cursor);
        if (address >= low && address < high) {
            cursor = strchr(cursor, ' ');
            cursor = cursor ? strchr(cursor + 1, ' ') : nullptr;  // past the permissions
            const uintptr_t offset = cursor ? parseHex(&++cursor) : 0;
            const char* path = static_cast<const char*>(memchr(line, '/', (size_t)(end - line)));
            if (path != nullptr) {
                const char* name = path;
                for (const char* c = path; c < end; c++)
                    if (*c == '/') name = c + 1;
                ssize_t ignored = write(STDERR_FILENO, name, (size_t)(end - name));
                (void)ignored;
                writeText("+");
                writeHex(address - low + offset);
                return;
            }
            break;
        }
        line = *end ? end + 1 : end;
    }
    writeHex(address);
}

bool isInExecutableCode(uintptr_t address) {
    return address >= reinterpret_cast<uintptr_t>(&__executable_start) && address < reinterpret_cast<uintptr_t>(&etext);
}

// Tells which call allocated and where from, then ends the process. The
// frame-pointer chain breaks at library code built without frame pointers,
// so the words on the stack that point into this program's code follow: the
// product's return addresses are among them. Every read is kernel-checked.
[[noreturn]] __attribute__((noinline)) void heapUsedWhileSuspended(const char* call, void* caller) {
    loadMaps();
    writeText("\nheap used during crash handling: ");
    writeText(call);
    writeText(" called from ");
    writeAddress(reinterpret_cast<uintptr_t>(caller));
    writeText("\n  frames:");
    const uintptr_t top = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    uintptr_t frame = top;
    for (int i = 0; i < kMaxFrames && frame != 0; i++) {
        uintptr_t record[2];  // saved frame pointer, return address
        if (!mdmem_copySafely(reinterpret_cast<const void*>(frame), record, sizeof(record)) || record[1] == 0) break;
        writeText(" ");
        writeAddress(record[1]);
        if (record[0] <= frame) break;  // stacks grow down: callers sit higher
        frame = record[0];
    }
    writeText("\n  program code on the stack:");
    const int copied = mdmem_copyMaxPossible(reinterpret_cast<const void*>(top), g_stackWords, sizeof(g_stackWords));
    int shown = 0;
    for (int i = 0; i < copied / (int)sizeof(uintptr_t) && shown < kMaxStackWords; i++) {
        if (!isInExecutableCode(g_stackWords[i])) continue;
        writeText(" ");
        writeAddress(g_stackWords[i]);
        shown++;
    }
    writeText("\n");
    _exit(kHeapUsedExitStatus);
}

inline void guard(const char* call, void* caller) {
    if (mdmc_isEnvironmentSuspended()) heapUsedWhileSuspended(call, caller);
}

}  // namespace

// The allocator of this program: glibc's, behind the guard. glibc sends its
// own internal allocations (opendir, strdup, fopen) through these as well.
extern "C" {

void* malloc(size_t size) noexcept {
    guard("malloc", __builtin_return_address(0));
    return __libc_malloc(size);
}

void free(void* pointer) noexcept {
    if (pointer == nullptr) return;
    guard("free", __builtin_return_address(0));
    __libc_free(pointer);
}

void* calloc(size_t count, size_t size) noexcept {
    guard("calloc", __builtin_return_address(0));
    return __libc_calloc(count, size);
}

void* realloc(void* pointer, size_t size) noexcept {
    guard("realloc", __builtin_return_address(0));
    return __libc_realloc(pointer, size);
}

void* memalign(size_t alignment, size_t size) noexcept {
    guard("memalign", __builtin_return_address(0));
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) noexcept {
    guard("aligned_alloc", __builtin_return_address(0));
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** result, size_t alignment, size_t size) noexcept {
    guard("posix_memalign", __builtin_return_address(0));
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
    void* memory = __libc_memalign(alignment, size);
    if (memory == nullptr) return ENOMEM;
    *result = memory;
    return 0;
}

void* valloc(size_t size) noexcept {
    guard("valloc", __builtin_return_address(0));
    return __libc_valloc(size);
}

void* pvalloc(size_t size) noexcept {
    guard("pvalloc", __builtin_return_address(0));
    return __libc_pvalloc(size);
}

}  // extern "C"

namespace {

using platform::Value;
using zeltest::filesIn;
Value decode(const std::string& text) { return zeltest::decodeReport(text); }

constexpr const char* kAppName = "NoHeapTest";
constexpr MaydayMonitorFlags kSignalPath =
    MaydayMonitorTypeSignal | MaydayMonitorTypeSystem | MaydayMonitorTypeApplicationState;

void* parkForever(void* pipeFd) {
    char byte;
    while (read(static_cast<int>(reinterpret_cast<intptr_t>(pipeFd)), &byte, 1) != 0) {
    }
    return nullptr;
}

void* pauseForever(void*) {
    for (;;) pause();
    return nullptr;
}

// Half of them wait on a pipe nobody writes, half in pause().
void startParkedThreads(int count) {
    int fds[2];
    if (pipe(fds) != 0) _exit(4);
    for (int i = 0; i < count; i++) {
        pthread_t thread;
        void* argument = reinterpret_cast<void*>(static_cast<intptr_t>(fds[0]));
        if (pthread_create(&thread, nullptr, i % 2 ? pauseForever : parkForever, argument) != 0) _exit(5);
    }
}

__attribute__((noinline)) void crashInNoHeapTest() {
    zeltest::readAddress(0);
    __asm__ volatile("" ::: "memory");  // keeps the frame
}

// Kept where the compiler cannot see it unused, so the allocation stays.
void* volatile g_sink = nullptr;

// What the crash callback does besides adding its members.
enum class InCallback { Nothing, Malloc, OperatorNew, LibcInternal };
InCallback g_inCallback = InCallback::Nothing;

void userSection(const MaydayReportWriter* writer) {
    writer->addBooleanElement(writer, "environment_suspended", mdmc_isEnvironmentSuspended());
    writer->beginObject(writer, "callback");
    writer->addStringElement(writer, "name", "noheap");
    writer->addIntegerElement(writer, "number", 42);
    writer->beginArray(writer, "list");
    writer->addUIntegerElement(writer, nullptr, 1);
    writer->addFloatingPointElement(writer, nullptr, 2.5);
    writer->endContainer(writer);
    writer->addJSONElement(writer, "json", "{\"nested\": [true, null]}", true);
    writer->endContainer(writer);
    switch (g_inCallback) {
        case InCallback::Nothing:
            break;
        case InCallback::Malloc:
            g_sink = malloc(32);
            break;
        case InCallback::OperatorNew:
            g_sink = new int[8];
            break;
        case InCallback::LibcInternal:
            g_sink = opendir("/");  // allocates its buffer inside glibc
            break;
    }
}

struct CrashRun {
    zeltest::ChildEnd end;
    std::vector<std::string> files;  // in Reports
    std::string text;                // of the only file, when there is one
};

// A child with the recorder installed (with `monitors` when given), every
// report option that runs code on the crash path turned on, a few parked
// threads, and a null read.
CrashRun crashChild(const zeltest::TempDir& base, InCallback inCallback, const MaydayMonitorFlags* monitors) {
    CrashRun run;
    run.end = zeltest::runInChild([&] {
        dup2(zeltest::g_reportFd, STDERR_FILENO);  // the guard's message comes back with the output
        g_inCallback = inCallback;
        if (monitors != nullptr) mayday_setMonitoring(*monitors);
        if (mayday_install(kAppName, base.path().c_str()) == MaydayMonitorTypeNone) _exit(3);
        startParkedThreads(4);
        mayday_setUserInfoJSON("{\"user\": \"tester\", \"values\": [1, 2, 3], \"flags\": {\"beta\": true}}");
        static const char* skipped[] = {"NSString", "NSData"};
        mayday_setDoNotIntrospectClasses(skipped, 2);
        mayday_setOnCrash(userSection);
        mayday_setIntrospectMemory(true);
        mayday_setAddConsoleLogToReport(true);
        usleep(20000);  // the new threads reach their waits
        crashInNoHeapTest();
    });
    run.files = filesIn(base.file("Reports"));
    if (run.files.size() == 1) run.text = zeltest::readFile(base.file("Reports") + "/" + run.files[0]);
    return run;
}

// Ended by the fault's own signal, one report that decodes, with the crash,
// its threads and every member the callback added.
void expectCleanCrash(const CrashRun& run, const char* errorType) {
    EXPECT_FALSE(run.end.exited && run.end.exitStatus == kHeapUsedExitStatus) << run.end.output;
    EXPECT_FALSE(run.end.timedOut);
    EXPECT_EQ(run.end.signal, SIGSEGV) << run.end.output;
    ASSERT_EQ(run.files.size(), 1u) << run.end.output;
    const Value report = decode(run.text);
    ASSERT_TRUE(report.isDictionary());
    EXPECT_EQ(report["report"]["type"].stringValue(), "standard");
    const Value crash = report["crash"];
    ASSERT_TRUE(crash.isDictionary());
    EXPECT_EQ(crash["error"]["type"].stringValue(), errorType);
    EXPECT_EQ(crash["error"]["address"].longLongValue(), 0);
    const Value threads = crash["threads"];
    ASSERT_TRUE(threads.isArray());
    EXPECT_GE(threads.count(), 5u);  // the crashed one and the four parked
    int crashed = 0;
    for (const Value& thread : threads.arrayItems()) {
        if (!thread["crashed"].boolValue()) continue;
        crashed++;
        EXPECT_GT(thread["backtrace"]["contents"].count(), 0u);
        EXPECT_TRUE(thread["notable_addresses"].isDictionary());  // memory introspection ran
    }
    EXPECT_EQ(crashed, 1);
    // The parked threads wait inside libc, which keeps no frame pointers:
    // their callers are found by call-frame information, on the guarded path.
    int parkedWalks = 0;
    for (const Value& thread : threads.arrayItems()) {
        for (const Value& frame : thread["backtrace"]["contents"].arrayItems()) {
            const std::string symbol = frame["symbol_name"].stringValue();
            if (symbol.find("parkForever") != std::string::npos || symbol.find("pauseForever") != std::string::npos)
                parkedWalks++;
        }
    }
    EXPECT_EQ(parkedWalks, 4);
    const Value user = report["user"];
    EXPECT_TRUE(user["environment_suspended"].boolValue());  // so the guard was armed
    EXPECT_EQ(user["user"].stringValue(), "tester");
    EXPECT_EQ(user["callback"]["number"].longLongValue(), 42);
    EXPECT_TRUE(user["callback"]["json"]["nested"][0].boolValue());
    EXPECT_GT(report["debug"]["console_log"].count(), 0u);
}

void expectHeapGuardEnded(const CrashRun& run, const char* call) {
    EXPECT_TRUE(run.end.exited) << "signal " << run.end.signal << "\n" << run.end.output;
    EXPECT_EQ(run.end.exitStatus, kHeapUsedExitStatus) << run.end.output;
    EXPECT_NE(run.end.output.find(std::string("heap used during crash handling: ") + call), std::string::npos)
        << run.end.output;
}

TEST(CrashPathHeap, TheMachPathWritesAWholeReportWithoutTheHeap) {
    zeltest::TempDir base;
    expectCleanCrash(crashChild(base, InCallback::Nothing, nullptr), "mach");
}

TEST(CrashPathHeap, TheSignalPathWritesAWholeReportWithoutTheHeap) {
    zeltest::TempDir base;
    expectCleanCrash(crashChild(base, InCallback::Nothing, &kSignalPath), "signal");
}

TEST(CrashPathHeap, AMallocInTheCrashCallbackEndsTheChildOnTheMachPath) {
    zeltest::TempDir base;
    expectHeapGuardEnded(crashChild(base, InCallback::Malloc, nullptr), "malloc");
}

TEST(CrashPathHeap, AMallocInTheCrashCallbackEndsTheChildOnTheSignalPath) {
    zeltest::TempDir base;
    expectHeapGuardEnded(crashChild(base, InCallback::Malloc, &kSignalPath), "malloc");
}

// Allocations the product could make indirectly are caught too: through
// libstdc++ and inside glibc.
TEST(CrashPathHeap, OperatorNewInTheCrashCallbackEndsTheChild) {
    zeltest::TempDir base;
    expectHeapGuardEnded(crashChild(base, InCallback::OperatorNew, nullptr), "malloc");
}

TEST(CrashPathHeap, AnAllocationInsideLibcEndsTheChild) {
    zeltest::TempDir base;
    expectHeapGuardEnded(crashChild(base, InCallback::LibcInternal, &kSignalPath), "malloc");
}

// Outside crash handling the replacement is glibc's allocator.
TEST(CrashPathHeap, TheAllocatorWorksOutsideCrashHandling) {
    ASSERT_FALSE(mdmc_isEnvironmentSuspended());
    void* block = malloc(100);
    ASSERT_NE(block, nullptr);
    memset(block, 0xA5, 100);
    block = realloc(block, 10000);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(static_cast<unsigned char*>(block)[99], 0xA5);
    EXPECT_GE(malloc_usable_size(block), 10000u);
    free(block);
    void* aligned = nullptr;
    ASSERT_EQ(posix_memalign(&aligned, 256, 100), 0);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(aligned) % 256, 0u);
    free(aligned);
    EXPECT_EQ(posix_memalign(&aligned, 24, 100), EINVAL);
    void* zeroed = calloc(16, 16);
    ASSERT_NE(zeroed, nullptr);
    EXPECT_EQ(static_cast<unsigned char*>(zeroed)[255], 0);
    free(zeroed);
    free(nullptr);
}

}  // namespace

#endif  // __SANITIZE_ADDRESS__
