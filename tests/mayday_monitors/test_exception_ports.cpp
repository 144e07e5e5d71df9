// The exception-port layer: port table, messages, handler threads, and the
// fault path, each crash in a forked child that reports through a pipe.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/mach/ExceptionPorts.h"
#include "tests/support/CrashChild.h"
#include "tests/support/DeliberateFault.h"

namespace {

using zeltest::ChildEnd;
using zeltest::put;
using zeltest::putHex;
using zeltest::runInChild;
using zeltest::g_reportFd;

machexc_port_t makePort() {
    machexc_port_t port = MACHEXC_PORT_NULL;
    if (machexc_port_allocate(MACHEXC_PORT_RIGHT_RECEIVE, &port) != MACHEXC_KERN_SUCCESS) return MACHEXC_PORT_NULL;
    if (machexc_port_insert_right(port, port, MACHEXC_MSG_TYPE_MAKE_SEND) != MACHEXC_KERN_SUCCESS)
        return MACHEXC_PORT_NULL;
    return port;
}

// The receiving side of the tests: reports one request and answers it.
struct Receiver {
    machexc_port_t port;
    int32_t answer;
    void* pageToFix;  // made writable before a KERN_SUCCESS answer
};

void* receiveOnce(void* argument) {
    const Receiver* receiver = static_cast<const Receiver*>(argument);
    machexc_exception_raise_request_t request;
    if (machexc_msg_receive(receiver->port, &request, sizeof(request)) != MACHEXC_KERN_SUCCESS) {
        put("receive failed\n");
        return nullptr;
    }
    ucontext_t state;
    const bool hasState = machexc_thread_get_state((MDThread)request.thread.name, &state) == MACHEXC_KERN_SUCCESS;
    put("msg id=");
    putHex((uint64_t)request.Head.msgh_id);
    put(" type=");
    putHex((uint64_t)request.exception);
    put(" count=");
    putHex(request.codeCnt);
    put(" code=");
    putHex((uint64_t)request.code[0]);
    put(" sub=");
    putHex((uint64_t)request.code[1]);
    put(request.thread.name == (uint64_t)getpid() ? " thread=main" : " thread=other");
    put(" state=");
    put(hasState ? "yes" : "no");
    if (hasState) {
        put(" cr2=");
        putHex((uint64_t)state.uc_mcontext.gregs[REG_CR2]);
    }
    put("\n");
    if (receiver->pageToFix) mprotect(receiver->pageToFix, 4096, PROT_READ | PROT_WRITE);
    machexc_exception_raise_reply_t reply;
    memset(&reply, 0, sizeof(reply));
    reply.Head = request.Head;
    reply.NDR = request.NDR;
    reply.RetCode = receiver->answer;
    if (machexc_msg_send(&reply, sizeof(reply)) != MACHEXC_KERN_SUCCESS) put("send failed\n");
    return nullptr;
}

void startReceiver(Receiver* receiver) {
    pthread_t thread;
    machexc_pthread_create(&thread, nullptr, receiveOnce, receiver);
    pthread_detach(thread);
}

void reportingAction(int signum, siginfo_t* info, void*) {
    put("action sig=");
    putHex((uint64_t)signum);
    put(info->si_code > 0 ? " from=kernel" : " from=process");
    put(" addr=");
    putHex((uint64_t)(uintptr_t)info->si_addr);
    put("\n");
    _exit(42);
}

void recordReportingAction(int signum) {
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_sigaction = reportingAction;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    machexc_sigaction(signum, &action, nullptr);
}

// The address comes through a volatile so the compiler cannot see the fault.
volatile uintptr_t g_badAddress = 0x10;
// A port for bad-access exceptions whose receiver answers KERN_FAILURE, and a
// reporting action recorded for SIGSEGV: the set-up of the fault tests.
void armBadAccessPort() {
    static Receiver receiver{makePort(), MACHEXC_KERN_FAILURE, nullptr};
    machexc_task_set_exception_ports(MACHEXC_EXC_MASK_BAD_ACCESS, receiver.port, MACHEXC_EXCEPTION_DEFAULT,
                                     MACHEXC_THREAD_STATE_NONE);
    recordReportingAction(SIGSEGV);
    startReceiver(&receiver);
}

void readNull() { (void)zeltest::readAddress(g_badAddress); }

}  // namespace

