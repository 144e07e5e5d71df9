// Exception ports, exception messages and handler threads over signals and
// futexes (see the header). Crash-path code: no heap, no locks, no stdio.
#include "platform/mach/ExceptionPorts.h"

#include "platform/mach/ExceptionPortsInternal.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

enum SlotState { SlotEmpty = 0, SlotPosting = 1, SlotPosted = 2, SlotReceived = 3, SlotReplied = 4 };

struct Port {
    int allocated;  // 0 free, 1 in use
    int hasSend;
    pid_t owner;    // the process that allocated it: a forked child has no receivers
    int state;      // futex word: SlotState
    uint32_t sequence;
    machexc_exception_raise_request_t request;
    int32_t replyCode;
    MDThread faultThread;
    MDThread receiver;  // the thread that took the request
    const ucontext_t* faultState;
    siginfo_t faultInfo;
};

struct ExceptionEntry {
    machexc_port_t port;
    machexc_exception_behavior_t behavior;
    machexc_thread_state_flavor_t flavor;
};

struct ThreadRecord {
    int used;
    pthread_t handle;
    MDThread tid;      // futex word while starting
    int suspendCount;  // futex word: the gate
    int terminate;
    int acknowledged;  // futex word: the creator has read the thread id
    void* (*start)(void*);
    void* argument;
};

// Reply ports are distinct names derived from the exception port.
constexpr machexc_port_t kReplyPortBase = 0x100;

Port g_ports[MACHEXC_MAX_PORTS];
ExceptionEntry g_exceptionPorts[MACHEXC_EXC_TYPES_COUNT];
ThreadRecord g_threads[MACHEXC_MAX_THREADS];

template <typename T> T load(const T* p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }
template <typename T> void store(T* p, T v) { __atomic_store_n(p, v, __ATOMIC_RELEASE); }
bool cas(int* p, int expected, int desired) {
    return __atomic_compare_exchange_n(p, &expected, desired, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
}

void futexWait(int* word, int value) {
    syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, value, nullptr, nullptr, 0);
}
void futexWaitFor(int* word, int value, int64_t nanoseconds) {
    struct timespec timeout = {(time_t)(nanoseconds / 1000000000), (long)(nanoseconds % 1000000000)};
    syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, value, &timeout, nullptr, 0);
}
int64_t nowNanoseconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}
// A blocked handler thread accepts pthread_cancel here: asynchronous
// cancellation is on for the futex wait only (a raw futex call is no
// cancellation point), and nothing is held while waiting.
void futexWaitCancellable(int* word, int value) {
    int oldType = 0;
    pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, &oldType);
    futexWait(word, value);
    pthread_setcanceltype(oldType, nullptr);
}
void futexWakeAll(int* word) { syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0); }

MDThread selfThread() { return (MDThread)syscall(SYS_gettid); }

Port* portNamed(machexc_port_t name) {
    if (name < 1 || name > MACHEXC_MAX_PORTS) return nullptr;
    Port* port = &g_ports[name - 1];
    return load(&port->allocated) ? port : nullptr;
}

// The port a fault of `signum` goes to in this process, if any.
Port* portForSignal(int signum, machexc_port_t* name) {
    const int type = machexc_exceptionTypeForSignal(signum);
    *name = type > 0 ? load(&g_exceptionPorts[type].port) : MACHEXC_PORT_NULL;
    Port* port = portNamed(*name);
    // After fork the table is inherited but nobody receives in the child.
    if (port && port->owner != getpid()) return nullptr;
    return port;
}

ThreadRecord* threadRecord(MDThread tid) {
    if (tid == 0) return nullptr;
    for (ThreadRecord& record : g_threads)
        if (load(&record.used) && load(&record.tid) == tid) return &record;
    return nullptr;
}

void wakeAllWaiters(ThreadRecord* record) {
    futexWakeAll(&record->suspendCount);
    for (Port& port : g_ports) futexWakeAll(&port.state);
}

// Where a layer thread honours suspension and termination.
void gateCheck(ThreadRecord* record) {
    if (!record) return;
    for (;;) {
        if (load(&record->terminate)) pthread_exit(nullptr);
        const int count = load(&record->suspendCount);
        if (count <= 0) return;
        futexWaitCancellable(&record->suspendCount, count);
    }
}

