// The monitor frame: selection and its masks, table order, fatal-event
// bookkeeping and dispatch, driven through fake monitors put in the table.
// Anything that logs or needs a tracer runs in a forked child.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "Mayday/Recording/Monitors/MDID.h"
#include "Mayday/Recording/Monitors/MaydayMonitor.h"
#include "Mayday/Recording/Tools/MDDebug.h"
#include "Mayday/Recording/Tools/MDLogger.h"
#include "TempDir.h"

namespace {

const MaydayMonitorFlags kTableOrder[] = {
    MaydayMonitorTypeMachException, MaydayMonitorTypeSignal,       MaydayMonitorTypeNSException,
    MaydayMonitorTypeMainThreadDeadlock, MaydayMonitorTypeZombie,   MaydayMonitorTypeCPPException,
    MaydayMonitorTypeUserReported,  MaydayMonitorTypeSystem,        MaydayMonitorTypeApplicationState,
};
constexpr int kFakeCount = 9;

// One call seen by a fake: 'S' setEnabled (with the value), 'A' addition, 'H' handler.
struct Call {
    char kind;
    MaydayMonitorFlags flag;
    bool value;
};
std::vector<Call> g_calls;

struct FakeState {
    MaydayMonitorFlags flag = 0;
    bool enabled = false;
    bool refusesInstall = false;  // stays disabled: isEnabled answers false
    bool cannotBeRemoved = false;  // like the zombie monitor
};
FakeState g_fakes[kFakeCount];

template <int N>
struct Fake {
    static void setEnabled(bool isEnabled) {
        g_calls.push_back({'S', g_fakes[N].flag, isEnabled});
        FakeState& state = g_fakes[N];
        if (state.refusesInstall) {
            return;
        }
        if (!isEnabled && state.cannotBeRemoved && state.enabled) {
            return;
        }
        // Records the wish before "installing", as the real monitors do, so
        // a failed installation still answers true.
        state.enabled = isEnabled;
    }
    static bool isEnabled() { return g_fakes[N].enabled; }
    static void addContextToEvent(Mayday_MonitorContext* context) {
        g_calls.push_back({'A', g_fakes[N].flag, true});
        // Leaves a trace of its run in the context.
        context->faultAddress = context->faultAddress * 16 + (uint64_t)(N + 1);
    }
    static constexpr MaydayMonitorAPI withAddition{setEnabled, isEnabled, addContextToEvent};
    static constexpr MaydayMonitorAPI withoutAddition{setEnabled, isEnabled, nullptr};
};

template <int... N>
void installFakes(std::integer_sequence<int, N...>) {
    // The fakes for NSException, deadlock, C++ and user-reported have no
    // addition, like the monitors they stand for.
    auto install = [](int index, const MaydayMonitorAPI* with, const MaydayMonitorAPI* without) {
        const MaydayMonitorFlags flag = kTableOrder[index];
        g_fakes[index] = FakeState{};
        g_fakes[index].flag = flag;
        const bool hasAddition = !(flag & (MaydayMonitorTypeNSException | MaydayMonitorTypeMainThreadDeadlock |
                                           MaydayMonitorTypeCPPException | MaydayMonitorTypeUserReported));
        mdcm_testing_setAPI(flag, hasAddition ? with : without);
    };
    (install(N, &Fake<N>::withAddition, &Fake<N>::withoutAddition), ...);
}

int fakeIndex(MaydayMonitorFlags flag) {
    for (int i = 0; i < kFakeCount; i++) {
        if (kTableOrder[i] == flag) return i;
    }
    return -1;
}

MaydayMonitorFlags enabledFakes() {
    MaydayMonitorFlags set = 0;
    for (const FakeState& fake : g_fakes) {
        if (fake.enabled) set |= fake.flag;
    }
    return set;
}

Mayday_MonitorContext* g_handledContext = nullptr;
MaydayMonitorFlags g_activeAtHandler = 0;
int g_handlerCalls = 0;

void recordingHandler(Mayday_MonitorContext* context) {
    g_calls.push_back({'H', 0, true});
    g_handledContext = context;
    g_activeAtHandler = enabledFakes();
    g_handlerCalls++;
}

std::vector<MaydayMonitorFlags> flagsOf(char kind) {
    std::vector<MaydayMonitorFlags> flags;
    for (const Call& call : g_calls) {
        if (call.kind == kind) flags.push_back(call.flag);
    }
    return flags;
}

std::string readAllFrom(int fd) {
    std::string text;
    char buffer[512];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n > 0) {
            text.append(buffer, (size_t)n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    return text;
}

// Runs `body` in a forked child whose standard output (where the log goes)
// lands in a file. With `traced`, the child asks to be traced and this
// process acts as its tracer, letting every stop through. The child's result
// (its exit status) is what `body` returns; its output is in `output`.
struct ChildRun {
    bool exited = false;
    int status = -1;
    std::string output;
};

ChildRun runInChild(bool traced, const std::function<int()>& body) {
    zeltest::TempDir dir;
    const std::string outPath = dir.file("out.txt");
    const int outFd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (outFd < 0) return {};
    fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outFd, STDOUT_FILENO);
        if (traced) {
            if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(90);
            raise(SIGSTOP);
        }
        _exit(body());
    }
    close(outFd);
    ChildRun run;
    if (pid < 0) return run;

    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            if (WIFSTOPPED(status)) {
                // The child's own SIGSTOP only hands control to us; other
                // signals go on to the child.
                const int sig = WSTOPSIG(status) == SIGSTOP ? 0 : WSTOPSIG(status);
                ptrace(PTRACE_CONT, pid, nullptr, (void*)(intptr_t)sig);
                continue;
            }
            if (WIFEXITED(status)) {
                run.exited = true;
                run.status = WEXITSTATUS(status);
            }
            break;
        }
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec > 10) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        usleep(2000);
    }
    const int inFd = open(outPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (inFd >= 0) {
        run.output = readAllFrom(inFd);
        close(inFd);
    }
    return run;
}

