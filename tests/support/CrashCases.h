// Crashes of every kind for the crash matrices: each ends a process without
// the recorder by the signal named beside it. Problems setting one up are
// reported through zeltest::put.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include "tests/support/CrashChild.h"
#include "tests/support/DeliberateFault.h"

namespace zeltest {

// SIGSEGV, SEGV_MAPERR.
__attribute__((noinline)) inline void nullRead() { (void)readAddress(0); }

// SIGSEGV, SEGV_ACCERR.
__attribute__((noinline)) inline void writeReadOnlyPage() {
    void* page = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    writeAddress((uintptr_t)page, 1);
}

inline void* overflowThread(void*) {
    overflowStack();
    return nullptr;
}

// SIGSEGV on a thread with a 64 KiB stack.
inline void overflowSmallThreadStack() {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 64 * 1024);
    pthread_t thread;
    if (pthread_create(&thread, &attributes, overflowThread, nullptr) != 0) put("no thread\n");
    pthread_join(thread, nullptr);
}

// SIGABRT.
__attribute__((noinline)) inline void callAbort() { abort(); }

// SIGBUS: a read of a mapped page past the end of its (truncated) file.
inline void busError() {
    char path[] = "/tmp/zel-bus-XXXXXX";
    const int fd = mkstemp(path);
    unlink(path);
    if (fd < 0 || ftruncate(fd, 4096) != 0) put("no file\n");
    void* mapped = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED || ftruncate(fd, 0) != 0) put("no mapping\n");
    (void)readAddress((uintptr_t)mapped);
}

}  // namespace zeltest
