// The cached thread data. The cache thread builds snapshots with the heap;
// everything readers call (lookups, pause, resume) is crash-path safe: no
// heap, no locks, no stdio, lock-free atomics only.
//
// Why snapshots and not arrays swapped in place: freeing the old arrays right
// after the swap pulls them out from under a reader that has just loaded them,
// and pausing does not help a reader that paused while a refresh was already
// past its pause check. So a refresh publishes a new immutable snapshot with
// one atomic exchange and retires the old one, and a retired snapshot is freed
// only when (1) it has been replaced twice (a grace period of one refresh for
// callers that keep names after a lookup), (2) no lookup is reading it (each
// lookup marks the snapshot it reads in a hazard slot), and (3) nobody holds a
// pause. A paused reader therefore keeps whatever it loaded until it resumes.
#include "Mayday/Recording/MaydayCachedData.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pthread.h>

#include "Mayday/Recording/Tools/MDLogger.h"
#include "Mayday/Recording/Tools/MDSysCall.h"

namespace {

struct Snapshot {
    int count;
    MDThread* threads;
    char** threadNames;  // entries null when unknown; owned copies
    char** queueNames;
};

// Lookups running at once (signal handlers included); with every slot taken
// a lookup answers null rather than wait.
constexpr int kHazardSlots = 64;
constexpr uintptr_t kClaimed = 1;
// Snapshots waiting to be freed; when they are all still held, refreshes
// wait until one can go.
constexpr int kMaxRetired = 16;
constexpr int kNameBufferLength = 1000;

std::atomic<Snapshot*> g_current{nullptr};
std::atomic<uintptr_t> g_hazards[kHazardSlots];
std::atomic<int32_t> g_pauseCount{0};
std::atomic<bool> g_started{false};
std::atomic<long> g_testIntervalMicroseconds{0};
std::atomic<long> g_refreshCount{0};
std::atomic<long> g_freedCount{0};
int g_pollingIntervalSeconds = 60;
int g_accelerationCounter = 4;

// Only the cache thread touches these.
Snapshot* g_retired[kMaxRetired];
int g_retiredCount = 0;

static_assert(std::atomic<Snapshot*>::is_always_lock_free);
static_assert(std::atomic<uintptr_t>::is_always_lock_free);
static_assert(std::atomic<int32_t>::is_always_lock_free);

void sleepMicroseconds(long microseconds) {
    timespec remaining = {microseconds / 1000000, (microseconds % 1000000) * 1000};
    mdsys_retry([&] { return nanosleep(&remaining, &remaining); });
}

// ---- readers (crash-path safe) ----

// Pins the current snapshot for reading. Answers null (and no slot) when
// there is no snapshot or no free slot.
Snapshot* pinSnapshot(int* slotOut) {
    int slot = -1;
    for (int i = 0; i < kHazardSlots; i++) {
        uintptr_t expected = 0;
        if (g_hazards[i].compare_exchange_strong(expected, kClaimed)) {
            slot = i;
            break;
        }
    }
    if (slot < 0) return nullptr;
    Snapshot* snapshot = g_current.load(std::memory_order_seq_cst);
    for (;;) {
        // Publish the mark, then check the snapshot is still current: the
        // refresher retires before it scans, so either it sees our mark or we
        // see its new snapshot.
        g_hazards[slot].store(reinterpret_cast<uintptr_t>(snapshot), std::memory_order_seq_cst);
        Snapshot* again = g_current.load(std::memory_order_seq_cst);
        if (again == snapshot) break;
        snapshot = again;
    }
    if (snapshot == nullptr) {
        g_hazards[slot].store(0, std::memory_order_release);
        return nullptr;
    }
    *slotOut = slot;
    return snapshot;
}

void unpin(int slot) { g_hazards[slot].store(0, std::memory_order_release); }

int indexOf(const Snapshot* snapshot, MDThread thread) {
    for (int i = 0; i < snapshot->count; i++)
        if (snapshot->threads[i] == thread) return i;
    return -1;
}

const char* lookUp(MDThread thread, bool queue) {
    int slot = -1;
    Snapshot* snapshot = pinSnapshot(&slot);
    if (snapshot == nullptr) return nullptr;
    const int index = indexOf(snapshot, thread);
    const char* name = index < 0 ? nullptr : (queue ? snapshot->queueNames[index] : snapshot->threadNames[index]);
    unpin(slot);
    return name;
}

// ---- the cache thread (not crash-path) ----

void freeSnapshot(Snapshot* snapshot) {
    for (int i = 0; i < snapshot->count; i++) {
        free(snapshot->threadNames[i]);
        free(snapshot->queueNames[i]);
    }
    free(snapshot->threads);
    free(snapshot->threadNames);
    free(snapshot->queueNames);
    free(snapshot);
    g_freedCount.fetch_add(1, std::memory_order_relaxed);
}

struct ThreadCollector {
    MDThread* threads;
    int count;
    int capacity;
    bool failed;
};

bool collectThread(MDThread thread, void* context) {
    ThreadCollector* collector = static_cast<ThreadCollector*>(context);
    if (collector->count == collector->capacity) {
        const int capacity = collector->capacity == 0 ? 64 : collector->capacity * 2;
        void* grown = realloc(collector->threads, sizeof(MDThread) * (size_t)capacity);
        if (grown == nullptr) {
            collector->failed = true;
            return false;
        }
        collector->threads = static_cast<MDThread*>(grown);
        collector->capacity = capacity;
    }
    collector->threads[collector->count++] = thread;
    return true;
}

char* copyIfNonEmpty(bool found, const char* text) { return found && text[0] != '\0' ? strdup(text) : nullptr; }

Snapshot* buildSnapshot() {
    ThreadCollector collector = {nullptr, 0, 0, false};
    if (mdthread_forEachThread(collectThread, &collector) < 0 || collector.failed) {
        free(collector.threads);
        return nullptr;
    }
    Snapshot* snapshot = static_cast<Snapshot*>(calloc(1, sizeof(Snapshot)));
    const size_t slots = collector.count > 0 ? (size_t)collector.count : 1;
    char** threadNames = static_cast<char**>(calloc(slots, sizeof(char*)));
    char** queueNames = static_cast<char**>(calloc(slots, sizeof(char*)));
    if (snapshot == nullptr || threadNames == nullptr || queueNames == nullptr) {
        free(snapshot);
        free(threadNames);
        free(queueNames);
        free(collector.threads);
        return nullptr;
    }
    char buffer[kNameBufferLength];
    for (int i = 0; i < collector.count; i++) {
        const MDThread thread = collector.threads[i];
        threadNames[i] = copyIfNonEmpty(mdthread_threadName(thread, buffer, sizeof(buffer)), buffer);
        queueNames[i] = copyIfNonEmpty(mdthread_queueName(thread, buffer, sizeof(buffer)), buffer);
    }
    snapshot->count = collector.count;
    snapshot->threads = collector.threads;
    snapshot->threadNames = threadNames;
    snapshot->queueNames = queueNames;
    return snapshot;
}

bool isPinned(const Snapshot* snapshot) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(snapshot);
    for (int i = 0; i < kHazardSlots; i++)
        if (g_hazards[i].load(std::memory_order_seq_cst) == value) return true;
    return false;
}