const char* const kNoticeLines[] = {
    "    ************************ Crash Handler Notice ************************\n",
    "    *     App is running in a debugger. Masking out unsafe monitors.     *\n",
    "    * This means that most crashes WILL NOT BE RECORDED while debugging! *\n",
    "    **********************************************************************\n",
};

class MonitorFrameTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (mddebug_isBeingTraced()) {
            GTEST_SKIP() << "the test program itself is traced; the masks would apply";
        }
        mdcm_testing_reset();
        installFakes(std::make_integer_sequence<int, kFakeCount>{});
        g_calls.clear();
        g_handledContext = nullptr;
        g_activeAtHandler = 0;
        g_handlerCalls = 0;
        mdcm_setEventHandler(recordingHandler);
    }
    void TearDown() override {
        mdcm_selectMonitors(MaydayMonitorTypeNone);
        mdcm_testing_reset();
    }
};

// ---- selection ----

TEST_F(MonitorFrameTest, SelectionEnablesExactlyTheWantedSet) {
    EXPECT_EQ(mdcm_activeMonitorTypes(), MaydayMonitorTypeNone);

    mdcm_selectMonitors(MaydayMonitorTypeDefault);
    EXPECT_EQ(enabledFakes(), (MaydayMonitorFlags)0x0EF);
    EXPECT_EQ(mdcm_activeMonitorTypes(), (MaydayMonitorFlags)0x0EF);

    // A new selection disables what is no longer wanted.
    mdcm_selectMonitors(MaydayMonitorTypeMainThreadDeadlock | MaydayMonitorTypeZombie | MaydayMonitorTypeSignal);
    EXPECT_EQ(enabledFakes(), (MaydayMonitorFlags)0x112);
    EXPECT_EQ(mdcm_activeMonitorTypes(), (MaydayMonitorFlags)0x112);

    mdcm_selectMonitors(MaydayMonitorTypeAll);
    EXPECT_EQ(mdcm_activeMonitorTypes(), (MaydayMonitorFlags)0x1FF);

    mdcm_selectMonitors(MaydayMonitorTypeNone);
    EXPECT_EQ(enabledFakes(), MaydayMonitorTypeNone);
    EXPECT_EQ(mdcm_activeMonitorTypes(), MaydayMonitorTypeNone);
}

TEST_F(MonitorFrameTest, SelectionWalksTheTableInOrderAndTellsEveryMonitor) {
    mdcm_selectMonitors(MaydayMonitorTypeSignal | MaydayMonitorTypeSystem);
    const std::vector<MaydayMonitorFlags> expected(std::begin(kTableOrder), std::end(kTableOrder));
    EXPECT_EQ(flagsOf('S'), expected);
    for (const Call& call : g_calls) {
        EXPECT_EQ(call.value, call.flag == MaydayMonitorTypeSignal || call.flag == MaydayMonitorTypeSystem)
            << "flag " << call.flag;
    }
}

