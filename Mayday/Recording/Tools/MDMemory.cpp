// Safe memory reads. Crash-path code: raw system calls, fixed buffers, no
// heap, no locks, no stdio, no exceptions.
#include "Mayday/Recording/Tools/MDMemory.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

constexpr int kScratchSize = 10240;
// Pipe writes up to this size go in one piece and the default pipe holds it.
constexpr size_t kPipeChunk = 4096;

char g_scratch[kScratchSize];

enum CopyMethod { kUndecided = 0, kProcessVM = 1, kPipe = 2 };
volatile int g_method = kUndecided;
int g_pipe[2] = {-1, -1};

// Our pid, read once: a getpid(2) per copy doubled the cost of a copy. A
// forked child clears it in the fork handler below; a child made without
// fork handlers (a raw clone) is caught when the kernel refuses the stale
// pid (see copyThroughProcessVM).
volatile long g_pid = 0;

void forgetPidInChild(void) {
    g_pid = 0;
}

// Registered when the program starts (pthread_atfork allocates; never on the
// crash path).
[[maybe_unused]] const int g_forkHandler = pthread_atfork(nullptr, nullptr, forgetPidInChild);

long ownPid(void) {
    long pid = g_pid;
    if (pid == 0) {
        pid = syscall(SYS_getpid);
        g_pid = pid;
    }
    return pid;
}

// Pages one bounded copy asks for in one call (each its own piece, so the
// kernel stops at the first page it cannot read).
constexpr int kPagesPerCall = 64;
constexpr uintptr_t kPageSize = 4096;

long rawCall3(long number, long a, long b, long c) {
    return syscall(number, a, b, c);
}

