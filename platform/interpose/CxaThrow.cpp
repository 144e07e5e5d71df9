// __cxa_throw, interposed in the executable so that every C++ throw in the
// process, the program's own and those made inside libstdc++
// (std::vector::at, std::stoi), passes here first: the C++ exception monitor
// records the thrower's stack while it wants one, then the C++ runtime's own
// __cxa_throw goes on as if nothing had happened.
// Not crash-path code: it runs in the throwing thread's ordinary context.
#include <atomic>
#include <cstdlib>
#include <dlfcn.h>

#include "Mayday/Recording/Tools/MDLogger.h"

namespace {

// The type information travels as void*, as in the declaration the compiler
// makes for itself at every throw expression (cxxabi.h's std::type_info*
// would conflict with it); the calling convention is the same.
typedef void (*ThrowCall)(void*, void*, void (*)(void*));
typedef void (*ThrowObserver)(void);

std::atomic<ThrowCall> g_nextThrow{nullptr};
std::atomic<ThrowObserver> g_observer{nullptr};

ThrowCall nextThrow() {
    ThrowCall next = g_nextThrow.load(std::memory_order_acquire);
    if (next) return next;
    // Two threads that race here find the same entry; either store is right.
    next = reinterpret_cast<ThrowCall>(dlsym(RTLD_NEXT, "__cxa_throw"));
    if (!next) {
        // Without the runtime's entry the exception can go nowhere.
        const char* error = dlerror();
        MDLOG_ERROR("dlsym (__cxa_throw): %s", error ? error : "no next definition");
        abort();
    }
    g_nextThrow.store(next, std::memory_order_release);
    return next;
}

}  // namespace

extern "C" {

// Named by the link options so that the linker always takes this file.
int zel_interpose_cxaThrow = 1;

// The observer runs on the throwing thread, called straight from here, so a
// stack it records starts two frames up (its own and this one). Null stops it.
void zel_interpose_setThrowObserver(void (*observer)(void)) { g_observer.store(observer, std::memory_order_release); }

void __cxa_throw(void* thrownException, void* type, void (*destructor)(void*)) {
    if (const ThrowObserver observer = g_observer.load(std::memory_order_acquire)) observer();
    nextThrow()(thrownException, type, destructor);
    __builtin_unreachable();
}

}  // extern "C"