TEST_F(MonitorFrameTest, FailedInstallThatReportsEnabledStaysActive) {
    // The fakes record the wish before installing, so "failed" ones still
    // answer true; a monitor that answers false is not active.
    g_fakes[fakeIndex(MaydayMonitorTypeCPPException)].refusesInstall = true;
    mdcm_selectMonitors(MaydayMonitorTypeDefault);
    EXPECT_EQ(mdcm_activeMonitorTypes(), (MaydayMonitorFlags)(0x0EF & ~MaydayMonitorTypeCPPException));
}

TEST_F(MonitorFrameTest, EntriesWithoutRecordOrOperationsCountAsInactive) {
    static constexpr MaydayMonitorAPI kNoIsEnabled{Fake<0>::setEnabled, nullptr, Fake<0>::addContextToEvent};
    static constexpr MaydayMonitorAPI kNoSetEnabled{nullptr, Fake<1>::isEnabled, Fake<1>::addContextToEvent};
    mdcm_testing_setAPI(MaydayMonitorTypeMachException, &kNoIsEnabled);
    mdcm_testing_setAPI(MaydayMonitorTypeSignal, &kNoSetEnabled);
    mdcm_testing_setAPI(MaydayMonitorTypeSystem, nullptr);

    mdcm_selectMonitors(MaydayMonitorTypeAll);
    EXPECT_EQ(mdcm_activeMonitorTypes(), (MaydayMonitorFlags)(0x1FF & ~0x43u));
    EXPECT_TRUE(g_fakes[0].enabled) << "setEnabled is still called without isEnabled";

    // Nor do they take part in dispatch.
    Mayday_MonitorContext context{};
    mdcm_dispatchEvent(&context);
    const std::vector<MaydayMonitorFlags> additions = flagsOf('A');
    EXPECT_EQ(additions, (std::vector<MaydayMonitorFlags>{MaydayMonitorTypeZombie, MaydayMonitorTypeApplicationState}));
}

// ---- dispatch ----

TEST_F(MonitorFrameTest, DispatchAddsInTableOrderThenCallsTheHandler) {
    mdcm_selectMonitors(MaydayMonitorTypeAll & ~MaydayMonitorTypeSystem);
    g_calls.clear();

    Mayday_MonitorContext context{};
    mdcm_dispatchEvent(&context);

    // Only enabled monitors with an addition, in table order, then the handler.
    std::vector<char> kinds;
    for (const Call& call : g_calls) kinds.push_back(call.kind);
    EXPECT_EQ(kinds, (std::vector<char>{'A', 'A', 'A', 'A', 'H'}));
    EXPECT_EQ(flagsOf('A'), (std::vector<MaydayMonitorFlags>{MaydayMonitorTypeMachException, MaydayMonitorTypeSignal,
                                                            MaydayMonitorTypeZombie,
                                                            MaydayMonitorTypeApplicationState}));
    EXPECT_EQ(context.faultAddress, 0x1259u);  // entries 1, 2, 5 and 9 in that order
    EXPECT_EQ(g_handledContext, &context);
}

TEST_F(MonitorFrameTest, NonFatalDispatchLeavesMonitorsActive) {
    mdcm_selectMonitors(MaydayMonitorTypeDefault);
    Mayday_MonitorContext context{};
    context.crashedDuringCrashHandling = true;  // the dispatcher never clears it
    mdcm_dispatchEvent(&context);

    EXPECT_EQ(g_handlerCalls, 1);
    EXPECT_FALSE(context.requiresAsyncSafety);
    EXPECT_TRUE(context.crashedDuringCrashHandling);
    EXPECT_EQ(mdcm_activeMonitorTypes(), (MaydayMonitorFlags)0x0EF);
    EXPECT_EQ(enabledFakes(), (MaydayMonitorFlags)0x0EF);
    EXPECT_EQ(flagsOf('S').size(), 9u) << "no selection after a non-fatal event";
}

TEST_F(MonitorFrameTest, FatalDispatchRemovesEveryMonitorAfterTheHandler) {
    mdcm_selectMonitors(MaydayMonitorTypeDefault);
    EXPECT_FALSE(mdcm_notifyFatalExceptionCaptured(false));
    EXPECT_EQ(mdcm_activeMonitorTypes(), (MaydayMonitorFlags)0x0EF) << "the first capture removes nothing";

    Mayday_MonitorContext context{};
    mdcm_dispatchEvent(&context);
    EXPECT_EQ(g_handlerCalls, 1);
    EXPECT_EQ(g_activeAtHandler, (MaydayMonitorFlags)0x0EF) << "the hooks stay in while the report is written";
    EXPECT_FALSE(context.requiresAsyncSafety);
    EXPECT_FALSE(context.crashedDuringCrashHandling);
    EXPECT_EQ(mdcm_activeMonitorTypes(), MaydayMonitorTypeNone);
    EXPECT_EQ(enabledFakes(), MaydayMonitorTypeNone);
}

