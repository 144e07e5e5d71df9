// Task exception ports, exception messages and handler threads. Stands in for
// the Mach exception ports, mach_msg exception_raise messages and the Mach
// thread calls (thread_suspend/resume/terminate, thread_get_state) of macOS.
//
// Linux delivers hardware faults as signals, so this layer plays the kernel's
// part. Every sigaction call for the fault signals SIGSEGV, SIGBUS, SIGILL,
// SIGFPE, SIGTRAP and SIGSYS goes through machexc_sigaction (the recorder's
// directly, everyone else's through the interposer linked into the
// executable), which records it as the process's "signal action". While an
// exception port is set for a signal's type the kernel's action is the layer's
// own handler (SA_SIGINFO | SA_ONSTACK | SA_NODEFER); otherwise the kernel
// holds the recorded action itself, so disabling everything leaves the latest
// recorded action in place.
//
// On a fault sent by the kernel (si_code > 0) with a port of this process set
// for its type, the faulting thread publishes its ucontext and siginfo as its
// thread state, posts an exception_raise request on the port and parks (futex)
// until the reply. Every such wait is bounded: a request nobody takes within
// 2 s is withdrawn, a reply is awaited at most 15 s, and a receiver that ends
// holding a request answers KERN_FAILURE. On KERN_FAILURE, or with no port
// set, the recorded action runs on the same thread and stack with its own
// mask, as the kernel would run it. A signal sent with kill/raise
// (si_code <= 0) goes straight to the recorded action. A forked child has no
// receivers: its ports count as unset.
//
// Crash-path safe (the fault handler, machexc_sigaction, the port calls, the
// message calls, thread suspend/resume/terminate): no heap, no locks, no stdio;
// fixed static tables, atomics and raw futex system calls. Thread creation
// (machexc_pthread_create*) calls pthread_create and is not for the crash path.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <pthread.h>
#include <ucontext.h>

#include "Mayday/Recording/Tools/MDThread.h"

typedef int machexc_return_t;
typedef uint32_t machexc_port_t;  // 0 is the null port
typedef uint32_t machexc_exception_mask_t;
typedef int machexc_exception_behavior_t;
typedef int machexc_thread_state_flavor_t;

#define MACHEXC_PORT_NULL ((machexc_port_t)0)

// Kernel return codes (the Mach values).
enum {
    MACHEXC_KERN_SUCCESS = 0,
    MACHEXC_KERN_INVALID_ADDRESS = 1,
    MACHEXC_KERN_PROTECTION_FAILURE = 2,
    MACHEXC_KERN_NO_SPACE = 3,
    MACHEXC_KERN_INVALID_ARGUMENT = 4,
    MACHEXC_KERN_FAILURE = 5,
    MACHEXC_KERN_RESOURCE_SHORTAGE = 6,
    MACHEXC_KERN_INVALID_NAME = 15,
    MACHEXC_KERN_INVALID_RIGHT = 17,
    MACHEXC_KERN_INVALID_VALUE = 18,
    MACHEXC_SEND_INVALID_DEST = 0x10000003,
    MACHEXC_RCV_INVALID_NAME = 0x10004002,
    MACHEXC_RCV_TOO_LARGE = 0x10004004,
    MACHEXC_RCV_PORT_DIED = 0x10004009,
};

