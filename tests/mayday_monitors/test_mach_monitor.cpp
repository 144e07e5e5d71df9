// The Mach exception monitor: crashes in forked children whose event handler
// writes a one-line summary of the event to a pipe; installation and removal
// checked against the exception-port table.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "Mayday/Recording/Monitors/MaydayMonitor.h"
#include "Mayday/Recording/Monitors/MaydayMonitor_MachException.h"
#include "Mayday/Recording/Tools/MDCPU.h"
#include "Mayday/Recording/Tools/MDMachineContext.h"
#include "Mayday/Recording/Tools/MDStackCursor.h"
#include "Mayday/Recording/Tools/MDThread.h"
#include "platform/mach/ExceptionPorts.h"
#include "tests/support/CrashChild.h"
#include "tests/support/DeliberateFault.h"

namespace {

using zeltest::ChildEnd;
using zeltest::put;
using zeltest::putHex;
using zeltest::runInChild;
using zeltest::g_reportFd;

volatile uintptr_t g_badAddress = 0;
__attribute__((noinline)) void readBadAddress() { (void)zeltest::readAddress(g_badAddress); }

// One line per event, written with write(2) only.
void summarizeEvent(Mayday_MonitorContext* context) {
    put("crash=");
    putHex(context->crashType);
    put(" type=");
    putHex((uint64_t)context->mach.type);
    put(" code=");
    putHex((uint64_t)context->mach.code);
    put(" sub=");
    putHex((uint64_t)context->mach.subcode);
    put(" signum=");
    putHex((uint64_t)context->signal.signum);
    put(" fault=");
    putHex(context->faultAddress);
    put(context->registersAreValid ? " regs=yes" : " regs=no");
    put(" id=");
    putHex(context->eventID ? strlen(context->eventID) : 0);
    MDMachineContext* machine = context->offendingMachineContext;
    if (machine) {
        put(mdmc_contextThread(machine) == (MDThread)getpid() ? " thread=main" : " thread=other");
        const uintptr_t ip = mdcpu_instructionAddress(machine);
        const uintptr_t start = reinterpret_cast<uintptr_t>(&readBadAddress);
        put(ip >= start && ip < start + 64 ? " ip=inside" : " ip=outside");
    }
    MDStackCursor* cursor = context->stackCursor;
    if (cursor && cursor->advanceCursor(cursor)) {
        put(cursor->stackEntry.address == mdcpu_instructionAddress(machine) ? " top=ip" : " top=other");
    }
    put("\n");
}

typedef struct {
    machexc_exception_mask_t masks[MACHEXC_EXC_TYPES_COUNT];
    machexc_port_t ports[MACHEXC_EXC_TYPES_COUNT];
    machexc_exception_behavior_t behaviors[MACHEXC_EXC_TYPES_COUNT];
    machexc_thread_state_flavor_t flavors[MACHEXC_EXC_TYPES_COUNT];
    unsigned count;
} PortTable;

PortTable portTable() {
    PortTable table;
    memset(&table, 0, sizeof(table));
    table.count = MACHEXC_EXC_TYPES_COUNT;
    machexc_task_get_exception_ports(MACHEXC_EXC_MASK_VALID, table.masks, &table.count, table.ports,
                                     table.behaviors, table.flavors);
    return table;
}

bool sameTable(const PortTable& a, const PortTable& b) { return memcmp(&a, &b, sizeof(a)) == 0; }

struct HandlerThreads {
    int primary = 0;
    int secondary = 0;
};

HandlerThreads handlerThreads() {
    HandlerThreads found;
    mdthread_forEachThread(
        [](MDThread thread, void* context) {
            HandlerThreads* threads = static_cast<HandlerThreads*>(context);
            char name[64];
            if (mdthread_threadName(thread, name, sizeof(name))) {
                if (strcmp(name, "Mayday Exception Handler (Primary)") == 0) threads->primary++;
                if (strcmp(name, "Mayday Exception Handler (Secondary)") == 0) threads->secondary++;
            }
            return true;
        },
        &found);
    return found;
}

int threadCount() { return mdthread_forEachThread([](MDThread, void*) { return true; }, nullptr); }

}  // namespace

