// The machine context record of one thread, the thread snapshot of a crash
// and the suspension of every other thread. Stands in for the Mach
// thread_get_state / task_threads / thread_suspend interfaces of macOS.
//
// Crash-path safe: no heap, no locks, no stdio; raw system calls (gettid,
// tgkill, futex, getdents64). Suspension works by signal: every thread but the
// caller and the reserved ones gets MDMC_SUSPEND_SIGNAL (SIGRTMIN + 7), whose
// handler saves the interrupted registers in a fixed per-thread slot,
// acknowledges through a futex (the last one wakes the suspender) and parks
// on another futex until resumed. While suspended, the threads listed for
// the signals are the crash context's thread list.
// A thread that has the signal blocked does not park; after 200 ms the
// suspender logs it and goes on. Install the handler with
// mdmc_installSuspendHandler() when the monitors install (the first
// suspension also installs it, but installing inside a crash is not
// async-signal-safe).
#pragma once

#include <cstdint>

#include "Mayday/Recording/Tools/MDThread.h"

// A report lists at most this many threads; a busy program with a hundred
// threads of its own still has every one of them in the report.
#define MDMC_MAX_THREADS 256
#define MDMC_MAX_RESERVED_THREADS 10
// Offset from SIGRTMIN of the signal that parks threads.
#define MDMC_SUSPEND_SIGNAL_OFFSET 7

// The layout is here only so the CPU accessors (MDCPU.cpp) and the stack
// reservation can see it; everyone else uses the mdmc_ and mdcpu_ functions.
struct MDExceptionState {
    uint16_t trapno;
    uint16_t cpu;
    uint32_t err;
    uint64_t faultvaddr;
};

struct MDThreadState {
    uint64_t rax, rbx, rcx, rdx, rdi, rsi, rbp, rsp;
    uint64_t r8, r9, r10, r11, r12, r13, r14, r15;
    uint64_t rip, rflags, cs, fs, gs;
};

struct MDMachineState {
    MDExceptionState exceptionState;
    MDThreadState threadState;
    // The FXSAVE area of a signal context; copied, never read.
    alignas(16) unsigned char floatState[512];
};

typedef struct MDMachineContext {
    MDThread thread;
    MDThread threadList[MDMC_MAX_THREADS];
    int threadCount;
    bool isCrashedContext;
    bool isCurrentThread;
    bool isSignalContext;
    bool isCapturedContext;  // registers the thread recorded of itself
    MDMachineState machineState;
} MDMachineContext;

#define MDMC_CONTEXT_SIZE ((int)((sizeof(MDMachineContext) + 15) / 16 * 16))

// Declares a 16-byte aligned record on the stack and MDMachineContext* NAME.
#define MDMC_NEW_CONTEXT(NAME)                                        \
    alignas(16) MDMachineContext NAME##_mdmc_storage;                 \
    MDMachineContext* NAME = &NAME##_mdmc_storage

int mdmc_contextSize(void);

// Clears the record and describes `thread`; another thread's registers come
// from its parked state (zeros when it is not parked). A crashed context also
// takes the thread list. Always true.
bool mdmc_fillContextForThread(MDThread thread, MDMachineContext* destination, bool isCrashedContext);
// Takes this process's thread list into the record (a crashed context gets
// it when filled; a report about a thread that did not crash, such as a hung
// main thread, needs it too).
void mdmc_fillThreadList(MDMachineContext* context);

// Describes the calling thread as its caller stands: the instruction the
// call returns to, the caller's stack and frame pointers and the registers a
// call preserves. For the thread that writes a report about another, so its
// own entry has registers and a backtrace too. Not a crashed context.
bool mdmc_fillContextForCurrentThread(MDMachineContext* destination);

// A reserved thread about to block (waiting for an exception message)
// records where it waits, so a report written meanwhile can show it; the
// record goes with mdmc_clearWaitingState. Another thread's record is filled
// from it when the thread is not parked. At most MDMC_MAX_RESERVED_THREADS
// threads at once; further ones are not recorded.
void mdmc_publishWaitingState(void);
void mdmc_clearWaitingState(void);
// The waiting record of `thread`; false when it has none.
bool mdmc_copyWaitingState(MDThread thread, MDThreadState* threadState);

// Fills the record of the crashed current thread from a signal handler's
// ucontext_t and takes the thread list. Always true.
bool mdmc_fillContextForSignal(void* signalUserContext, MDMachineContext* destination);

MDThread mdmc_contextThread(const MDMachineContext* context);
int mdmc_contextThreadCount(const MDMachineContext* context);
MDThread mdmc_contextThreadAt(const MDMachineContext* context, int index);
int mdmc_indexOfThread(const MDMachineContext* context, MDThread thread);
bool mdmc_isCrashedContext(const MDMachineContext* context);
bool mdmc_canHaveCPUState(const MDMachineContext* context);
bool mdmc_hasValidExceptionRegisters(const MDMachineContext* context);

// Installs the parking handler once; later calls do nothing. Not async-signal-safe.
void mdmc_installSuspendHandler(void);
// The signal number used to park threads (valid after installing).
int mdmc_suspendSignal(void);
// Gives the parking signal back its previous action (not while suspended).
// Not async-signal-safe.
void mdmc_uninstallSuspendHandler(void);
// Parks every thread but the caller and the reserved threads. A second call
// before mdmc_resumeEnvironment does nothing.
void mdmc_suspendEnvironment(void);
// The same, leaving out `stoppedElsewhere` too: a thread that is already held
// (a faulting thread waiting for its exception's reply), which could never answer.
void mdmc_suspendEnvironmentExcept(MDThread stoppedElsewhere);
// True between a suspension and its resumption.
bool mdmc_isEnvironmentSuspended(void);
// Lets the parked threads go (one wakes the next) without waiting for them:
// the next suspension first waits (at most 200 ms) until the previous
// round's threads have left the handler.
void mdmc_resumeEnvironment(void);
void mdmc_addReservedThread(MDThread thread);
// Takes a thread off the reserved list (not for the crash path).
void mdmc_removeReservedThread(MDThread thread);

// The registers a parked thread saved when it was stopped; false (and
// nothing written) when the thread is not parked.
bool mdmc_copyParkedState(MDThread thread, MDExceptionState* exceptionState, MDThreadState* threadState);
