// Alternate signal stacks for every thread while the fault monitors want them.
//
// sigaltstack is per thread, and a fault handler that runs on the faulting
// thread's own stack cannot report a stack overflow. While at least one
// holder has acquired them, every thread has a 128 KiB alternate stack with a
// guard page below it: the threads alive at acquisition get theirs through a
// private signal (SIGRTMIN + 9) whose handler takes a stack the acquirer
// mapped for it, and threads made later take one as they start (the
// pthread_create interposer calls mdss_threadStarted). A thread that already
// has an alternate stack of its own keeps it.
//
// Stacks go back when their thread ends (at once for threads started through
// the interposer, at the next acquisition, release or thread start for the
// others) and when the last holder releases them; a release while the
// environment is suspended (inside crash handling) only drops the wish.
//
// Not crash-path code, except that nothing here runs in a crash: the signal
// handler only installs or removes a stack that is already mapped.
#pragma once

// Offset from SIGRTMIN of the signal that hands stacks to running threads.
#define MDSS_SIGNAL_OFFSET 9
#define MDSS_STACK_SIZE 0x20000

// A holder wants stacks on every thread. True when the calling thread has one.
bool mdss_acquire(void);
// A holder no longer wants them; the last release takes them back.
void mdss_release(void);

// For the thread-start interposer, on the new thread before its routine.
void mdss_threadStarted(void);
// For the thread-start interposer, on the ending thread.
void mdss_threadEnding(void);

// Whether stacks are wanted now.
bool mdss_isActive(void);
// Whether the calling thread runs with one of these stacks installed.
bool mdss_currentThreadHasStack(void);
