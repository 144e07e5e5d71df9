// Alternate signal stacks for every thread (see the header). The registry of
// stacks is a fixed table whose entries change state by compare-and-swap, so
// the hand-over signal's handler, starting and ending threads and the
// acquirer never wait for each other; only acquisition and release take a
// mutex among themselves.
#include "Mayday/Recording/Tools/MDSignalStack.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include "Mayday/Recording/Tools/MDMachineContext.h"
#include "Mayday/Recording/Tools/MDThread.h"

namespace {

constexpr int kMaxEntries = 1024;
constexpr size_t kGuardSize = 4096;
constexpr size_t kMappingSize = kGuardSize + MDSS_STACK_SIZE;
constexpr size_t kTouchedSize = 8192;
constexpr int64_t kHandOverNanoseconds = 500 * 1000000LL;

enum EntryState { EntryFree = 0, EntryBusy = 1, EntryActive = 2, EntryReturned = 3 };

struct Entry {
    std::atomic<int> state{EntryFree};
    MDThread thread = 0;
    char* mapping = nullptr;  // guard page first, then the stack
};

enum Command { CommandNone = 0, CommandInstall = 1, CommandRemove = 2 };

Entry g_entries[kMaxEntries];
std::atomic<int> g_holders{0};
std::atomic<bool> g_active{false};
pthread_mutex_t g_broadcastLock = PTHREAD_MUTEX_INITIALIZER;
bool g_handlerInstalled = false;

// One hand-over round: the stacks mapped for the threads that were listed.
std::atomic<char*> g_pool[kMaxEntries];
std::atomic<int> g_poolCount{0};
std::atomic<int> g_poolNext{0};
std::atomic<int> g_command{CommandNone};
int g_acknowledged = 0;  // futex word

int handOverSignal() { return SIGRTMIN + MDSS_SIGNAL_OFFSET; }

char* mapStack() {
    void* mapping = mmap(nullptr, kMappingSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (mapping == MAP_FAILED) return nullptr;
    // The guard page: an overflow of the signal stack faults instead of
    // writing into whatever lies below.
    mprotect(mapping, kGuardSize, PROT_NONE);
    // A signal's frame lands in the top pages; made present now, a first
    // suspension or fault does not take a page fault per thread there.
    volatile char* top = static_cast<char*>(mapping) + kMappingSize;
    for (size_t offset = 1; offset <= kTouchedSize; offset += 4096) top[-(ptrdiff_t)offset] = 0;
    return static_cast<char*>(mapping);
}

void unmapStack(char* mapping) {
    if (mapping) munmap(mapping, kMappingSize);
}

bool currentStack(stack_t* stack) { return sigaltstack(nullptr, stack) == 0; }

bool hasAnyStack() {
    stack_t stack;
    return currentStack(&stack) && !(stack.ss_flags & SS_DISABLE);
}

// The entry of the stack this thread runs with, if it is one of ours.
Entry* currentEntry() {
    stack_t stack;
    if (!currentStack(&stack) || (stack.ss_flags & SS_DISABLE)) return nullptr;
    const MDThread self = mdthread_self();
    for (Entry& entry : g_entries)
        if (entry.state.load(std::memory_order_acquire) == EntryActive && entry.thread == self &&
            entry.mapping + kGuardSize == stack.ss_sp)
            return &entry;
    return nullptr;
}

// Installs `mapping` as this thread's stack and registers it; false (nothing
// installed) when the table is full or the kernel refuses.
bool installStack(char* mapping) {
    for (Entry& entry : g_entries) {
        int expected = EntryFree;
        if (!entry.state.compare_exchange_strong(expected, EntryBusy, std::memory_order_acq_rel)) continue;
        stack_t stack;
        stack.ss_sp = mapping + kGuardSize;
        stack.ss_size = MDSS_STACK_SIZE;
        stack.ss_flags = 0;
        if (sigaltstack(&stack, nullptr) != 0) {
            entry.state.store(EntryFree, std::memory_order_release);
            return false;
        }
        entry.thread = mdthread_self();
        entry.mapping = mapping;
        entry.state.store(EntryActive, std::memory_order_release);
        return true;
    }
    return false;
}

// Takes this thread's stack out if it is ours and not in use; answers its entry.
Entry* uninstallStack() {
    Entry* entry = currentEntry();
    if (!entry) return nullptr;
    stack_t stack;
    if (!currentStack(&stack) || (stack.ss_flags & SS_ONSTACK)) return nullptr;
    stack_t off;
    memset(&off, 0, sizeof(off));
    off.ss_flags = SS_DISABLE;
    if (sigaltstack(&off, nullptr) != 0) return nullptr;
    return entry;
}

void freeEntry(Entry* entry, int fromState) {
    int expected = fromState;
    if (!entry->state.compare_exchange_strong(expected, EntryBusy, std::memory_order_acq_rel)) return;
    unmapStack(entry->mapping);
    entry->mapping = nullptr;
    entry->thread = 0;
    entry->state.store(EntryFree, std::memory_order_release);
}

bool threadIsGone(MDThread thread) {
    return syscall(SYS_tgkill, (pid_t)getpid(), (pid_t)thread, 0) != 0 && errno == ESRCH;
}

// Gives back the stacks of threads that ended without saying so.
void sweep() {
    for (Entry& entry : g_entries)
        if (entry.state.load(std::memory_order_acquire) == EntryActive && threadIsGone(entry.thread))
            freeEntry(&entry, EntryActive);
}

class BlockHandOver {
  public:
    BlockHandOver() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, handOverSignal());
        pthread_sigmask(SIG_BLOCK, &set, &previous_);
    }
    ~BlockHandOver() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    BlockHandOver(const BlockHandOver&) = delete;
    BlockHandOver& operator=(const BlockHandOver&) = delete;

