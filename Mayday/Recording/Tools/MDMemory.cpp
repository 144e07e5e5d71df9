// Safe memory reads. Crash-path code: raw system calls, fixed buffers, no
// heap, no locks, no stdio, no exceptions.
#include "Mayday/Recording/Tools/MDMemory.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <fcntl.h>
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

// -1 when the kernel refuses the call itself (so the fallback is needed).
int copyThroughProcessVM(const void* src, void* dst, size_t count) {
    struct iovec local = {dst, count};
    struct iovec remote = {const_cast<void*>(src), count};
    const long pid = syscall(SYS_getpid);
    const long copied = syscall(SYS_process_vm_readv, pid, &local, 1L, &remote, 1L, 0L);
    if (copied < 0) {
        const int error = errno;
        if (error == ENOSYS || error == EPERM) return -1;
        return 0;
    }
    return static_cast<size_t>(copied) == count ? 1 : 0;
}

// The one kernel copy: all of `count` bytes or failure.
bool kernelCopy(const void* src, void* dst, size_t count) {
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

// Memory is there or not a whole page at a time, so the range is copied
// page by page (the first piece up to the first page boundary) until a page
// cannot be read.
int mdmem_copyMaxPossible(const void* src, void* dst, int byteCount) {
    if (byteCount <= 0) return 0;
    const uintptr_t pageSize = 4096;
    uintptr_t source = reinterpret_cast<uintptr_t>(src);
    uint8_t* destination = static_cast<uint8_t*>(dst);
    int total = 0;
    while (total < byteCount) {
        const uintptr_t toBoundary = pageSize - (source & (pageSize - 1));
        const int left = byteCount - total;
        const int chunk = toBoundary < static_cast<uintptr_t>(left) ? static_cast<int>(toBoundary) : left;
        if (source > UINTPTR_MAX - static_cast<uintptr_t>(chunk) ||
            !mdmem_copySafely(reinterpret_cast<const void*>(source), destination, chunk))
            break;
        source += static_cast<uintptr_t>(chunk);
        destination += chunk;
        total += chunk;
    }
    return total;
}

void mdmem_testing_forcePipeFallback(bool force) {
    g_method = force ? kPipe : kUndecided;
}

bool mdmem_testing_usesPipeFallback(void) {
    return g_method == kPipe;
}