TEST(ExceptionPortsFault, PostsRequestAndRunsRecordedActionOnFailure) {
    const ChildEnd end = runInChild([] {
        armBadAccessPort();
        readNull();
        put("survived\n");
    });
    EXPECT_FALSE(end.timedOut);
    EXPECT_TRUE(end.exited);
    EXPECT_EQ(end.exitStatus, 42);
    EXPECT_NE(end.output.find("msg id=0x961 type=0x1 count=0x2 code=0x1 sub=0x10 thread=main state=yes cr2=0x10\n"),
              std::string::npos)
        << end.output;
    EXPECT_NE(end.output.find("action sig=0xb from=kernel addr=0x10\n"), std::string::npos) << end.output;
    // The request came before the action.
    EXPECT_LT(end.output.find("msg"), end.output.find("action"));
}

TEST(ExceptionPortsFault, ProtectionFailureAndHandledReplyResumesThread) {
    // A write to a read-only page: KERN_PROTECTION_FAILURE; the receiver makes
    // the page writable and answers KERN_SUCCESS, so the write is retried and works.
    const ChildEnd end = runInChild([] {
        void* page = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        static Receiver receiver{makePort(), MACHEXC_KERN_SUCCESS, nullptr};
        receiver.pageToFix = page;
        machexc_task_set_exception_ports(MACHEXC_EXC_MASK_BAD_ACCESS, receiver.port, MACHEXC_EXCEPTION_DEFAULT,
                                         MACHEXC_THREAD_STATE_NONE);
        recordReportingAction(SIGSEGV);
        startReceiver(&receiver);
        zeltest::writeAddress((uintptr_t)page, 7);
        put(*(volatile int*)page == 7 ? "resumed\n" : "wrong value\n");
    });
    EXPECT_TRUE(end.exited);
    EXPECT_EQ(end.exitStatus, 0) << end.output;
    EXPECT_NE(end.output.find("type=0x1 count=0x2 code=0x2 sub="), std::string::npos) << end.output;
    EXPECT_NE(end.output.find("resumed\n"), std::string::npos) << end.output;
    EXPECT_EQ(end.output.find("action"), std::string::npos) << end.output;
}

TEST(ExceptionPortsFault, WithoutPortRunsRecordedActionDirectly) {
    const ChildEnd end = runInChild([] {
        recordReportingAction(SIGSEGV);
        // With no port the kernel holds the recorded action itself.
        struct sigaction kernelAction;
        machexc_kernel_sigaction(SIGSEGV, nullptr, &kernelAction);
        if (kernelAction.sa_sigaction != reportingAction) put("kernel does not have the recorded action\n");
        readNull();
    });
    EXPECT_TRUE(end.exited);
    EXPECT_EQ(end.exitStatus, 42);
    EXPECT_EQ(end.output, "action sig=0xb from=kernel addr=0x10\n");
}

TEST(ExceptionPortsFault, KillBypassesThePort) {
    const ChildEnd end = runInChild([] {
        armBadAccessPort();
        kill(getpid(), SIGSEGV);
        put("survived\n");
    });
    EXPECT_TRUE(end.exited);
    EXPECT_EQ(end.exitStatus, 42);
    EXPECT_EQ(end.output.find("msg"), std::string::npos) << end.output;
    EXPECT_NE(end.output.find("action sig=0xb from=process"), std::string::npos) << end.output;
}

