// Faults caused on purpose by the crash tests. The faulting instruction is
// written in assembly, so the compiler sees no undefined behaviour to remove
// or rewrite, and the sanitizers neither flag the access nor put a shadow
// check (which would fault elsewhere) in front of it. The stack overflow is a
// recursion whose end the compiler cannot know.
#pragma once

#include <cstdint>

namespace zeltest {

// Inlined, so the fault is at an instruction of the caller's own function.
__attribute__((always_inline)) inline int readAddress(uintptr_t address) {
    int value;
    __asm__ volatile("movl (%1), %0" : "=r"(value) : "r"(address) : "memory");
    return value;
}

__attribute__((always_inline)) inline void writeAddress(uintptr_t address, int value) {
    __asm__ volatile("movl %1, (%0)" : : "r"(address), "r"(value) : "memory");
}

// SIGILL, ILL_ILLOPN.
__attribute__((always_inline)) inline void illegalInstruction() { __asm__ volatile("ud2"); }

// SIGTRAP.
__attribute__((always_inline)) inline void breakpoint() { __asm__ volatile("int3"); }

// SIGFPE, FPE_INTDIV, at the dividing instruction.
__attribute__((always_inline)) inline void divideByZero() {
    __asm__ volatile("xorl %%ecx, %%ecx\n\tmovl $1, %%eax\n\tcltd\n\tidivl %%ecx" ::: "eax", "ecx", "edx", "cc");
}

// Never reached; read through a volatile so the recursion is not provably endless.
inline volatile int g_recursionLimit = 1 << 30;

__attribute__((noinline)) inline int recurseWithLargeFrames(int depth) {
    volatile char frame[1024];
    frame[0] = (char)depth;
    if (depth >= g_recursionLimit) return 0;
    return recurseWithLargeFrames(depth + 1) + frame[0];
}

// Recurses until the thread's stack is exhausted: SIGSEGV at its guard page.
__attribute__((noinline)) inline void overflowStack() { (void)recurseWithLargeFrames(0); }

}  // namespace zeltest