// Exception types (1..13 are valid), masks and codes.
#define MACHEXC_EXC_TYPES_COUNT 14
enum {
    MACHEXC_EXC_BAD_ACCESS = 1,
    MACHEXC_EXC_BAD_INSTRUCTION = 2,
    MACHEXC_EXC_ARITHMETIC = 3,
    MACHEXC_EXC_EMULATION = 4,
    MACHEXC_EXC_SOFTWARE = 5,
    MACHEXC_EXC_BREAKPOINT = 6,
    MACHEXC_EXC_CRASH = 10,
};
#define MACHEXC_EXC_MASK(type) ((machexc_exception_mask_t)1u << (type))
#define MACHEXC_EXC_MASK_BAD_ACCESS MACHEXC_EXC_MASK(MACHEXC_EXC_BAD_ACCESS)
#define MACHEXC_EXC_MASK_BAD_INSTRUCTION MACHEXC_EXC_MASK(MACHEXC_EXC_BAD_INSTRUCTION)
#define MACHEXC_EXC_MASK_ARITHMETIC MACHEXC_EXC_MASK(MACHEXC_EXC_ARITHMETIC)
#define MACHEXC_EXC_MASK_SOFTWARE MACHEXC_EXC_MASK(MACHEXC_EXC_SOFTWARE)
#define MACHEXC_EXC_MASK_BREAKPOINT MACHEXC_EXC_MASK(MACHEXC_EXC_BREAKPOINT)
#define MACHEXC_EXC_MASK_VALID 0x3FFEu  // types 1..13
#define MACHEXC_EXC_UNIX_BAD_SYSCALL 0x10000

#define MACHEXC_EXCEPTION_DEFAULT 1
#define MACHEXC_THREAD_STATE_NONE 13

#define MACHEXC_PORT_RIGHT_RECEIVE 1
#define MACHEXC_MSG_TYPE_MAKE_SEND 20

// Ports in the table; each has one message slot (one exception in flight;
// a second faulting thread waits until the slot is free).
#define MACHEXC_MAX_PORTS 8
// Handler threads made by machexc_pthread_create_suspended_np at one time.
#define MACHEXC_MAX_THREADS 8

#define MACHEXC_EXCEPTION_RAISE_ID 2401

// The message layouts (names as on macOS; sizes differ).
typedef struct {
    uint32_t msgh_bits;
    uint32_t msgh_size;
    machexc_port_t msgh_remote_port;  // in a received request: the reply port
    machexc_port_t msgh_local_port;   // in a received request: the exception port
    uint32_t msgh_voucher_port;       // carries the message's sequence number
    int32_t msgh_id;
} machexc_msg_header_t;  // 24 bytes

typedef struct {
    uint8_t mig_vers, if_vers, reserved1, mig_encoding, int_rep, char_rep, float_rep, reserved2;
} machexc_ndr_record_t;

typedef struct {
    uint64_t name;  // for the thread: its kernel thread id (MDThread); for the task: the pid
    uint32_t disposition;
    uint32_t type;
} machexc_port_descriptor_t;

typedef struct {
    machexc_msg_header_t Head;
    uint32_t msgh_descriptor_count;
    machexc_port_descriptor_t thread;
    machexc_port_descriptor_t task;
    machexc_ndr_record_t NDR;
    int32_t exception;
    uint32_t codeCnt;
    int64_t code[2];
} machexc_exception_raise_request_t;

typedef struct {
    machexc_msg_header_t Head;
    machexc_ndr_record_t NDR;
    int32_t RetCode;
} machexc_exception_raise_reply_t;  // 36 bytes

// mach_error_string: a constant text for every code ("unknown error code" otherwise).
const char* machexc_error_string(machexc_return_t code);

// Task exception ports. `get` groups the types of `mask` that share (port,
// behaviour, flavour) into one entry each; *count is the capacity on entry and
// the number of entries on return. Entries with the null port are included,
// so setting every entry back restores the table exactly.
machexc_return_t machexc_task_get_exception_ports(machexc_exception_mask_t mask, machexc_exception_mask_t* masks,
                                                  unsigned* count, machexc_port_t* ports,
                                                  machexc_exception_behavior_t* behaviors,
                                                  machexc_thread_state_flavor_t* flavors);
// The port must be null or hold a send right.
machexc_return_t machexc_task_set_exception_ports(machexc_exception_mask_t mask, machexc_port_t port,
                                                  machexc_exception_behavior_t behavior,
                                                  machexc_thread_state_flavor_t flavor);