TEST(MachMonitorCrash, NullReadGivesMachEventAndEndsBySegv) {
    const ChildEnd end = runInChild([] {
        mdcm_setEventHandler(summarizeEvent);
        mdcm_selectMonitors(MaydayMonitorTypeMachException);
        if (!(mdcm_activeMonitorTypes() & MaydayMonitorTypeMachException)) put("not active\n");
        readBadAddress();
        put("survived\n");
    });
    EXPECT_FALSE(end.timedOut);
    EXPECT_EQ(end.signal, SIGSEGV) << end.output;
    EXPECT_EQ(end.output,
              "crash=0x1 type=0x1 code=0x1 sub=0x0 signum=0xb fault=0x0 regs=yes id=0x24 thread=main ip=inside "
              "top=ip\n");
}

TEST(MachMonitorCrash, FaultOnAnotherThreadAfterReenabling) {
    // Enabling again after disabling saves and installs afresh.
    const ChildEnd end = runInChild([] {
        mdcm_setEventHandler(summarizeEvent);
        mdcm_selectMonitors(MaydayMonitorTypeMachException);
        mdcm_selectMonitors(MaydayMonitorTypeNone);
        mdcm_selectMonitors(MaydayMonitorTypeMachException);
        g_badAddress = 0x18;
        std::thread crasher(readBadAddress);
        crasher.join();
        put("survived\n");
    });
    EXPECT_EQ(end.signal, SIGSEGV) << end.output;
    EXPECT_NE(end.output.find("crash=0x1 type=0x1 code=0x1 sub=0x18 signum=0xb fault=0x18 regs=yes id=0x24 "
                              "thread=other ip=inside"),
              std::string::npos)
        << end.output;
    EXPECT_EQ(end.output.find("survived"), std::string::npos);
}

TEST(MachMonitorCrash, WithSignalMonitorTooOnlyTheMachEventIsReported) {
    const ChildEnd fault = runInChild([] {
        mdcm_setEventHandler(summarizeEvent);
        mdcm_selectMonitors(MaydayMonitorTypeMachException | MaydayMonitorTypeSignal);
        readBadAddress();
        put("survived\n");
    });
    EXPECT_EQ(fault.signal, SIGSEGV) << fault.output;
    // One event: the Mach monitor saw it first, and dispatch removed the signal monitor.
    EXPECT_EQ(fault.output,
              "crash=0x1 type=0x1 code=0x1 sub=0x0 signum=0xb fault=0x0 regs=yes id=0x24 thread=main ip=inside "
              "top=ip\n");

    // abort() never becomes a Mach exception: the signal monitor reports it
    // and this monitor adds EXC_CRASH.
    const ChildEnd aborted = runInChild([] {
        mdcm_setEventHandler(summarizeEvent);
        mdcm_selectMonitors(MaydayMonitorTypeMachException | MaydayMonitorTypeSignal);
        abort();
    });
    EXPECT_EQ(aborted.signal, SIGABRT) << aborted.output;
    EXPECT_EQ(aborted.output.rfind("crash=0x2 type=0xa ", 0), 0u) << aborted.output;
    EXPECT_NE(aborted.output.find("signum=0x6"), std::string::npos) << aborted.output;
}