TEST(ExceptionPortsFault, DefaultActionEndsProcessBySignal) {
    // With a port answering KERN_FAILURE and no recorded action.
    const ChildEnd withPort = runInChild([] {
        static Receiver receiver{makePort(), MACHEXC_KERN_FAILURE, nullptr};
        machexc_task_set_exception_ports(MACHEXC_EXC_MASK_BAD_ACCESS, receiver.port, MACHEXC_EXCEPTION_DEFAULT,
                                         MACHEXC_THREAD_STATE_NONE);
        startReceiver(&receiver);
        readNull();
        put("survived\n");
    });
    EXPECT_EQ(withPort.signal, SIGSEGV) << withPort.output;
    EXPECT_NE(withPort.output.find("msg id=0x961 type=0x1"), std::string::npos) << withPort.output;

    // A recorded SIG_IGN cannot ignore a fault.
    const ChildEnd ignored = runInChild([] {
        struct sigaction ignore;
        memset(&ignore, 0, sizeof(ignore));
        ignore.sa_handler = SIG_IGN;
        machexc_sigaction(SIGSEGV, &ignore, nullptr);
        readNull();
        put("survived\n");
    });
    EXPECT_EQ(ignored.signal, SIGSEGV) << ignored.output;

    // A sent signal with the default recorded action still ends the process.
    const ChildEnd sent = runInChild([] {
        static Receiver receiver{makePort(), MACHEXC_KERN_FAILURE, nullptr};
        machexc_task_set_exception_ports(MACHEXC_EXC_MASK_BAD_ACCESS, receiver.port, MACHEXC_EXCEPTION_DEFAULT,
                                         MACHEXC_THREAD_STATE_NONE);
        raise(SIGBUS);
        put("survived\n");
    });
    EXPECT_EQ(sent.signal, SIGBUS) << sent.output;
}

void* receiveAndEnd(void* argument) {
    machexc_exception_raise_request_t request;
    if (machexc_msg_receive(*static_cast<machexc_port_t*>(argument), &request, sizeof(request)) ==
        MACHEXC_KERN_SUCCESS)
        put("taken, no reply\n");
    return nullptr;  // ends holding the request
}

TEST(ExceptionPortsFault, NoWaitForAReceiverIsUnbounded) {
    // Nobody receives: the request is withdrawn and the recorded action runs.
    const ChildEnd unread = runInChild([] {
        const machexc_port_t port = makePort();
        machexc_task_set_exception_ports(MACHEXC_EXC_MASK_BAD_ACCESS, port, MACHEXC_EXCEPTION_DEFAULT,
                                         MACHEXC_THREAD_STATE_NONE);
        recordReportingAction(SIGSEGV);
        readNull();
    });
    EXPECT_FALSE(unread.timedOut);
    EXPECT_EQ(unread.exitStatus, 42) << unread.output;

    // The receiver ends without replying: its request is answered KERN_FAILURE.
    const ChildEnd orphaned = runInChild([] {
        static machexc_port_t port = makePort();
        machexc_task_set_exception_ports(MACHEXC_EXC_MASK_BAD_ACCESS, port, MACHEXC_EXCEPTION_DEFAULT,
                                         MACHEXC_THREAD_STATE_NONE);
        recordReportingAction(SIGSEGV);
        pthread_t thread;
        machexc_pthread_create(&thread, nullptr, receiveAndEnd, &port);
        pthread_detach(thread);
        readNull();
    });
    EXPECT_FALSE(orphaned.timedOut);
    EXPECT_EQ(orphaned.exitStatus, 42) << orphaned.output;
    EXPECT_EQ(orphaned.output, "taken, no reply\naction sig=0xb from=kernel addr=0x10\n");

    // A forked child has no receivers for its parent's ports.
    const ChildEnd forked = runInChild([] {
        armBadAccessPort();
        usleep(10000);
        const pid_t child = fork();
        if (child == 0) readNull();
        int status = 0;
        waitpid(child, &status, 0);
        put(WIFEXITED(status) && WEXITSTATUS(status) == 42 ? "child ran its action\n" : "child hung or died\n");
    });
    EXPECT_NE(forked.output.find("child ran its action\n"), std::string::npos) << forked.output;
    EXPECT_EQ(forked.output.find("msg"), std::string::npos) << forked.output;
}