bool openPipe(void) {
    if (g_pipe[0] >= 0) return true;
    int fds[2];
    if (syscall(SYS_pipe2, fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    g_pipe[0] = fds[0];
    g_pipe[1] = fds[1];
    return true;
}

// Empties the pipe so a failed copy leaves nothing behind for the next.
void drainPipe(void) {
    char sink[256];
    while (rawCall3(SYS_read, g_pipe[0], reinterpret_cast<long>(sink), sizeof(sink)) > 0) {
    }
}

bool copyThroughPipe(const char* src, char* dst, size_t count) {
    if (!openPipe()) return false;
    while (count > 0) {
        const size_t piece = count < kPipeChunk ? count : kPipeChunk;
        const long written = rawCall3(SYS_write, g_pipe[1], reinterpret_cast<long>(src), static_cast<long>(piece));
        if (written <= 0) {
            drainPipe();
            return false;
        }
        const long got = rawCall3(SYS_read, g_pipe[0], reinterpret_cast<long>(dst), written);
        if (got != written || static_cast<size_t>(written) != piece) {
            drainPipe();
            return false;
        }
        src += piece;
        dst += piece;
        count -= piece;
    }
    return true;
}

// process_vm_readv(2) on our own pid: the bytes copied, or -1 with errno.
// A pid left from before a fork without fork handlers names the parent (or
// no one): ESRCH or EPERM then means "ask again with the real pid".
long readOwnMemory(const struct iovec* local, long localCount, const struct iovec* remote, long remoteCount) {
    const long pid = ownPid();
    long copied = syscall(SYS_process_vm_readv, pid, local, localCount, remote, remoteCount, 0L);
    if (copied < 0 && (errno == ESRCH || errno == EPERM)) {
        const long current = syscall(SYS_getpid);
        if (current != pid) {
            g_pid = current;
            copied = syscall(SYS_process_vm_readv, current, local, localCount, remote, remoteCount, 0L);
        }
    }
    return copied;
}

// -1 when the kernel refuses the call itself (so the fallback is needed).
int copyThroughProcessVM(const void* src, void* dst, size_t count) {
    struct iovec local = {dst, count};
    struct iovec remote = {const_cast<void*>(src), count};
    const long copied = readOwnMemory(&local, 1L, &remote, 1L);
    if (copied < 0) {
        const int error = errno;
        if (error == ENOSYS || error == EPERM) return -1;
        return 0;
    }
    return static_cast<size_t>(copied) == count ? 1 : 0;
}

// Where no process can have memory: the lowest page (mmap_min_addr keeps
// it unmapped) and above the largest user address space (57-bit). Values
// that are not pointers at all (small integers, -1, flags) end up here, and
// are answered without a system call.
constexpr uintptr_t kLowestUserAddress = 4096;
constexpr uintptr_t kUserAddressEnd = (uintptr_t)1 << 56;

bool outsideEveryAddressSpace(const void* src, size_t count) {
    const uintptr_t start = reinterpret_cast<uintptr_t>(src);
    return count != 0 && (start < kLowestUserAddress || start >= kUserAddressEnd || count > kUserAddressEnd - start);
}

// The one kernel copy: all of `count` bytes or failure.
bool kernelCopy(const void* src, void* dst, size_t count) {
    if (outsideEveryAddressSpace(src, count)) return false;
    if (g_method != kPipe) {
        const int savedErrno = errno;
        const int result = copyThroughProcessVM(src, dst, count);
        errno = savedErrno;
        if (result >= 0) {
            g_method = kProcessVM;
            return result == 1;
        }
        // Decided once: later copies go straight to the pipe.
        g_method = kPipe;
    }
    const int savedErrno = errno;
    const bool ok = copyThroughPipe(static_cast<const char*>(src), static_cast<char*>(dst), count);
    errno = savedErrno;
    return ok;
}

}  // namespace

bool mdmem_isMemoryReadable(const void* memory, int byteCount) {
    const char* src = static_cast<const char*>(memory);
    int remaining = byteCount;
    while (remaining > 0) {
        const int chunk = remaining > kScratchSize ? kScratchSize : remaining;
        if (!kernelCopy(src, g_scratch, static_cast<size_t>(chunk))) return false;
        src += chunk;
        remaining -= chunk;
    }
    return true;
}

bool mdmem_copySafely(const void* src, void* dst, int byteCount) {
    if (byteCount <= 0) return false;
    return kernelCopy(src, dst, static_cast<size_t>(byteCount));
}

// Memory is there or not a whole page at a time. Through process_vm_readv
// each page (the first up to the first page boundary) is its own remote
// piece of one call, and the kernel stops at the first piece it cannot read;
// through the pipe the pages go one by one.
int mdmem_copyMaxPossible(const void* src, void* dst, int byteCount) {
    if (byteCount <= 0) return 0;
    uintptr_t source = reinterpret_cast<uintptr_t>(src);
    if (source > UINTPTR_MAX - static_cast<uintptr_t>(byteCount)) {
        byteCount = static_cast<int>(UINTPTR_MAX - source);
    }
    uint8_t* destination = static_cast<uint8_t*>(dst);
    int total = 0;
    while (total < byteCount) {
        struct iovec remote[kPagesPerCall];
        int pieces = 0;
        size_t asked = 0;
        uintptr_t at = source;
        while (pieces < kPagesPerCall && total + static_cast<int>(asked) < byteCount) {
            const uintptr_t toBoundary = kPageSize - (at & (kPageSize - 1));
            const size_t left = static_cast<size_t>(byteCount - total) - asked;
            const size_t chunk = toBoundary < left ? toBoundary : left;
            remote[pieces++] = {reinterpret_cast<void*>(at), chunk};
            at += chunk;
            asked += chunk;
        }
        long copied = -1;
        if (g_method != kPipe) {
            const int savedErrno = errno;
            struct iovec local = {destination, asked};
            copied = readOwnMemory(&local, 1L, remote, pieces);
            const bool refused = copied < 0 && (errno == ENOSYS || errno == EPERM);
            errno = savedErrno;
            if (!refused) {
                g_method = kProcessVM;
                if (copied <= 0) break;
            } else {
                copied = -1;
            }
        }
        if (copied < 0) {
            // The pipe (or the first refused call, which decides it).
            copied = 0;
            for (int i = 0; i < pieces && mdmem_copySafely(remote[i].iov_base, destination + copied,
                                                           static_cast<int>(remote[i].iov_len));
                 i++) {
                copied += static_cast<long>(remote[i].iov_len);
            }
        }
        total += static_cast<int>(copied);
        if (static_cast<size_t>(copied) != asked) break;
        source += asked;
        destination += asked;
    }
    return total;
}

bool mdmem_copyPieces(const uintptr_t* addresses, int count, int pieceSize, void* dst) {
    if (count <= 0 || pieceSize <= 0 || count > MDMEM_MAX_PIECES) return false;
    int lengths[MDMEM_MAX_PIECES];
    mdmem_copyEachMaxPossible(addresses, count, pieceSize, dst, lengths);
    for (int i = 0; i < count; i++)
        if (lengths[i] != pieceSize) return false;
    return true;
}

void mdmem_copyEachMaxPossible(const uintptr_t* addresses, int count, int pieceSize, void* dst, int* lengths) {
    uint8_t* destination = static_cast<uint8_t*>(dst);
    int next = 0;
    while (next < count) {
        uint8_t* into = destination + (size_t)next * (size_t)(pieceSize > 0 ? pieceSize : 0);
        if (pieceSize <= 0 || g_method == kPipe || UINTPTR_MAX - addresses[next] < (uintptr_t)pieceSize) {
            lengths[next] = mdmem_copyMaxPossible(reinterpret_cast<const void*>(addresses[next]), into, pieceSize);
            next++;
            continue;
        }
        struct iovec remote[MDMEM_MAX_PIECES];
        int batch = 0;
        while (batch < MDMEM_MAX_PIECES && next + batch < count &&
               UINTPTR_MAX - addresses[next + batch] >= (uintptr_t)pieceSize) {
            remote[batch] = {reinterpret_cast<void*>(addresses[next + batch]), static_cast<size_t>(pieceSize)};
            batch++;
        }
        struct iovec local = {into, (size_t)batch * (size_t)pieceSize};
        const int savedErrno = errno;
        long copied = readOwnMemory(&local, 1L, remote, batch);
        const bool refused = copied < 0 && (errno == ENOSYS || errno == EPERM);
        errno = savedErrno;
        if (refused) {
            g_method = kPipe;  // the loop goes on piece by piece
            continue;
        }
        g_method = kProcessVM;
        if (copied < 0) copied = 0;
        // The kernel stops at the first page it cannot read: the pieces
        // before it are whole, the one it stopped in has what came before.
        int done = (int)(copied / pieceSize);
        for (int i = 0; i < done; i++) lengths[next + i] = pieceSize;
        if (done < batch) lengths[next + done++] = (int)(copied % pieceSize);
        next += done;
    }
}

long mdmem_testing_cachedPid(void) {
    return g_pid;
}

void mdmem_testing_forcePipeFallback(bool force) {
    g_method = force ? kPipe : kUndecided;
}

bool mdmem_testing_usesPipeFallback(void) {
    return g_method == kPipe;
}