// A port with a receive right (`right` must be MACHEXC_PORT_RIGHT_RECEIVE).
machexc_return_t machexc_port_allocate(int right, machexc_port_t* name);
// Adds a send right (`poly` must be the name itself, `msgType` MACHEXC_MSG_TYPE_MAKE_SEND).
machexc_return_t machexc_port_insert_right(machexc_port_t name, machexc_port_t poly, int msgType);
// Frees the port; a receiver waiting on it gets MACHEXC_RCV_PORT_DIED.
// Exception ports naming it are set to null.
machexc_return_t machexc_port_destroy(machexc_port_t name);

// Blocks until an exception_raise request arrives on `port` and copies it
// (the caller's buffer must hold machexc_exception_raise_request_t).
machexc_return_t machexc_msg_receive(machexc_port_t port, void* buffer, size_t bufferSize);
// Sends a reply (machexc_exception_raise_reply_t) to the reply port named in
// its header, which wakes the faulting thread.
machexc_return_t machexc_msg_send(const void* message, size_t size);

// thread_get_state: the published ucontext of a thread whose exception is in
// flight (posted and not yet answered). Its fpregs pointer still points into
// the parked thread's signal frame, which stays valid until the reply.
machexc_return_t machexc_thread_get_state(MDThread thread, ucontext_t* state);

// Handler threads. A thread made here can start suspended (it waits on a
// futex gate before running `start`) and be suspended, resumed and
// terminated by its kernel thread id. Suspension is cooperative: the thread
// stops when it suspends itself or at its next gate check (the start gate
// and each wait in machexc_msg_receive). Terminate sets a flag and wakes the
// thread, which ends (pthread_exit) at that same check; it takes no lock and
// is safe while the environment is suspended. The gate and receive waits accept
// pthread_cancel (asynchronous cancellation around the futex wait only).
int machexc_pthread_create_suspended_np(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                                        void* argument);
// Like pthread_create, but the thread is known to the layer (it can be
// suspended, resumed and terminated).
int machexc_pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* argument);
// pthread_mach_thread_np: the kernel thread id of a thread made here, 0 if unknown.
MDThread machexc_pthread_mach_thread_np(pthread_t thread);
machexc_return_t machexc_thread_suspend(MDThread thread);
machexc_return_t machexc_thread_resume(MDThread thread);
machexc_return_t machexc_thread_terminate(MDThread thread);

// The process's sigaction: the fault signals are recorded (see above);
// every other signal goes straight to sigaction(2).
int machexc_sigaction(int signum, const struct sigaction* act, struct sigaction* oldact);
// sigaction(2) itself, past the records: what the kernel holds.
int machexc_kernel_sigaction(int signum, const struct sigaction* act, struct sigaction* oldact);
// The interposer hands over the next sigaction in the lookup order (the C
// library's, or a sanitizer's in front of it); glibc's own is the default.
void machexc_setKernelSigaction(int (*kernelSigaction)(int, const struct sigaction*, struct sigaction*));

// The siginfo of a thread whose exception is in flight (the signal and code
// the kernel delivered).
machexc_return_t machexc_thread_get_siginfo(MDThread thread, siginfo_t* info);

// True for a kernel fault that comes back by itself when the faulting
// instruction runs again (SIGSEGV, SIGBUS, SIGILL, SIGFPE with si_code > 0).
bool machexc_signalRepeatsOnReturn(int signum, const siginfo_t* info);
// For the end of a signal handler: makes `signum` reach the action in place
// once the handler returns, with the information it came with. A repeating
// fault needs nothing; anything else is blocked and queued again to this
// thread (rt_tgsigqueueinfo, or tgkill without information). Crash-path safe.
void machexc_deliverAgain(int signum, const siginfo_t* info);

// The exception type a fault signal raises (0 for other signals).
int machexc_exceptionTypeForSignal(int signum);