void describeFault(int signum, const siginfo_t* info, int32_t* type, int64_t* code, int64_t* subcode) {
    *type = machexc_exceptionTypeForSignal(signum);
    *code = 0;
    *subcode = 0;
    switch (signum) {
        case SIGSEGV:
            *code = info->si_code == SEGV_ACCERR ? MACHEXC_KERN_PROTECTION_FAILURE : MACHEXC_KERN_INVALID_ADDRESS;
            *subcode = (int64_t)(uintptr_t)info->si_addr;
            break;
        case SIGBUS:
            *code = MACHEXC_KERN_PROTECTION_FAILURE;
            *subcode = (int64_t)(uintptr_t)info->si_addr;
            break;
        case SIGSYS:
            *code = MACHEXC_EXC_UNIX_BAD_SYSCALL;
            break;
        default:
            *code = info->si_code;
            *subcode = (int64_t)(uintptr_t)info->si_addr;
            break;
    }
}

// How long a faulting thread waits for a handler thread: to take the request
// (it is withdrawn after that, as if no port were set) and to answer it.
// A crash must never hang the process on a receiver that is gone or stuck.
constexpr int64_t kPickupNanoseconds = 2000 * 1000000LL;
constexpr int64_t kReplyNanoseconds = 15000 * 1000000LL;

// Waits while the slot holds `state`, until `deadline`; false when it passed.
bool waitWhile(Port* port, int state, int64_t deadline) {
    for (;;) {
        const int current = load(&port->state);
        if (current != state || !load(&port->allocated)) return true;
        const int64_t left = deadline - nowNanoseconds();
        if (left <= 0) return false;
        futexWaitFor(&port->state, current, left);
    }
}

// Posts the exception on `port` and parks until the reply; answers the reply's code.
int32_t raiseException(Port* port, machexc_port_t portName, int signum, siginfo_t* info, void* userContext) {
    const int64_t slotDeadline = nowNanoseconds() + kPickupNanoseconds + kReplyNanoseconds;
    for (;;) {
        const int state = load(&port->state);
        if (!load(&port->allocated)) return MACHEXC_KERN_FAILURE;
        if (state == SlotEmpty && cas(&port->state, SlotEmpty, SlotPosting)) break;
        // Another thread's exception is in flight: wait for its slot, bounded.
        if (!waitWhile(port, state, slotDeadline)) return MACHEXC_KERN_FAILURE;
    }
    const MDThread self = selfThread();
    machexc_exception_raise_request_t* request = &port->request;
    memset(request, 0, sizeof(*request));
    port->sequence++;
    request->Head.msgh_bits = 0x80001112;  // complex, reply port send-once, local send
    request->Head.msgh_size = sizeof(*request);
    request->Head.msgh_remote_port = kReplyPortBase + portName;
    request->Head.msgh_local_port = portName;
    request->Head.msgh_voucher_port = port->sequence;
    request->Head.msgh_id = MACHEXC_EXCEPTION_RAISE_ID;
    request->msgh_descriptor_count = 2;
    request->thread.name = self;
    request->task.name = (uint64_t)getpid();
    request->NDR.int_rep = 1;  // little endian
    describeFault(signum, info, &request->exception, &request->code[0], &request->code[1]);
    request->codeCnt = 2;
    port->faultThread = self;
    port->receiver = 0;
    port->faultState = static_cast<const ucontext_t*>(userContext);
    memcpy(&port->faultInfo, info, sizeof(port->faultInfo));
    store(&port->state, (int)SlotPosted);
    futexWakeAll(&port->state);

    int32_t reply = MACHEXC_KERN_FAILURE;
    if (!waitWhile(port, SlotPosted, nowNanoseconds() + kPickupNanoseconds) &&
        cas(&port->state, SlotPosted, SlotPosting)) {
        // Nobody took it: withdrawn.
    } else {
        const int64_t deadline = nowNanoseconds() + kReplyNanoseconds;
        for (;;) {
            const int state = load(&port->state);
            if (state == SlotReplied) {
                reply = port->replyCode;
                break;
            }
            if (!load(&port->allocated) || !waitWhile(port, state, deadline)) break;
        }
    }
    port->faultThread = 0;
    port->receiver = 0;
    port->faultState = nullptr;
    store(&port->state, (int)SlotEmpty);
    futexWakeAll(&port->state);
    return reply;
}

// A receiver that ends holding a request answers it with KERN_FAILURE, as the
// kernel does when a reply right dies unused.
void answerOrphanedRequests(MDThread receiver) {
    for (Port& port : g_ports) {
        if (load(&port.state) != SlotReceived || load(&port.receiver) != receiver) continue;
        port.replyCode = MACHEXC_KERN_FAILURE;
        if (cas(&port.state, SlotReceived, SlotReplied)) futexWakeAll(&port.state);
    }
}

