// Thread identity, the thread list and thread names. Crash-path safe except
// mdthread_setName: raw system calls into fixed stack buffers, no heap, no
// locks, no stdio. The name registry is written with atomics under a
// per-entry sequence number so a crashed process can read it without waiting.
#include "Mayday/Recording/Tools/MDThread.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "Mayday/Recording/Tools/MDNumberText.h"
#include "Mayday/Recording/Tools/MDSysCall.h"

namespace {

constexpr int kNameEntries = 64;
constexpr int kNameLength = 64;

struct NameEntry {
    MDThread thread;    // 0: free; claimed once with a compare-and-swap
    unsigned sequence;  // odd while the name is being written
    char name[kNameLength];
};

NameEntry g_names[kNameEntries];

// "/proc/self/task/<tid>/comm"
void commPath(MDThread thread, char* path) {
    const char prefix[] = "/proc/self/task/";
    memcpy(path, prefix, sizeof(prefix) - 1);
    char* end = path + sizeof(prefix) - 1;
    end += mdnum_formatUInt64(end, thread);
    memcpy(end, "/comm", 6);
}

NameEntry* findName(MDThread thread) {
    for (int i = 0; i < kNameEntries; i++)
        if (__atomic_load_n(&g_names[i].thread, __ATOMIC_ACQUIRE) == thread) return &g_names[i];
    return nullptr;
}

bool readRegisteredName(MDThread thread, char* buffer, int bufferLength) {
    NameEntry* entry = findName(thread);
    if (!entry) return false;
    // A writer in the middle of an update makes us retry a few times, never wait.
    for (int attempt = 0; attempt < 16; attempt++) {
        const unsigned before = __atomic_load_n(&entry->sequence, __ATOMIC_ACQUIRE);
        if (before & 1) continue;
        int length = 0;
        while (length < bufferLength - 1 && length < kNameLength) {
            const char c = __atomic_load_n(&entry->name[length], __ATOMIC_RELAXED);
            if (c == '\0') break;
            buffer[length++] = c;
        }
        buffer[length] = '\0';
        __atomic_thread_fence(__ATOMIC_ACQUIRE);
        if (__atomic_load_n(&entry->sequence, __ATOMIC_RELAXED) == before) return before != 0;
    }
    return false;
}

bool readKernelName(MDThread thread, char* buffer, int bufferLength) {
    char path[64];
    commPath(thread, path);
    const int fd = (int)syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char text[32];
    ssize_t count = mdsys_read(fd, text, sizeof(text) - 1);
    close(fd);
    if (count <= 0) return false;
    while (count > 0 && (text[count - 1] == '\n' || text[count - 1] == '\0')) count--;
    int length = 0;
    while (length < bufferLength - 1 && length < count) {
        buffer[length] = text[length];
        length++;
    }
    buffer[length] = '\0';
    return true;
}

struct linux_dirent64 {
    uint64_t d_ino;
    int64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[];
};

}  // namespace

MDThread mdthread_self(void) { return (MDThread)syscall(SYS_gettid); }

bool mdthread_threadName(MDThread thread, char* buffer, int bufferLength) {
    if (buffer == nullptr || bufferLength <= 0 || thread == 0) return false;
    if (readRegisteredName(thread, buffer, bufferLength)) return true;
    return readKernelName(thread, buffer, bufferLength);
}

bool mdthread_queueName(MDThread, char*, int) { return false; }

bool mdthread_setName(MDThread thread, const char* name) {
    if (thread == 0 || name == nullptr) return false;
    NameEntry* entry = findName(thread);
    for (int i = 0; entry == nullptr && i < kNameEntries; i++) {
        MDThread expected = 0;
        if (__atomic_compare_exchange_n(&g_names[i].thread, &expected, thread, false, __ATOMIC_ACQ_REL,
                                        __ATOMIC_ACQUIRE))
            entry = &g_names[i];
    }
    bool remembered = false;
    if (entry) {
        unsigned sequence = __atomic_load_n(&entry->sequence, __ATOMIC_ACQUIRE);
        // Claim the entry for writing: even -> odd.
        while ((sequence & 1) ||
               !__atomic_compare_exchange_n(&entry->sequence, &sequence, sequence + 1, false, __ATOMIC_ACQ_REL,
                                            __ATOMIC_ACQUIRE)) {
            sequence = __atomic_load_n(&entry->sequence, __ATOMIC_ACQUIRE);
        }
        int i = 0;
        for (; i < kNameLength - 1 && name[i] != '\0'; i++) __atomic_store_n(&entry->name[i], name[i], __ATOMIC_RELAXED);
        __atomic_store_n(&entry->name[i], '\0', __ATOMIC_RELAXED);
        __atomic_store_n(&entry->sequence, sequence + 2, __ATOMIC_RELEASE);
        remembered = true;
    }

    // The kernel keeps 15 characters.
    char cut[16];
    size_t length = 0;
    while (length < sizeof(cut) - 1 && name[length] != '\0') {
        cut[length] = name[length];
        length++;
    }
    cut[length] = '\0';
    bool given = false;
    if (thread == mdthread_self()) {
        given = prctl(PR_SET_NAME, cut, 0, 0, 0) == 0;
    } else {
        char path[64];
        commPath(thread, path);
        const int fd = (int)syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CLOEXEC);
        if (fd >= 0) {
            given = write(fd, cut, length) == (ssize_t)length;
            close(fd);
        }
    }
    return remembered && given;
}

void mdthread_forgetName(MDThread thread) {
    NameEntry* entry = thread ? findName(thread) : nullptr;
    if (!entry) return;
    unsigned sequence = __atomic_load_n(&entry->sequence, __ATOMIC_ACQUIRE);
    while ((sequence & 1) || !__atomic_compare_exchange_n(&entry->sequence, &sequence, sequence + 1, false,
                                                          __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
        sequence = __atomic_load_n(&entry->sequence, __ATOMIC_ACQUIRE);
    __atomic_store_n(&entry->name[0], '\0', __ATOMIC_RELAXED);
    // Sequence 0 reads as "never named"; the entry is free for the next thread.
    __atomic_store_n(&entry->sequence, 0u, __ATOMIC_RELEASE);
    __atomic_store_n(&entry->thread, (MDThread)0, __ATOMIC_RELEASE);
}

int mdthread_forEachThread(bool (*visit)(MDThread thread, void* context), void* context) {
    const int fd = (int)syscall(SYS_openat, AT_FDCWD, "/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    alignas(8) char buffer[4096];
    int seen = 0;
    bool going = true;
    while (going) {
        const long count = mdsys_retry([&] { return syscall(SYS_getdents64, fd, buffer, sizeof(buffer)); });
        if (count < 0) {
            const int error = errno;
            close(fd);
            errno = error;
            return -1;
        }
        if (count == 0) break;
        for (long offset = 0; offset < count && going;) {
            const linux_dirent64* entry = reinterpret_cast<const linux_dirent64*>(buffer + offset);
            offset += entry->d_reclen;
            uint64_t tid = 0;
            const char* c = entry->d_name;
            if (*c < '0' || *c > '9') continue;  // "." and ".."
            for (; *c >= '0' && *c <= '9'; c++) tid = tid * 10 + (uint64_t)(*c - '0');
            if (*c != '\0' || tid == 0) continue;
            seen++;
            going = visit((MDThread)tid, context);
        }
    }
    close(fd);
    return seen;
}
