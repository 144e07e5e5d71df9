// x86_64 register access on a machine context record. Stands in for the
// thread-state accessors of macOS (x86_thread_state64 / x86_exception_state64).
// Crash-path safe: field reads, a lookup in the parked-thread slots, no heap,
// no locks, no stdio.
#pragma once

#include <cstdint>

#include "Mayday/Recording/Tools/MDMachineContext.h"

// Reads the registers a parked (suspended) thread saved; a thread that is not
// parked gets zeros.
void mdcpu_fetchState(MDMachineContext* context);

uintptr_t mdcpu_framePointer(const MDMachineContext* context);
uintptr_t mdcpu_stackPointer(const MDMachineContext* context);
uintptr_t mdcpu_instructionAddress(const MDMachineContext* context);
// Always 0: x86_64 has no link register.
uintptr_t mdcpu_linkRegister(const MDMachineContext* context);
uintptr_t mdcpu_faultAddress(const MDMachineContext* context);
// -1: the stack grows downward.
int mdcpu_stackGrowDirection(void);

// 21 registers: rax rbx rcx rdx rdi rsi rbp rsp r8..r15 rip rflags cs fs gs.
int mdcpu_registerCount(void);
const char* mdcpu_registerName(int regNumber);
uint64_t mdcpu_registerValue(const MDMachineContext* context, int regNumber);
// 3 exception registers: trapno err faultvaddr.
int mdcpu_exceptionRegisterCount(void);
const char* mdcpu_exceptionRegisterName(int regNumber);
uint64_t mdcpu_exceptionRegisterValue(const MDMachineContext* context, int regNumber);

// Converts a signal handler's ucontext_t into the record's register layout.
void mdcpu_registersFromUserContext(const void* userContext, MDExceptionState* exceptionState,
                                    MDThreadState* threadState);
