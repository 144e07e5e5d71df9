// Registers a thread records of itself: the writing thread's own entry in a
// report, and where a reserved thread waits while it cannot be parked.
//
// Crash-path safe: frame-pointer reads of the caller's own stack and
// atomics on a fixed table; no heap, no locks, no stdio. Only the
// instruction, stack and frame pointers are known this way; the other
// registers stay 0.
#include <cstring>

#include "Mayday/Recording/Tools/MDMachineContext.h"

namespace {

struct WaitingSlot {
    MDThread thread;  // 0: free
    MDThreadState threadState;
};

WaitingSlot g_waiting[MDMC_MAX_RESERVED_THREADS];

// The caller of the function whose frame is `frame` (frame pointers are kept
// in this program): its frame pointer, the return address into it, and its
// stack pointer at the call.
void describeCaller(const uintptr_t* frame, MDThreadState* state) {
    memset(state, 0, sizeof(*state));
    state->rbp = frame[0];
    state->rip = frame[1];
    state->rsp = reinterpret_cast<uintptr_t>(frame + 2);
}

}  // namespace

__attribute__((noinline)) bool mdmc_fillContextForCurrentThread(MDMachineContext* destination) {
    memset(destination, 0, sizeof(*destination));
    destination->thread = mdthread_self();
    destination->isCurrentThread = true;
    destination->isCapturedContext = true;
    describeCaller(static_cast<const uintptr_t*>(__builtin_frame_address(0)), &destination->machineState.threadState);
    return true;
}

__attribute__((noinline)) void mdmc_publishWaitingState(void) {
    const MDThread self = mdthread_self();
    for (WaitingSlot& slot : g_waiting) {
        MDThread expected = 0;
        if (__atomic_load_n(&slot.thread, __ATOMIC_ACQUIRE) == self) {
            // A second publish without a clear: replace the record.
        } else if (!__atomic_compare_exchange_n(&slot.thread, &expected, self, false, __ATOMIC_ACQ_REL,
                                                __ATOMIC_ACQUIRE)) {
            continue;
        }
        MDThreadState state;
        describeCaller(static_cast<const uintptr_t*>(__builtin_frame_address(0)), &state);
        slot.threadState = state;
        __atomic_thread_fence(__ATOMIC_RELEASE);
        return;
    }
}

void mdmc_clearWaitingState(void) {
    const MDThread self = mdthread_self();
    for (WaitingSlot& slot : g_waiting)
        if (__atomic_load_n(&slot.thread, __ATOMIC_ACQUIRE) == self) __atomic_store_n(&slot.thread, 0, __ATOMIC_RELEASE);
}

bool mdmc_copyWaitingState(MDThread thread, MDThreadState* threadState) {
    for (const WaitingSlot& slot : g_waiting) {
        if (__atomic_load_n(&slot.thread, __ATOMIC_ACQUIRE) != thread) continue;
        *threadState = slot.threadState;
        return true;
    }
    return false;
}