  private:
    sigset_t previous_;
};

void giveThisThreadAStack() {
    if (hasAnyStack()) return;
    char* mapping = mapStack();
    if (mapping && !installStack(mapping)) unmapStack(mapping);
}

void takeThisThreadsStack() {
    if (Entry* entry = uninstallStack()) freeEntry(entry, EntryActive);
}

void handOverHandler(int, siginfo_t*, void* userContext) {
    const int savedErrno = errno;
    const int command = g_command.load(std::memory_order_acquire);
    if (command == CommandInstall && !hasAnyStack()) {
        const int index = g_poolNext.fetch_add(1, std::memory_order_acq_rel);
        if (index < g_poolCount.load(std::memory_order_acquire)) {
            char* mapping = g_pool[index].exchange(nullptr, std::memory_order_acq_rel);
            // Not installed: it stays mapped and the acquirer's clean-up cannot
            // see it any more, so it is given back right here.
            if (mapping && !installStack(mapping)) unmapStack(mapping);
        }
    } else if (command == CommandRemove) {
        if (Entry* entry = uninstallStack()) {
            int expected = EntryActive;
            entry->state.compare_exchange_strong(expected, EntryReturned, std::memory_order_acq_rel);
        }
    }
    // The return from this handler restores the alternate stack saved in the
    // context: what was set here has to be written there too, or it is undone.
    if (userContext) currentStack(&static_cast<ucontext_t*>(userContext)->uc_stack);
    __atomic_add_fetch(&g_acknowledged, 1, __ATOMIC_ACQ_REL);
    syscall(SYS_futex, &g_acknowledged, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
    errno = savedErrno;
}

void installHandOverHandler() {
    if (g_handlerInstalled) return;
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_sigaction = handOverHandler;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigfillset(&action.sa_mask);
    if (sigaction(handOverSignal(), &action, nullptr) == 0) g_handlerInstalled = true;
}

struct ThreadList {
    MDThread self;
    MDThread threads[kMaxEntries];
    int count;
};

// Whether the thread blocks `signum`, from the SigBlk line of its status.
// Such a thread (GLib's workers block every signal) would never answer, and
// waiting for it would only delay enabling.
bool blocksSignal(MDThread thread, int signum) {
    char path[64];
    snprintf(path, sizeof(path), "/proc/self/task/%lu/status", (unsigned long)thread);
    FILE* file = fopen(path, "re");
    if (!file) return false;
    char line[256];
    unsigned long long blocked = 0;
    bool found = false;
    while (!found && fgets(line, sizeof(line), file)) found = sscanf(line, "SigBlk: %llx", &blocked) == 1;
    fclose(file);
    return found && (blocked & (1ULL << (signum - 1))) != 0;
}

bool listThread(MDThread thread, void* context) {
    ThreadList* list = static_cast<ThreadList*>(context);
    if (thread != list->self && list->count < kMaxEntries && !blocksSignal(thread, handOverSignal()))
        list->threads[list->count++] = thread;
    return true;
}

int64_t nowNanoseconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

// Asks every other thread to take a stack (or give its stack back) and waits
// a bounded time for the answers: a thread with the signal blocked keeps
// what it has. Holds g_broadcastLock.
void broadcast(Command command) {
    installHandOverHandler();
    if (!g_handlerInstalled) return;
    static ThreadList list;
    list.self = mdthread_self();
    list.count = 0;
    mdthread_forEachThread(listThread, &list);

    if (command == CommandInstall) {
        for (int i = 0; i < list.count; i++) g_pool[i].store(mapStack(), std::memory_order_release);
        g_poolNext.store(0, std::memory_order_release);
        g_poolCount.store(list.count, std::memory_order_release);
    }
    __atomic_store_n(&g_acknowledged, 0, __ATOMIC_RELEASE);
    g_command.store(command, std::memory_order_release);

    int sent = 0;
    for (int i = 0; i < list.count; i++)
        if (syscall(SYS_tgkill, (pid_t)getpid(), (pid_t)list.threads[i], handOverSignal()) == 0) sent++;
    const int64_t deadline = nowNanoseconds() + kHandOverNanoseconds;
    for (;;) {
        const int acknowledged = __atomic_load_n(&g_acknowledged, __ATOMIC_ACQUIRE);
        const int64_t left = deadline - nowNanoseconds();
        if (acknowledged >= sent || left <= 0) break;
        struct timespec timeout = {(time_t)(left / 1000000000), (long)(left % 1000000000)};
        syscall(SYS_futex, &g_acknowledged, FUTEX_WAIT_PRIVATE, acknowledged, &timeout, nullptr, 0);
    }
    g_command.store(CommandNone, std::memory_order_release);

    if (command == CommandInstall) {
        g_poolCount.store(0, std::memory_order_release);
        for (int i = 0; i < list.count; i++) unmapStack(g_pool[i].exchange(nullptr, std::memory_order_acq_rel));
    } else {
        for (Entry& entry : g_entries)
            if (entry.state.load(std::memory_order_acquire) == EntryReturned) freeEntry(&entry, EntryReturned);
    }
}

}  // namespace