TEST(MachMonitorInstall, EnableTwiceThenDisableRestoresPortsExactly) {
    const ChildEnd end = runInChild([] {
        const MaydayMonitorAPI* api = mdcm_machexception_getAPI();
        machexc_port_t previous = MACHEXC_PORT_NULL;
        machexc_port_allocate(MACHEXC_PORT_RIGHT_RECEIVE, &previous);
        machexc_port_insert_right(previous, previous, MACHEXC_MSG_TYPE_MAKE_SEND);
        machexc_task_set_exception_ports(MACHEXC_EXC_MASK_BREAKPOINT, previous, 3, 7);
        machexc_task_set_exception_ports(MACHEXC_EXC_MASK_BAD_ACCESS | MACHEXC_EXC_MASK(4), previous,
                                         MACHEXC_EXCEPTION_DEFAULT, MACHEXC_THREAD_STATE_NONE);
        const PortTable before = portTable();
        const int threadsBefore = threadCount();

        api->setEnabled(true);
        put(api->isEnabled() ? "enabled\n" : "not enabled\n");
        const PortTable installed = portTable();
        // Every claimed type now goes to one port that is not the previous one;
        // emulation (4) is not claimed.
        bool claimed = true;
        machexc_port_t own = MACHEXC_PORT_NULL;
        for (unsigned i = 0; i < installed.count; i++) {
            if (installed.masks[i] & 0x6E) {
                claimed = claimed && installed.masks[i] == 0x6E && installed.ports[i] != previous &&
                          installed.ports[i] != MACHEXC_PORT_NULL &&
                          installed.behaviors[i] == MACHEXC_EXCEPTION_DEFAULT &&
                          installed.flavors[i] == MACHEXC_THREAD_STATE_NONE;
                own = installed.ports[i];
            }
            if (installed.masks[i] & MACHEXC_EXC_MASK(4)) claimed = claimed && installed.ports[i] == previous;
        }
        put(claimed && own != MACHEXC_PORT_NULL ? "claimed\n" : "not claimed\n");
        HandlerThreads threads = handlerThreads();
        put(threads.primary == 1 && threads.secondary == 1 ? "threads named\n" : "threads wrong\n");
        const int threadsEnabled = threadCount();
        put(threadsEnabled == threadsBefore + 2 ? "two threads\n" : "thread count wrong\n");

        api->setEnabled(true);
        put(sameTable(installed, portTable()) && threadCount() == threadsEnabled ? "second enable inert\n"
                                                                                   : "second enable acted\n");

        api->setEnabled(false);
        put(!api->isEnabled() && sameTable(before, portTable()) ? "restored\n" : "not restored\n");
        // The handler threads end (cancelled while waiting).
        for (int i = 0; i < 500 && threadCount() != threadsBefore; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        put(threadCount() == threadsBefore ? "threads gone\n" : "threads left\n");

        api->setEnabled(false);
        put(sameTable(before, portTable()) ? "second disable inert\n" : "second disable acted\n");
    });
    EXPECT_TRUE(end.exited) << end.output;
    EXPECT_EQ(end.output,
              "enabled\nclaimed\nthreads named\ntwo threads\nsecond enable inert\nrestored\nthreads gone\n"
              "second disable inert\n");
}

TEST(MachMonitorAdditions, MachTypeForOtherMonitorsEvents) {
    const MaydayMonitorAPI* api = mdcm_machexception_getAPI();
    ASSERT_NE(api, nullptr);
    ASSERT_NE(api->addContextToEvent, nullptr);
    struct Row {
        int signum;
        int machType;
    };
    const Row rows[] = {{SIGILL, 2},  {SIGTRAP, 6},        {SIGABRT, 10},      {SIGFPE, 3},  {SIGKILL, 0x10003},
                        {SIGBUS, 1},  {SIGSEGV, 1},        {SIGSYS, 0x10000},  {SIGPIPE, 0x10001},
                        {SIGUSR1, 0}, {SIGHUP, 0},         {SIGTERM, 0}};
    for (const Row& row : rows) {
        Mayday_MonitorContext context;
        memset(&context, 0, sizeof(context));
        context.crashType = MaydayMonitorTypeSignal;
        context.signal.signum = row.signum;
        context.mach.type = -1;
        api->addContextToEvent(&context);
        EXPECT_EQ(context.mach.type, row.machType) << "signal " << row.signum;
    }

    Mayday_MonitorContext mach;
    memset(&mach, 0, sizeof(mach));
    mach.crashType = MaydayMonitorTypeMachException;
    mach.mach.type = 3;
    api->addContextToEvent(&mach);
    EXPECT_EQ(mach.mach.type, 3);

    for (MaydayMonitorFlags other : {MaydayMonitorTypeCPPException, MaydayMonitorTypeNSException,
                                     MaydayMonitorTypeUserReported, MaydayMonitorTypeMainThreadDeadlock}) {
        Mayday_MonitorContext context;
        memset(&context, 0, sizeof(context));
        context.crashType = other;
        api->addContextToEvent(&context);
        EXPECT_EQ(context.mach.type, 10) << "crash type " << other;
    }
    EXPECT_FALSE(api->isEnabled());
}
