// pthread_create, interposed in the executable so that every thread the
// process makes (its own, libstdc++'s, GLib's) gets an alternate signal stack
// while the fault monitors want one, and gives it back when it ends.
// Not crash-path code.
#include <cerrno>
#include <dlfcn.h>
#include <new>
#include <pthread.h>

#include "Mayday/Recording/Tools/MDSignalStack.h"

namespace {

typedef int (*CreateCall)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

struct Start {
    void* (*routine)(void*);
    void* argument;
};

// Runs however the thread ends: return, pthread_exit or cancellation.
struct StackRelease {
    ~StackRelease() { mdss_threadEnding(); }
};

void* startThread(void* argument) {
    const Start start = *static_cast<Start*>(argument);
    delete static_cast<Start*>(argument);
    mdss_threadStarted();
    StackRelease release;
    return start.routine(start.argument);
}

CreateCall nextCreate() {
    static const CreateCall next = reinterpret_cast<CreateCall>(dlsym(RTLD_NEXT, "pthread_create"));
    return next;
}

}  // namespace

extern "C" {

// Named by the link options so that the linker always takes this file.
int zel_interpose_threadStart = 1;

int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*routine)(void*), void* argument) {
    const CreateCall next = nextCreate();
    if (!next) return EAGAIN;
    Start* start = new (std::nothrow) Start{routine, argument};
    if (!start) return EAGAIN;
    const int result = next(thread, attributes, startThread, start);
    if (result != 0) delete start;
    return result;
}

}  // extern "C"