bool mdss_acquire(void) {
    pthread_mutex_lock(&g_broadcastLock);
    if (g_holders.fetch_add(1, std::memory_order_acq_rel) == 0) {
        g_active.store(true, std::memory_order_release);
        sweep();
        {
            BlockHandOver block;
            giveThisThreadAStack();
        }
        broadcast(CommandInstall);
    }
    pthread_mutex_unlock(&g_broadcastLock);
    return hasAnyStack();
}

void mdss_release(void) {
    // Inside crash handling the other threads are parked: nobody could answer,
    // and the process is on its way out anyway.
    if (mdmc_isEnvironmentSuspended()) {
        if (g_holders.fetch_sub(1, std::memory_order_acq_rel) == 1) g_active.store(false, std::memory_order_release);
        return;
    }
    pthread_mutex_lock(&g_broadcastLock);
    if (g_holders.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        g_active.store(false, std::memory_order_release);
        {
            BlockHandOver block;
            takeThisThreadsStack();
        }
        broadcast(CommandRemove);
        sweep();
    }
    pthread_mutex_unlock(&g_broadcastLock);
}

void mdss_threadStarted(void) {
    if (!g_active.load(std::memory_order_acquire)) return;
    BlockHandOver block;
    // An entry under this thread id that is not the stack in use belonged to
    // an ended thread whose id came back.
    stack_t stack;
    const bool known = currentStack(&stack);
    const MDThread self = mdthread_self();
    for (Entry& entry : g_entries)
        if (entry.state.load(std::memory_order_acquire) == EntryActive && entry.thread == self &&
            !(known && !(stack.ss_flags & SS_DISABLE) && entry.mapping + kGuardSize == stack.ss_sp))
            freeEntry(&entry, EntryActive);
    giveThisThreadAStack();
}

void mdss_threadEnding(void) {
    BlockHandOver block;
    takeThisThreadsStack();
}

bool mdss_isActive(void) { return g_active.load(std::memory_order_acquire); }

bool mdss_currentThreadHasStack(void) { return currentEntry() != nullptr; }