void releaseRecord(ThreadRecord* record) {
    answerOrphanedRequests(load(&record->tid));
    store(&record->tid, (MDThread)0);
    store(&record->used, 0);
}

struct RecordRelease {
    ThreadRecord* record;
    ~RecordRelease() { releaseRecord(record); }
};

void* threadStart(void* argument) {
    ThreadRecord* record = static_cast<ThreadRecord*>(argument);
    // Released however the thread ends (return, pthread_exit, cancellation).
    RecordRelease release{record};
    store(&record->tid, selfThread());
    futexWakeAll(reinterpret_cast<int*>(&record->tid));
    // The record must outlive the creator's look at it, even if `start` returns at once.
    while (!load(&record->acknowledged)) futexWait(&record->acknowledged, 0);
    gateCheck(record);
    return record->start(record->argument);
}

int createThread(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* argument,
                 bool suspended) {
    ThreadRecord* record = nullptr;
    for (ThreadRecord& candidate : g_threads) {
        if (cas(&candidate.used, 0, 1)) {
            record = &candidate;
            break;
        }
    }
    if (!record) return EAGAIN;
    store(&record->tid, (MDThread)0);
    store(&record->suspendCount, suspended ? 1 : 0);
    store(&record->terminate, 0);
    store(&record->acknowledged, 0);
    record->start = start;
    record->argument = argument;
    const int result = pthread_create(&record->handle, attr, threadStart, record);
    if (result != 0) {
        store(&record->used, 0);
        return result;
    }
    // Wait until the thread knows its id, so callers can name it at once.
    // (The word is the low half of the id, which is all a futex compares.)
    while (load(&record->tid) == 0) futexWait(reinterpret_cast<int*>(&record->tid), 0);
    *thread = record->handle;
    store(&record->acknowledged, 1);
    futexWakeAll(&record->acknowledged);
    return 0;
}

}  // namespace

const char* machexc_error_string(machexc_return_t code) {
    switch (code) {
        case MACHEXC_KERN_SUCCESS: return "(os/kern) successful";
        case MACHEXC_KERN_INVALID_ADDRESS: return "(os/kern) invalid address";
        case MACHEXC_KERN_PROTECTION_FAILURE: return "(os/kern) protection failure";
        case MACHEXC_KERN_NO_SPACE: return "(os/kern) no space available";
        case MACHEXC_KERN_INVALID_ARGUMENT: return "(os/kern) invalid argument";
        case MACHEXC_KERN_FAILURE: return "(os/kern) failure";
        case MACHEXC_KERN_RESOURCE_SHORTAGE: return "(os/kern) resource shortage";
        case MACHEXC_KERN_INVALID_NAME: return "(os/kern) invalid name";
        case MACHEXC_KERN_INVALID_RIGHT: return "(os/kern) invalid right";
        case MACHEXC_KERN_INVALID_VALUE: return "(os/kern) invalid value";
        case MACHEXC_SEND_INVALID_DEST: return "(ipc/send) invalid destination port";
        case MACHEXC_RCV_INVALID_NAME: return "(ipc/rcv) invalid name";
        case MACHEXC_RCV_TOO_LARGE: return "(ipc/rcv) message too large";
        case MACHEXC_RCV_PORT_DIED: return "(ipc/rcv) port died";
        default: return "unknown error code";
    }
}

int machexc_exceptionTypeForSignal(int signum) {
    switch (signum) {
        case SIGSEGV:
        case SIGBUS: return MACHEXC_EXC_BAD_ACCESS;
        case SIGILL: return MACHEXC_EXC_BAD_INSTRUCTION;
        case SIGFPE: return MACHEXC_EXC_ARITHMETIC;
        case SIGTRAP: return MACHEXC_EXC_BREAKPOINT;
        case SIGSYS: return MACHEXC_EXC_SOFTWARE;
        default: return 0;
    }
}