TEST_F(MonitorFrameTest, AfterAnAsyncCaptureOnlyAsyncSafeMonitorsCanBeSelected) {
    g_fakes[fakeIndex(MaydayMonitorTypeZombie)].cannotBeRemoved = true;
    EXPECT_FALSE(mdcm_notifyFatalExceptionCaptured(true));

    mdcm_selectMonitors(MaydayMonitorTypeDefault);
    EXPECT_EQ(mdcm_activeMonitorTypes(), (MaydayMonitorFlags)0x003);

    // A zombie monitor that was ever enabled stays, as it cannot be removed.
    mdcm_testing_reset();
    installFakes(std::make_integer_sequence<int, kFakeCount>{});
    g_fakes[fakeIndex(MaydayMonitorTypeZombie)].cannotBeRemoved = true;
    mdcm_selectMonitors(MaydayMonitorTypeAll);
    EXPECT_FALSE(mdcm_notifyFatalExceptionCaptured(true));
    mdcm_selectMonitors(MaydayMonitorTypeDefault);
    EXPECT_EQ(mdcm_activeMonitorTypes(), (MaydayMonitorFlags)0x103);

    // The flag is sticky and reaches the context.
    Mayday_MonitorContext context{};
    mdcm_dispatchEvent(&context);
    EXPECT_TRUE(context.requiresAsyncSafety);
}

TEST_F(MonitorFrameTest, SecondCaptureUninstallsEverythingAndMarksTheEvent) {
    const ChildRun run = runInChild(false, [] {
        mdcm_selectMonitors(MaydayMonitorTypeDefault);
        if (mdcm_notifyFatalExceptionCaptured(false)) return 10;
        if (mdcm_activeMonitorTypes() != 0x0EF) return 11;
        if (!mdcm_notifyFatalExceptionCaptured(false)) return 12;
        if (mdcm_activeMonitorTypes() != 0) return 13;
        if (enabledFakes() != 0) return 14;
        Mayday_MonitorContext context{};
        g_calls.clear();
        mdcm_dispatchEvent(&context);
        if (!context.crashedDuringCrashHandling) return 15;
        if (g_handlerCalls != 1 || g_handledContext != &context) return 16;
        if (!flagsOf('S').empty()) return 17;  // already removed at capture
        // A third capture still answers true.
        if (!mdcm_notifyFatalExceptionCaptured(false)) return 18;
        return 0;
    });
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("INFO : "), std::string::npos) << run.output;
    EXPECT_NE(run.output.find(": Detected crash in the crash reporter. Uninstalling Mayday.\n"), std::string::npos)
        << run.output;
}

// ---- the debugger mask ----

TEST_F(MonitorFrameTest, TracedSelectionMasksUnsafeMonitorsAndShowsTheNoticeOnce) {
    const ChildRun run = runInChild(true, [] {
        if (!mddebug_isBeingTraced()) return 20;
        mdcm_selectMonitors(MaydayMonitorTypeDefault);
        if (mdcm_activeMonitorTypes() != 0x0E0) return 21;
        mdlog_logBareLine("%s", "-- second selection --");
        mdcm_selectMonitors(MaydayMonitorTypeDefault);
        if (mdcm_activeMonitorTypes() != 0x0E0) return 22;
        return 0;
    });
    ASSERT_TRUE(run.exited);
    ASSERT_EQ(run.status, 0) << run.output;
    std::string notice;
    for (const char* line : kNoticeLines) notice += line;
    EXPECT_EQ(run.output, notice + "-- second selection --\n");
}

TEST_F(MonitorFrameTest, TracedSelectionOfSafeMonitorsMasksAndPrintsNothing) {
    const ChildRun run = runInChild(true, [] {
        if (!mddebug_isBeingTraced()) return 30;
        mdcm_selectMonitors(MaydayMonitorTypeMainThreadDeadlock);
        if (mdcm_activeMonitorTypes() != 0x010) return 31;
        return 0;
    });
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output, "");
}

// ---- event identifiers ----

TEST(MDIDTest, EventIDsHaveTheUUIDFormatAndDiffer) {
    const std::regex format("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
    std::set<std::string> seen;
    for (int i = 0; i < 1000; i++) {
        char id[40];
        memset(id, 'x', sizeof(id));
        mdid_newEventID(id);
        EXPECT_EQ(id[36], '\0');
        EXPECT_EQ(id[37], 'x') << "writes no more than 37 bytes";
        ASSERT_TRUE(std::regex_match(id, format)) << id;
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 1000u);
}

}  // namespace
