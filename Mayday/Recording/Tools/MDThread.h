// Thread identity, the thread list and thread names. Stands in for the Mach
// thread ports and pthread/dispatch name queries of macOS.
//
// A thread is its kernel thread id. Crash-path safe except mdthread_setName:
// raw system calls (gettid, getdents64, open/read/close) into fixed stack
// buffers, no heap, no locks, no stdio.
#pragma once

#include <cstdint>

typedef uintptr_t MDThread;

// The calling thread's kernel id.
MDThread mdthread_self(void);

// The thread's name: the full name from mdthread_setName when it has one,
// else the kernel's (at most 15 characters). Cut to bufferLength - 1
// characters. False when the thread is unknown or the buffer is unusable.
bool mdthread_threadName(MDThread thread, char* buffer, int bufferLength);

// Linux has no dispatch queues, so there is never a queue label: always false.
bool mdthread_queueName(MDThread thread, char* buffer, int bufferLength);

// Not for the crash path. Remembers `name` in full for mdthread_threadName
// (up to 63 characters, 64 threads) and gives the kernel its 15-character cut.
// True when the name was both remembered and given to the kernel.
bool mdthread_setName(MDThread thread, const char* name);
// Not for the crash path. Drops the remembered full name, freeing its place.
void mdthread_forgetName(MDThread thread);

// Walks the threads of this process in the kernel's order (/proc/self/task),
// calling `visit` for each until it answers false. Answers the number of
// threads seen, or -1 (errno set) when the list cannot be read.
int mdthread_forEachThread(bool (*visit)(MDThread thread, void* context), void* context);
