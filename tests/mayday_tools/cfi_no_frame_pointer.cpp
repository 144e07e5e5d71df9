// Links of the unwinder's test call chains, built with -fomit-frame-pointer
// (tests/CMakeLists.txt): code like Debian's libc, where only call-frame
// information leads to the caller. Each link does its own kind of frame
// (none, saved registers with rbp among them, a variable-length array, a
// realigned stack, a callback through libc) and goes on through
// cfi_dispatch, which the test defines.
#include <cstdint>
#include <cstdlib>

#include "DeliberateFault.h"

extern "C" {

void cfi_dispatch(const int* plan, int index);

// Keeps a call a real call, not a jump.
#define CFI_KEEP_FRAME() __asm__ volatile("" ::: "memory")

__attribute__((noinline, noipa)) void nfp_plain(const int* plan, int index) {
    cfi_dispatch(plan, index + 1);
    CFI_KEEP_FRAME();
}

// Values live across the call fill the callee-saved registers, rbp too.
__attribute__((noinline, noipa)) void nfp_pushes(const int* plan, int index) {
    volatile uint64_t seed = (uint64_t)index;
    uint64_t a = seed * 3, b = seed * 5, c = seed * 7, d = seed * 11, e = seed * 13, f = seed * 17;
    cfi_dispatch(plan, index + 1);
    __asm__ volatile("" : "+r"(a), "+r"(b), "+r"(c), "+r"(d), "+r"(e), "+r"(f));
    seed = a + b + c + d + e + f;
}

// A frame whose size is known only at run time: rbp becomes the CFA's base.
__attribute__((noinline, noipa)) void nfp_alloca(const int* plan, int index) {
    const int length = 16 + (index & 7) * 24;
    volatile char buffer[length];
    buffer[0] = (char)index;
    cfi_dispatch(plan, index + 1);
    buffer[length - 1] = buffer[0];
}

// An over-aligned local beside a variable-length array: the stack is
// realigned through r10 and the CFA (and rbp's slot) are found by DWARF
// expressions through the saved frame.
__attribute__((noinline, noipa)) void nfp_realigned(const int* plan, int index) {
    alignas(64) volatile char buffer[64];
    const int length = 16 + (index & 7) * 24;
    volatile char more[length];
    buffer[0] = (char)index;
    more[0] = 1;
    cfi_dispatch(plan, index + 1);
    buffer[63] = (char)(buffer[0] + more[0]);
}

namespace {
const int* g_plan;
int g_index;
bool g_called;

int compareAndGoOn(const void* a, const void* b) {
    if (!g_called) {
        g_called = true;
        cfi_dispatch(g_plan, g_index + 1);
    }
    return *(const int*)a - *(const int*)b;
}
}  // namespace

// The chain goes on inside libc's qsort, from its comparison callback.
__attribute__((noinline, noipa)) void nfp_qsort(const int* plan, int index) {
    int values[4] = {4, 3, 2, 1};
    g_plan = plan;
    g_index = index;
    g_called = false;
    qsort(values, 4, sizeof values[0], compareAndGoOn);
    CFI_KEEP_FRAME();
}

__attribute__((noinline, noipa)) void nfp_bsearch(const int* plan, int index) {
    static const int values[3] = {1, 2, 3};
    const int key = 2;
    g_plan = plan;
    g_index = index;
    g_called = false;
    const void* found = bsearch(&key, values, 3, sizeof values[0], compareAndGoOn);
    __asm__ volatile("" : : "r"(found) : "memory");
}

// A leaf without a frame of its own that writes through a null pointer.
__attribute__((noinline, noipa)) void nfp_crashingLeaf(int value) {
    zeltest::writeAddress(0, value);
}

// Calls the leaf; the crash must name this function as its caller.
__attribute__((noinline, noipa)) void nfp_callsCrashingLeaf(int value) {
    nfp_crashingLeaf(value + 1);
    CFI_KEEP_FRAME();
}

}  // extern "C"