machexc_return_t machexc_task_get_exception_ports(machexc_exception_mask_t mask, machexc_exception_mask_t* masks,
                                                  unsigned* count, machexc_port_t* ports,
                                                  machexc_exception_behavior_t* behaviors,
                                                  machexc_thread_state_flavor_t* flavors) {
    if (!count || !masks || !ports || !behaviors || !flavors || (mask & ~MACHEXC_EXC_MASK_VALID))
        return MACHEXC_KERN_INVALID_ARGUMENT;
    const unsigned capacity = *count;
    unsigned used = 0;
    for (int type = 1; type < MACHEXC_EXC_TYPES_COUNT; type++) {
        if (!(mask & MACHEXC_EXC_MASK(type))) continue;
        const ExceptionEntry entry = g_exceptionPorts[type];
        unsigned i = 0;
        while (i < used && !(ports[i] == entry.port && behaviors[i] == entry.behavior && flavors[i] == entry.flavor))
            i++;
        if (i == used) {
            if (used == capacity) break;  // as the kernel does: what fits
            masks[i] = 0;
            ports[i] = entry.port;
            behaviors[i] = entry.behavior;
            flavors[i] = entry.flavor;
            used++;
        }
        masks[i] |= MACHEXC_EXC_MASK(type);
    }
    *count = used;
    return MACHEXC_KERN_SUCCESS;
}

machexc_return_t machexc_task_set_exception_ports(machexc_exception_mask_t mask, machexc_port_t port,
                                                  machexc_exception_behavior_t behavior,
                                                  machexc_thread_state_flavor_t flavor) {
    if (mask & ~MACHEXC_EXC_MASK_VALID) return MACHEXC_KERN_INVALID_ARGUMENT;
    if (port != MACHEXC_PORT_NULL) {
        Port* p = portNamed(port);
        if (!p) return MACHEXC_KERN_INVALID_NAME;
        if (!load(&p->hasSend)) return MACHEXC_KERN_INVALID_RIGHT;
    }
    for (int type = 1; type < MACHEXC_EXC_TYPES_COUNT; type++) {
        if (!(mask & MACHEXC_EXC_MASK(type))) continue;
        g_exceptionPorts[type].behavior = behavior;
        g_exceptionPorts[type].flavor = flavor;
        store(&g_exceptionPorts[type].port, port);
    }
    machexc_internal_portsChanged(mask);
    return MACHEXC_KERN_SUCCESS;
}

machexc_return_t machexc_port_allocate(int right, machexc_port_t* name) {
    if (right != MACHEXC_PORT_RIGHT_RECEIVE || !name) return MACHEXC_KERN_INVALID_VALUE;
    for (int i = 0; i < MACHEXC_MAX_PORTS; i++) {
        Port* port = &g_ports[i];
        if (!cas(&port->allocated, 0, 1)) continue;
        store(&port->hasSend, 0);
        port->owner = getpid();
        store(&port->state, (int)SlotEmpty);
        port->faultThread = 0;
        port->faultState = nullptr;
        *name = (machexc_port_t)(i + 1);
        return MACHEXC_KERN_SUCCESS;
    }
    return MACHEXC_KERN_NO_SPACE;
}

machexc_return_t machexc_port_insert_right(machexc_port_t name, machexc_port_t poly, int msgType) {
    Port* port = portNamed(name);
    if (!port) return MACHEXC_KERN_INVALID_NAME;
    if (poly != name || msgType != MACHEXC_MSG_TYPE_MAKE_SEND) return MACHEXC_KERN_INVALID_VALUE;
    store(&port->hasSend, 1);
    return MACHEXC_KERN_SUCCESS;
}

machexc_return_t machexc_port_destroy(machexc_port_t name) {
    Port* port = portNamed(name);
    if (!port) return MACHEXC_KERN_INVALID_NAME;
    for (int type = 1; type < MACHEXC_EXC_TYPES_COUNT; type++)
        if (load(&g_exceptionPorts[type].port) == name)
            machexc_task_set_exception_ports(MACHEXC_EXC_MASK(type), MACHEXC_PORT_NULL, 0, 0);
    store(&port->hasSend, 0);
    store(&port->allocated, 0);
    futexWakeAll(&port->state);
    return MACHEXC_KERN_SUCCESS;
}

machexc_return_t machexc_msg_receive(machexc_port_t name, void* buffer, size_t bufferSize) {
    if (!buffer) return MACHEXC_KERN_INVALID_ARGUMENT;
    if (bufferSize < sizeof(machexc_exception_raise_request_t)) return MACHEXC_RCV_TOO_LARGE;
    if (name < 1 || name > MACHEXC_MAX_PORTS) return MACHEXC_RCV_INVALID_NAME;
    Port* port = &g_ports[name - 1];
    if (!load(&port->allocated)) return MACHEXC_RCV_INVALID_NAME;
    ThreadRecord* self = threadRecord(selfThread());
    for (;;) {
        gateCheck(self);
        if (!load(&port->allocated)) return MACHEXC_RCV_PORT_DIED;
        const int state = load(&port->state);
        if (state == SlotPosted && cas(&port->state, SlotPosted, SlotReceived)) {
            store(&port->receiver, selfThread());
            memcpy(buffer, &port->request, sizeof(port->request));
            return MACHEXC_KERN_SUCCESS;
        }
        futexWaitCancellable(&port->state, state);
    }
}