struct FaultCase {
    const char* name;
    void (*fault)();
    int exceptionType;
    int signal;
};

using zeltest::breakpoint;
using zeltest::divideByZero;
using zeltest::illegalInstruction;

class ExceptionPortsFaultTypes : public ::testing::TestWithParam<FaultCase> {};

TEST_P(ExceptionPortsFaultTypes, RaiseTheirExceptionTypeAndDieByTheirSignal) {
    static FaultCase current;
    current = GetParam();
    const ChildEnd end = runInChild([] {
        static Receiver receiver{makePort(), MACHEXC_KERN_FAILURE, nullptr};
        machexc_task_set_exception_ports(MACHEXC_EXC_MASK_VALID, receiver.port, MACHEXC_EXCEPTION_DEFAULT,
                                         MACHEXC_THREAD_STATE_NONE);
        startReceiver(&receiver);
        current.fault();
        put("survived\n");
    });
    EXPECT_EQ(end.signal, current.signal) << end.output;
    char expected[64];
    snprintf(expected, sizeof(expected), "type=0x%x count=0x2", current.exceptionType);
    EXPECT_NE(end.output.find(expected), std::string::npos) << end.output;
    EXPECT_EQ(end.output.find("survived"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Faults, ExceptionPortsFaultTypes,
                         ::testing::Values(FaultCase{"ill", illegalInstruction, 2, SIGILL},
                                           FaultCase{"trap", breakpoint, 6, SIGTRAP},
                                           FaultCase{"fpe", divideByZero, 3, SIGFPE}),
                         [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

TEST(ExceptionPortsSignalActions, RecordedActionsAndKernelActionGivenBack) {
    const ChildEnd end = runInChild([] {
        struct sigaction first;
        memset(&first, 0, sizeof(first));
        first.sa_sigaction = reportingAction;
        first.sa_flags = SA_SIGINFO;
        sigemptyset(&first.sa_mask);
        machexc_kernel_sigaction(SIGBUS, &first, nullptr);  // set past the layer, before it saw the signal

        struct sigaction mine = first;
        mine.sa_handler = SIG_IGN;
        mine.sa_flags = 0;
        struct sigaction previous;
        sigaction(SIGBUS, &mine, &previous);  // the interposed call
        put(previous.sa_sigaction == reportingAction ? "previous ok\n" : "previous wrong\n");
        struct sigaction query;
        machexc_sigaction(SIGBUS, nullptr, &query);
        put(query.sa_handler == SIG_IGN ? "recorded ok\n" : "recorded wrong\n");
        machexc_kernel_sigaction(SIGBUS, nullptr, &query);
        put(query.sa_handler == SIG_IGN ? "kernel follows without a port\n" : "kernel wrong\n");

        // Other signals go straight to the kernel.
        struct sigaction usr;
        memset(&usr, 0, sizeof(usr));
        usr.sa_handler = SIG_IGN;
        sigaction(SIGUSR1, &usr, nullptr);
        machexc_kernel_sigaction(SIGUSR1, nullptr, &query);
        put(query.sa_handler == SIG_IGN ? "usr1 direct\n" : "usr1 wrong\n");

        // A port puts the layer in front; the process still sees its own action.
        const machexc_port_t port = makePort();
        machexc_task_set_exception_ports(MACHEXC_EXC_MASK_BAD_ACCESS, port, MACHEXC_EXCEPTION_DEFAULT,
                                         MACHEXC_THREAD_STATE_NONE);
        machexc_kernel_sigaction(SIGSEGV, nullptr, &query);
        put(query.sa_flags & SA_ONSTACK ? "port takes over\n" : "port did not take over\n");
        sigaction(SIGSEGV, nullptr, &query);
        put(query.sa_handler == SIG_DFL ? "process sees its own\n" : "process sees the layer\n");
        // An action set while the port is in front is the one given back.
        signal(SIGSEGV, SIG_IGN);
        machexc_task_set_exception_ports(MACHEXC_EXC_MASK_BAD_ACCESS, MACHEXC_PORT_NULL, 0, 0);
        machexc_kernel_sigaction(SIGSEGV, nullptr, &query);
        put(query.sa_handler == SIG_IGN ? "latest given back\n" : "port kept\n");
    });
    EXPECT_TRUE(end.exited);
    EXPECT_EQ(end.output,
              "previous ok\nrecorded ok\nkernel follows without a port\nusr1 direct\nport takes over\n"
              "process sees its own\nlatest given back\n");
}

TEST(ExceptionPortsTable, GetGroupsEntriesAndSetRestoresExactly) {
    const ChildEnd end = runInChild([] {
        const machexc_port_t a = makePort();
        const machexc_port_t b = makePort();
        machexc_task_set_exception_ports(MACHEXC_EXC_MASK_BAD_ACCESS | MACHEXC_EXC_MASK_ARITHMETIC, a,
                                         MACHEXC_EXCEPTION_DEFAULT, MACHEXC_THREAD_STATE_NONE);
        machexc_task_set_exception_ports(MACHEXC_EXC_MASK_BREAKPOINT, b, 3, 7);
        machexc_exception_mask_t masks[MACHEXC_EXC_TYPES_COUNT];
        machexc_port_t ports[MACHEXC_EXC_TYPES_COUNT];
        machexc_exception_behavior_t behaviors[MACHEXC_EXC_TYPES_COUNT];
        machexc_thread_state_flavor_t flavors[MACHEXC_EXC_TYPES_COUNT];
        unsigned count = MACHEXC_EXC_TYPES_COUNT;
        machexc_task_get_exception_ports(0x6E, masks, &count, ports, behaviors, flavors);
        put("count=");
        putHex(count);
        for (unsigned i = 0; i < count; i++) {
            put(" [");
            putHex(masks[i]);
            put(ports[i] == a ? " a " : ports[i] == b ? " b " : ports[i] == 0 ? " null " : " ? ");
            putHex((uint64_t)behaviors[i]);
            put(" ");
            putHex((uint64_t)flavors[i]);
            put("]");
        }
        put("\n");
        // Overwrite, then put everything back.
        const machexc_port_t c = makePort();
        machexc_task_set_exception_ports(0x6E, c, MACHEXC_EXCEPTION_DEFAULT, MACHEXC_THREAD_STATE_NONE);
        for (unsigned i = 0; i < count; i++)
            machexc_task_set_exception_ports(masks[i], ports[i], behaviors[i], flavors[i]);
        machexc_exception_mask_t masks2[MACHEXC_EXC_TYPES_COUNT];
        machexc_port_t ports2[MACHEXC_EXC_TYPES_COUNT];
        machexc_exception_behavior_t behaviors2[MACHEXC_EXC_TYPES_COUNT];
        machexc_thread_state_flavor_t flavors2[MACHEXC_EXC_TYPES_COUNT];
        unsigned count2 = MACHEXC_EXC_TYPES_COUNT;
        machexc_task_get_exception_ports(0x6E, masks2, &count2, ports2, behaviors2, flavors2);
        bool same = count2 == count;
        for (unsigned i = 0; same && i < count; i++)
            same = masks[i] == masks2[i] && ports[i] == ports2[i] && behaviors[i] == behaviors2[i] &&
                   flavors[i] == flavors2[i];
        put(same ? "restored\n" : "differs\n");
        // Capacity limits the answer.
        count2 = 1;
        machexc_task_get_exception_ports(0x6E, masks2, &count2, ports2, behaviors2, flavors2);
        put(count2 == 1 ? "capacity ok\n" : "capacity wrong\n");
    });
    EXPECT_TRUE(end.exited);
    EXPECT_EQ(end.output, "count=0x3 [0xa a 0x1 0xd] [0x24 null 0x0 0x0] [0x40 b 0x3 0x7]\nrestored\ncapacity ok\n");
}

TEST(ExceptionPortsTable, RejectsBadPortsAndNamesErrors) {
    const ChildEnd end = runInChild([] {
        machexc_port_t port = MACHEXC_PORT_NULL;
        machexc_port_allocate(MACHEXC_PORT_RIGHT_RECEIVE, &port);
        // No send right yet.
        put(machexc_task_set_exception_ports(MACHEXC_EXC_MASK_BAD_ACCESS, port, 1, 13) == MACHEXC_KERN_INVALID_RIGHT
                ? "no send ok\n"
                : "no send wrong\n");
        put(machexc_task_set_exception_ports(MACHEXC_EXC_MASK_BAD_ACCESS, 99, 1, 13) == MACHEXC_KERN_INVALID_NAME
                ? "bad name ok\n"
                : "bad name wrong\n");
        put(machexc_task_set_exception_ports(1, MACHEXC_PORT_NULL, 1, 13) == MACHEXC_KERN_INVALID_ARGUMENT
                ? "bad mask ok\n"
                : "bad mask wrong\n");
        put(machexc_port_insert_right(port, port + 1, MACHEXC_MSG_TYPE_MAKE_SEND) == MACHEXC_KERN_INVALID_VALUE
                ? "poly ok\n"
                : "poly wrong\n");
        // The table runs out.
        int allocated = 1;
        machexc_port_t more;
        while (machexc_port_allocate(MACHEXC_PORT_RIGHT_RECEIVE, &more) == MACHEXC_KERN_SUCCESS) allocated++;
        put(allocated == MACHEXC_MAX_PORTS ? "table full ok\n" : "table size wrong\n");
        // A reply nobody waits for.
        machexc_exception_raise_reply_t reply;
        memset(&reply, 0, sizeof(reply));
        reply.Head.msgh_remote_port = 0x101;
        put(machexc_msg_send(&reply, sizeof(reply)) == MACHEXC_SEND_INVALID_DEST ? "stray reply ok\n"
                                                                                  : "stray reply wrong\n");
        ucontext_t state;
        put(machexc_thread_get_state((MDThread)getpid(), &state) == MACHEXC_KERN_INVALID_ARGUMENT ? "no state ok\n"
                                                                                                   : "state wrong\n");
    });
    EXPECT_EQ(end.output,
              "no send ok\nbad name ok\nbad mask ok\npoly ok\ntable full ok\nstray reply ok\nno state ok\n");
    EXPECT_STREQ(machexc_error_string(MACHEXC_KERN_FAILURE), "(os/kern) failure");
    EXPECT_STREQ(machexc_error_string(MACHEXC_KERN_INVALID_ARGUMENT), "(os/kern) invalid argument");
    EXPECT_STREQ(machexc_error_string(MACHEXC_RCV_PORT_DIED), "(ipc/rcv) port died");
    EXPECT_STREQ(machexc_error_string(12345), "unknown error code");
    EXPECT_EQ(sizeof(machexc_exception_raise_reply_t), 36u);
    EXPECT_EQ(sizeof(machexc_msg_header_t), 24u);
}

namespace {

std::atomic<int> g_started{0};

void* countStart(void*) {
    g_started.fetch_add(1);
    return nullptr;
}

void* receiveForever(void* argument) {
    const machexc_port_t port = *static_cast<const machexc_port_t*>(argument);
    machexc_exception_raise_request_t request;
    const machexc_return_t kr = machexc_msg_receive(port, &request, sizeof(request));
    return reinterpret_cast<void*>(static_cast<intptr_t>(kr));
}

}  // namespace

TEST(ExceptionPortsThreads, SuspendedThreadRunsOnlyAfterResume) {
    g_started = 0;
    pthread_t thread;
    ASSERT_EQ(machexc_pthread_create_suspended_np(&thread, nullptr, countStart, nullptr), 0);
    const MDThread tid = machexc_pthread_mach_thread_np(thread);
    ASSERT_NE(tid, 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(g_started.load(), 0);
    EXPECT_EQ(machexc_thread_resume(tid), MACHEXC_KERN_SUCCESS);
    pthread_join(thread, nullptr);
    EXPECT_EQ(g_started.load(), 1);
    // Gone threads are unknown to the layer.
    EXPECT_EQ(machexc_thread_resume(tid), MACHEXC_KERN_INVALID_ARGUMENT);
    EXPECT_EQ(machexc_thread_terminate(0), MACHEXC_KERN_INVALID_ARGUMENT);
}

TEST(ExceptionPortsThreads, TerminateAndCancelEndBlockedReceivers) {
    machexc_port_t port = makePort();
    ASSERT_NE(port, MACHEXC_PORT_NULL);

    pthread_t terminated;
    ASSERT_EQ(machexc_pthread_create(&terminated, nullptr, receiveForever, &port), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let it block (either order works)
    EXPECT_EQ(machexc_thread_terminate(machexc_pthread_mach_thread_np(terminated)), MACHEXC_KERN_SUCCESS);
    void* result = reinterpret_cast<void*>(1);
    pthread_join(terminated, &result);
    EXPECT_EQ(result, nullptr);  // pthread_exit(nullptr), not a receive result

    pthread_t cancelled;
    ASSERT_EQ(machexc_pthread_create_suspended_np(&cancelled, nullptr, receiveForever, &port), 0);
    pthread_cancel(cancelled);  // waiting at its start gate
    pthread_join(cancelled, &result);
    EXPECT_EQ(result, PTHREAD_CANCELED);

    ASSERT_EQ(machexc_pthread_create(&cancelled, nullptr, receiveForever, &port), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    pthread_cancel(cancelled);
    pthread_join(cancelled, &result);
    EXPECT_EQ(result, PTHREAD_CANCELED);

    // Destroying the port wakes a receiver with "port died".
    pthread_t receiver;
    ASSERT_EQ(machexc_pthread_create(&receiver, nullptr, receiveForever, &port), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(machexc_port_destroy(port), MACHEXC_KERN_SUCCESS);
    pthread_join(receiver, &result);
    const machexc_return_t kr = static_cast<machexc_return_t>(reinterpret_cast<intptr_t>(result));
    EXPECT_TRUE(kr == MACHEXC_RCV_PORT_DIED || kr == MACHEXC_RCV_INVALID_NAME) << kr;
}

TEST(ExceptionPortsThreads, ThreadsThatEndAtOnceDoNotStallTheirCreator) {
    g_started = 0;
    for (int i = 0; i < 50; i++) {
        pthread_t thread;
        ASSERT_EQ(machexc_pthread_create(&thread, nullptr, countStart, nullptr), 0);
        pthread_join(thread, nullptr);
    }
    EXPECT_EQ(g_started.load(), 50);
    // Every record came back: the table is not exhausted.
    pthread_t threads[MACHEXC_MAX_THREADS];
    for (pthread_t& thread : threads)
        ASSERT_EQ(machexc_pthread_create_suspended_np(&thread, nullptr, countStart, nullptr), 0);
    pthread_t extra;
    EXPECT_EQ(machexc_pthread_create(&extra, nullptr, countStart, nullptr), EAGAIN);
    for (pthread_t& thread : threads) {
        machexc_thread_resume(machexc_pthread_mach_thread_np(thread));
        pthread_join(thread, nullptr);
    }
    EXPECT_EQ(g_started.load(), 50 + MACHEXC_MAX_THREADS);
}