// Frees every retired snapshot but the newest (the grace period) that no
// lookup is reading, unless someone holds a pause.
void reclaim() {
    int kept = 0;
    for (int i = 0; i < g_retiredCount; i++) {
        Snapshot* snapshot = g_retired[i];
        const bool newest = i == g_retiredCount - 1;
        if (!newest && g_pauseCount.load(std::memory_order_seq_cst) <= 0 && !isPinned(snapshot)) {
            freeSnapshot(snapshot);
        } else {
            g_retired[kept++] = snapshot;
        }
    }
    g_retiredCount = kept;
}

void refresh() {
    if (g_pauseCount.load(std::memory_order_seq_cst) > 0) return;
    reclaim();
    if (g_retiredCount == kMaxRetired) return;
    Snapshot* fresh = buildSnapshot();
    if (fresh == nullptr) return;
    Snapshot* old = g_current.exchange(fresh, std::memory_order_seq_cst);
    if (old != nullptr) g_retired[g_retiredCount++] = old;
    reclaim();
    g_refreshCount.fetch_add(1, std::memory_order_relaxed);
}

void* cacheThreadMain(void*) {
    mdthread_setName(mdthread_self(), "Mayday Cached Data Monitor");
    sleepMicroseconds(1);
    for (;;) {
        refresh();
        const long testInterval = g_testIntervalMicroseconds.load(std::memory_order_relaxed);
        if (testInterval > 0) {
            sleepMicroseconds(testInterval);
        } else if (g_accelerationCounter > 0) {
            g_accelerationCounter--;
            sleepMicroseconds(1000000);
        } else {
            sleepMicroseconds((long)g_pollingIntervalSeconds * 1000000);
        }
    }
    return nullptr;
}

}  // namespace

void mdccd_init(int pollingIntervalSeconds) {
    if (g_started.exchange(true)) return;
    g_pollingIntervalSeconds = pollingIntervalSeconds > 0 ? pollingIntervalSeconds : 1;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const int result = pthread_create(&thread, &attributes, cacheThreadMain, nullptr);
    pthread_attr_destroy(&attributes);
    if (result != 0) {
        MDLOG_ERROR("pthread_create_suspended_np: %s", mdsys_errorText(result));
        g_started.store(false);
    }
}

void mdccd_pauseUpdates(void) {
    const int32_t old = g_pauseCount.fetch_add(1, std::memory_order_seq_cst);
    // Lets a refresh that already passed its pause check publish first.
    if (old <= 0) sleepMicroseconds(1);
}

void mdccd_resumeUpdates(void) {
    // Never below 0, not even for a moment, so an extra resume cannot cancel
    // a concurrent pause.
    int32_t value = g_pauseCount.load(std::memory_order_seq_cst);
    while (value > 0 && !g_pauseCount.compare_exchange_weak(value, value - 1, std::memory_order_seq_cst)) {
    }
}

const MDThread* mdccd_threadList(int* count) {
    int slot = -1;
    Snapshot* snapshot = pinSnapshot(&slot);
    if (snapshot == nullptr) {
        if (count) *count = 0;
        return nullptr;
    }
    if (count) *count = snapshot->count;
    const MDThread* threads = snapshot->threads;
    unpin(slot);
    return threads;
}

const char* mdccd_threadNameFor(MDThread thread) { return lookUp(thread, false); }

const char* mdccd_queueNameFor(MDThread thread) { return lookUp(thread, true); }

void mdccd_testing_setRefreshIntervalMicroseconds(long microseconds) {
    g_testIntervalMicroseconds.store(microseconds > 0 ? microseconds : 0, std::memory_order_relaxed);
}

long mdccd_testing_refreshCount(void) { return g_refreshCount.load(std::memory_order_relaxed); }

long mdccd_testing_freedCount(void) { return g_freedCount.load(std::memory_order_relaxed); }

int mdccd_testing_pauseCount(void) { return g_pauseCount.load(std::memory_order_seq_cst); }