machexc_return_t machexc_msg_send(const void* message, size_t size) {
    if (!message || size < sizeof(machexc_exception_raise_reply_t)) return MACHEXC_KERN_INVALID_ARGUMENT;
    machexc_exception_raise_reply_t reply;
    memcpy(&reply, message, sizeof(reply));
    const machexc_port_t target = reply.Head.msgh_remote_port;
    if (target <= kReplyPortBase) return MACHEXC_SEND_INVALID_DEST;
    Port* port = portNamed(target - kReplyPortBase);
    if (!port || load(&port->state) != SlotReceived || reply.Head.msgh_voucher_port != port->sequence)
        return MACHEXC_SEND_INVALID_DEST;
    port->replyCode = reply.RetCode;
    store(&port->state, (int)SlotReplied);
    futexWakeAll(&port->state);
    return MACHEXC_KERN_SUCCESS;
}

machexc_return_t machexc_thread_get_state(MDThread thread, ucontext_t* state) {
    if (!state) return MACHEXC_KERN_INVALID_ARGUMENT;
    for (Port& port : g_ports) {
        const int slot = load(&port.state);
        if ((slot == SlotPosted || slot == SlotReceived) && port.faultThread == thread && port.faultState) {
            memcpy(state, port.faultState, sizeof(*state));
            return MACHEXC_KERN_SUCCESS;
        }
    }
    return MACHEXC_KERN_INVALID_ARGUMENT;
}

machexc_return_t machexc_thread_get_siginfo(MDThread thread, siginfo_t* info) {
    if (!info) return MACHEXC_KERN_INVALID_ARGUMENT;
    for (Port& port : g_ports) {
        const int slot = load(&port.state);
        if ((slot == SlotPosted || slot == SlotReceived) && port.faultThread == thread && port.faultState) {
            memcpy(info, &port.faultInfo, sizeof(*info));
            return MACHEXC_KERN_SUCCESS;
        }
    }
    return MACHEXC_KERN_INVALID_ARGUMENT;
}

int machexc_pthread_create_suspended_np(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                                        void* argument) {
    return createThread(thread, attr, start, argument, true);
}

int machexc_pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* argument) {
    return createThread(thread, attr, start, argument, false);
}

MDThread machexc_pthread_mach_thread_np(pthread_t thread) {
    for (ThreadRecord& record : g_threads)
        if (load(&record.used) && pthread_equal(record.handle, thread)) return load(&record.tid);
    return 0;
}

machexc_return_t machexc_thread_suspend(MDThread thread) {
    ThreadRecord* record = threadRecord(thread);
    if (!record) return MACHEXC_KERN_INVALID_ARGUMENT;
    __atomic_add_fetch(&record->suspendCount, 1, __ATOMIC_ACQ_REL);
    if (thread == selfThread()) gateCheck(record);
    return MACHEXC_KERN_SUCCESS;
}

machexc_return_t machexc_thread_resume(MDThread thread) {
    ThreadRecord* record = threadRecord(thread);
    if (!record) return MACHEXC_KERN_INVALID_ARGUMENT;
    if (load(&record->suspendCount) <= 0) return MACHEXC_KERN_FAILURE;
    __atomic_sub_fetch(&record->suspendCount, 1, __ATOMIC_ACQ_REL);
    futexWakeAll(&record->suspendCount);
    return MACHEXC_KERN_SUCCESS;
}

machexc_return_t machexc_thread_terminate(MDThread thread) {
    ThreadRecord* record = threadRecord(thread);
    if (!record) return MACHEXC_KERN_INVALID_ARGUMENT;
    store(&record->terminate, 1);
    if (thread == selfThread()) pthread_exit(nullptr);
    wakeAllWaiters(record);
    return MACHEXC_KERN_SUCCESS;
}

bool machexc_internal_portSetForSignal(int signum) {
    machexc_port_t name;
    return portForSignal(signum, &name) != nullptr;
}

bool machexc_internal_raise(int signum, siginfo_t* info, void* userContext) {
    machexc_port_t name;
    Port* port = portForSignal(signum, &name);
    return port && raiseException(port, name, signum, info, userContext) == MACHEXC_KERN_SUCCESS;
}
