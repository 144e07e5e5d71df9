// The signal monitor, exercised by real crashes in forked children. Each child
// enables the monitor through the frame with an event handler that writes a
// one-line summary of the event to a pipe (own formatting, write(2) only);
// the parent reads the lines, the child's standard output and how it ended.
#include "Mayday/Recording/Monitors/MaydayMonitor_Signal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "Mayday/Recording/Monitors/MaydayMonitor.h"
#include "Mayday/Recording/Tools/MDSignalInfo.h"
#include "Mayday/Recording/Tools/MDStackCursor.h"
#include "platform/mach/ExceptionPorts.h"
#include "tests/support/DeliberateFault.h"
#include "tests/support/TempDir.h"

namespace {

int g_eventPipe = -1;

// --- async-safe summary -----------------------------------------------------

struct Line {
    char text[256];
    size_t length = 0;
    void add(const char* s) {
        while (*s && length < sizeof(text) - 1) text[length++] = *s++;
    }
    void addNumber(long long value) {
        char digits[24];
        int n = 0;
        unsigned long long magnitude = value < 0 ? 0ULL - (unsigned long long)value : (unsigned long long)value;
        do {
            digits[n++] = (char)('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude);
        if (value < 0) add("-");
        while (n > 0 && length < sizeof(text) - 1) text[length++] = digits[--n];
    }
    void addHex(unsigned long long value) {
        char digits[20];
        int n = 0;
        do {
            digits[n++] = "0123456789abcdef"[value & 0xF];
            value >>= 4;
        } while (value);
        while (n > 0 && length < sizeof(text) - 1) text[length++] = digits[--n];
    }
};

void writeSummary(const Mayday_MonitorContext* context) {
    int depth = 0;
    if (context->stackCursor) {
        while (depth < 200 && context->stackCursor->advanceCursor(context->stackCursor)) depth++;
    }
    Line line;
    line.add("type=");
    line.addHex(context->crashType);
    line.add(" signum=");
    line.addNumber(context->signal.signum);
    line.add(" code=");
    line.addNumber(context->signal.sigcode);
    line.add(" addr=");
    line.addHex(context->faultAddress);
    line.add(" recrash=");
    line.addNumber(context->crashedDuringCrashHandling ? 1 : 0);
    line.add(" regs=");
    line.addNumber(context->registersAreValid ? 1 : 0);
    line.add(" ucontext=");
    line.addNumber(context->signal.userContext ? 1 : 0);
    line.add(" mctx=");
    line.addNumber(context->offendingMachineContext ? 1 : 0);
    line.add(" idlen=");
    line.addNumber(context->eventID ? (long long)strlen(context->eventID) : -1);
    line.add(" mach=");
    line.addNumber(context->mach.type);
    line.add(" machcode=");
    line.addNumber(context->mach.code);
    line.add(" frames=");
    line.addNumber(depth);
    line.add("\n");
    ssize_t ignored = write(g_eventPipe, line.text, line.length);
    (void)ignored;
}

void summaryHandler(Mayday_MonitorContext* context) { writeSummary(context); }

std::atomic<int> g_handlerCalls{0};

// Writes its summary, then faults on the first event.
void faultingHandler(Mayday_MonitorContext* context) {
    writeSummary(context);
    if (g_handlerCalls.fetch_add(1) == 0) (void)zeltest::readAddress(0);
}

void childMessage(const char* text) {
    ssize_t ignored = write(g_eventPipe, text, strlen(text));
    (void)ignored;
}

// --- running a child ----------------------------------------------------------

struct ChildOutcome {
    bool signaled = false;
    int termSignal = 0;
    bool exited = false;
    int exitStatus = -1;
    bool timedOut = false;
    std::vector<std::string> lines;  // what the child wrote to the pipe
    std::string out;                 // its standard output
};

// The monitors a child selects; the Mach exception monitor joins for the
// tests of both together.
MaydayMonitorFlags g_monitorsToSelect = MaydayMonitorTypeSignal;

// Forks; the child sets up the frame with `handler`, runs `body` and exits 0
// if it comes back. Killed after 10 s.
ChildOutcome runChild(void (*handler)(Mayday_MonitorContext*), const std::function<void()>& body,
                      bool selectSignalMonitor = true) {
    ChildOutcome outcome;
    int fds[2];
    if (pipe(fds) != 0) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return outcome;
    }
    char outPath[] = "/tmp/test_signal_monitor_out_XXXXXX";
    const int outFd = mkstemp(outPath);
    if (outFd < 0) {
        ADD_FAILURE() << "mkstemp: " << strerror(errno);
        return outcome;
    }
    unlink(outPath);
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        g_eventPipe = fds[1];
        dup2(outFd, STDOUT_FILENO);
        close(outFd);
        mdcm_testing_reset();
        mdcm_setEventHandler(handler);
        if (selectSignalMonitor) mdcm_selectMonitors(g_monitorsToSelect);
        body();
        _exit(0);
    }
    close(fds[1]);
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << strerror(errno);
        close(fds[0]);
        close(outFd);
        return outcome;
    }

    std::string text;
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    int status = 0;
    bool reaped = false;
    for (;;) {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec >= 10) {
            outcome.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        pollfd waitFor = {fds[0], POLLIN, 0};
        if (poll(&waitFor, 1, 100) > 0) {
            char buffer[1024];
            const ssize_t count = read(fds[0], buffer, sizeof(buffer));
            if (count > 0) {
                text.append(buffer, (size_t)count);
                continue;
            }
            if (count == 0) break;  // every writer is gone
        }
        if (waitpid(pid, &status, WNOHANG) == pid) {
            reaped = true;
            break;
        }
    }
    if (!reaped) waitpid(pid, &status, 0);
    // Anything written just before the end.
    char buffer[1024];
    ssize_t count;
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    while ((count = read(fds[0], buffer, sizeof(buffer))) > 0) text.append(buffer, (size_t)count);
    close(fds[0]);

    outcome.signaled = WIFSIGNALED(status);
    outcome.termSignal = outcome.signaled ? WTERMSIG(status) : 0;
    outcome.exited = WIFEXITED(status);
    outcome.exitStatus = outcome.exited ? WEXITSTATUS(status) : -1;

    size_t begin = 0;
    for (size_t end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1)
        outcome.lines.push_back(text.substr(begin, end - begin));

    off_t offset = 0;
    while ((count = pread(outFd, buffer, sizeof(buffer), offset)) > 0) {
        outcome.out.append(buffer, (size_t)count);
        offset += count;
    }
    close(outFd);
    return outcome;
}

std::string describe(const ChildOutcome& outcome) {
    return "exited=" + std::to_string(outcome.exited) + " status=" + std::to_string(outcome.exitStatus) +
           " signal=" + std::to_string(outcome.termSignal) + " timedOut=" + std::to_string(outcome.timedOut) +
           " out: " + outcome.out;
}

std::string field(const std::string& line, const std::string& name) {
    const std::string key = name + "=";
    size_t at = line.find(key);
    if (at == std::string::npos) return "<missing>";
    at += key.size();
    return line.substr(at, line.find(' ', at) - at);
}

// The summary common to every caught signal: crash type Signal, the signal,
// valid registers, a machine context, a 36-character ID and a backtrace.
void expectSignalEvent(const std::string& line, int signum) {
    EXPECT_EQ(field(line, "type"), "2") << line;
    EXPECT_EQ(field(line, "signum"), std::to_string(signum)) << line;
    EXPECT_EQ(field(line, "recrash"), "0") << line;
    EXPECT_EQ(field(line, "regs"), "1") << line;
    EXPECT_EQ(field(line, "ucontext"), "1") << line;
    EXPECT_EQ(field(line, "mctx"), "1") << line;
    EXPECT_EQ(field(line, "idlen"), "36") << line;
    EXPECT_NE(field(line, "frames"), "0") << line;
}

void expectDiedBy(const ChildOutcome& outcome, int signum) {
    EXPECT_FALSE(outcome.timedOut);
    EXPECT_TRUE(outcome.signaled) << "exited " << outcome.exitStatus;
    EXPECT_EQ(outcome.termSignal, signum) << strsignal(outcome.termSignal);
}

// --- crashes ----------------------------------------------------------------

void* faultAfterGate(void* gate) {
    auto* ready = static_cast<std::atomic<int>*>(gate);
    ready->fetch_add(1);
    while (ready->load() < 2) {
    }
    return reinterpret_cast<void*>(static_cast<intptr_t>(zeltest::readAddress(0)));
}

TEST(SignalMonitorCrash, NullPointerReadIsSegvMapErrAtAddressZero) {
    const ChildOutcome outcome = runChild(summaryHandler, [] { (void)zeltest::readAddress(0); });
    ASSERT_EQ(outcome.lines.size(), 1u) << describe(outcome);
    expectSignalEvent(outcome.lines[0], SIGSEGV);
    EXPECT_EQ(field(outcome.lines[0], "code"), std::to_string(SEGV_MAPERR));
    EXPECT_EQ(field(outcome.lines[0], "addr"), "0");
    expectDiedBy(outcome, SIGSEGV);
}

TEST(SignalMonitorCrash, AbortIsSigabrt) {
    const ChildOutcome outcome = runChild(summaryHandler, [] { abort(); });
    ASSERT_EQ(outcome.lines.size(), 1u) << describe(outcome);
    expectSignalEvent(outcome.lines[0], SIGABRT);
    expectDiedBy(outcome, SIGABRT);
}

TEST(SignalMonitorCrash, IllegalInstructionIsSigill) {
    const ChildOutcome outcome = runChild(summaryHandler, [] { zeltest::illegalInstruction(); });
    ASSERT_EQ(outcome.lines.size(), 1u) << describe(outcome);
    expectSignalEvent(outcome.lines[0], SIGILL);
    EXPECT_EQ(field(outcome.lines[0], "code"), std::to_string(ILL_ILLOPN));
    expectDiedBy(outcome, SIGILL);
}

TEST(SignalMonitorCrash, IntegerDivisionByZeroIsSigfpeIntDiv) {
    const ChildOutcome outcome = runChild(summaryHandler, [] { zeltest::divideByZero(); });
    ASSERT_EQ(outcome.lines.size(), 1u) << describe(outcome);
    expectSignalEvent(outcome.lines[0], SIGFPE);
    EXPECT_EQ(field(outcome.lines[0], "code"), std::to_string(FPE_INTDIV));
    EXPECT_NE(field(outcome.lines[0], "addr"), "0");  // the dividing instruction
    expectDiedBy(outcome, SIGFPE);
}

TEST(SignalMonitorCrash, BreakpointIsSigtrap) {
    const ChildOutcome outcome = runChild(summaryHandler, [] { zeltest::breakpoint(); });
    ASSERT_EQ(outcome.lines.size(), 1u) << describe(outcome);
    expectSignalEvent(outcome.lines[0], SIGTRAP);
    expectDiedBy(outcome, SIGTRAP);
}

TEST(SignalMonitorCrash, ReadPastTruncatedMappingIsSigbus) {
    zeltest::TempDir dir;
    const std::string path = dir.file("mapped");
    zeltest::writeFile(path, std::string(4096, 'x'));
    const ChildOutcome outcome = runChild(summaryHandler, [&path] {
        const int fd = open(path.c_str(), O_RDWR);
        auto* mapped = static_cast<volatile char*>(mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0));
        if (fd < 0 || mapped == MAP_FAILED || ftruncate(fd, 0) != 0) {
            childMessage("setup failed\n");
            _exit(3);
        }
        (void)zeltest::readAddress((uintptr_t)mapped);
    });
    ASSERT_EQ(outcome.lines.size(), 1u) << describe(outcome);
    expectSignalEvent(outcome.lines[0], SIGBUS);
    EXPECT_EQ(field(outcome.lines[0], "code"), std::to_string(BUS_ADRERR));
    EXPECT_NE(field(outcome.lines[0], "addr"), "0");
    expectDiedBy(outcome, SIGBUS);
}

TEST(SignalMonitorCrash, MainThreadStackOverflowIsCaughtOnAlternateStack) {
    const ChildOutcome outcome = runChild(summaryHandler, [] { zeltest::overflowStack(); });
    ASSERT_EQ(outcome.lines.size(), 1u) << describe(outcome);
    expectSignalEvent(outcome.lines[0], SIGSEGV);
    expectDiedBy(outcome, SIGSEGV);
}

TEST(SignalMonitorCrash, KilledBySignalFromOutsideIsReported) {
    // Not a fault: sent with kill, so si_code is SI_USER and no address.
    const ChildOutcome outcome = runChild(summaryHandler, [] { kill(getpid(), SIGSEGV); });
    ASSERT_EQ(outcome.lines.size(), 1u) << describe(outcome);
    expectSignalEvent(outcome.lines[0], SIGSEGV);
    EXPECT_EQ(field(outcome.lines[0], "code"), std::to_string(SI_USER));
    expectDiedBy(outcome, SIGSEGV);
}

TEST(SignalMonitorCrash, DisabledMonitorReportsNothingAndSignalStillKills) {
    const ChildOutcome outcome = runChild(
        summaryHandler,
        [] {
            mdcm_selectMonitors(MaydayMonitorTypeSignal);
            mdcm_selectMonitors(MaydayMonitorTypeNone);
            abort();
        },
        false);
    EXPECT_TRUE(outcome.lines.empty());
    expectDiedBy(outcome, SIGABRT);
}

TEST(SignalMonitorCrash, FaultInsideEventHandlerUninstallsAndReportsRecrash) {
    // The first event comes from abort(); the handler then reads a null
    // pointer. SIGSEGV is not blocked in the SIGABRT handler, so the monitor
    // catches it as a crash during crash handling. The child ends by that
    // last signal: the nested handler re-raises it after the frame removed
    // every monitor, and it is delivered before the first handler resumes.
    const ChildOutcome outcome = runChild(faultingHandler, [] { abort(); });
    ASSERT_EQ(outcome.lines.size(), 2u) << describe(outcome);
    expectSignalEvent(outcome.lines[0], SIGABRT);
    EXPECT_EQ(field(outcome.lines[1], "type"), "2");
    EXPECT_EQ(field(outcome.lines[1], "signum"), std::to_string(SIGSEGV));
    EXPECT_EQ(field(outcome.lines[1], "recrash"), "1");
    EXPECT_NE(outcome.out.find("Detected crash in the crash reporter. Uninstalling Mayday."), std::string::npos)
        << outcome.out;
    expectDiedBy(outcome, SIGSEGV);
}

TEST(SignalMonitorCrash, TwoThreadsFaultingGiveOneFirstEvent) {
    const ChildOutcome outcome = runChild(summaryHandler, [] {
        static std::atomic<int> gate{0};
        pthread_t threads[2];
        for (pthread_t& thread : threads) pthread_create(&thread, nullptr, faultAfterGate, &gate);
        for (pthread_t& thread : threads) pthread_join(thread, nullptr);
    });
    int firstEvents = 0;
    for (const std::string& line : outcome.lines) {
        EXPECT_EQ(field(line, "signum"), std::to_string(SIGSEGV)) << line;
        if (field(line, "recrash") == "0") firstEvents++;
    }
    std::string all;
    for (const std::string& line : outcome.lines) all += line + "\n";
    EXPECT_EQ(firstEvents, 1) << all << describe(outcome);
    EXPECT_LE(outcome.lines.size(), 2u);
    expectDiedBy(outcome, SIGSEGV);
}

// --- installation and removal ---------------------------------------------------

void markerHandler(int) {}

struct ActionRecord {
    int signum;
    bool isPrevious;  // the marker action put there before enabling
};
ActionRecord g_records[64];
std::atomic<int> g_recordCount{0};

void recordAction(int signum, const struct sigaction* action) {
    const int at = g_recordCount.fetch_add(1);
    if (at < 64) g_records[at] = {signum, action->sa_handler == markerHandler || action->sa_handler == SIG_IGN};
}

// Gives every fatal signal a recognisable action (SIGPIPE: ignored) and
// reports each mismatch of handler or flags against it to the pipe.
void installMarkers() {
    const int* signals = mdsignal_fatalSignals();
    for (int i = 0; i < mdsignal_fatalSignalCount(); i++) {
        struct sigaction action;
        memset(&action, 0, sizeof(action));
        sigemptyset(&action.sa_mask);
        action.sa_handler = signals[i] == SIGPIPE ? SIG_IGN : markerHandler;
        action.sa_flags = SA_RESTART;
        machexc_sigaction(signals[i], &action, nullptr);
    }
}

std::vector<struct sigaction> currentActions() {
    std::vector<struct sigaction> actions(static_cast<size_t>(mdsignal_fatalSignalCount()));
    for (size_t i = 0; i < actions.size(); i++) machexc_sigaction(mdsignal_fatalSignals()[i], nullptr, &actions[i]);
    return actions;
}

void reportDifferences(const char* when, const std::vector<struct sigaction>& expected,
                       const std::vector<struct sigaction>& actual) {
    for (size_t i = 0; i < expected.size(); i++) {
        if (expected[i].sa_handler != actual[i].sa_handler || expected[i].sa_flags != actual[i].sa_flags) {
            const std::string line = std::string(when) + " differs for " + mdsignal_signalName(mdsignal_fatalSignals()[i]) + "\n";
            childMessage(line.c_str());
        }
    }
}

TEST(SignalMonitorInstall, DisablingRestoresThePreviousActionsExactly) {
    const ChildOutcome outcome = runChild(
        summaryHandler,
        [] {
            installMarkers();
            const std::vector<struct sigaction> before = currentActions();
            for (int round = 0; round < 2; round++) {  // enabling again saves afresh
                mdcm_selectMonitors(MaydayMonitorTypeSignal);
                stack_t stack;
                if (sigaltstack(nullptr, &stack) != 0 || stack.ss_size != 0x20000 || (stack.ss_flags & SS_DISABLE))
                    childMessage("no 128 KiB alternate stack while enabled\n");
                for (const struct sigaction& installed : currentActions()) {
                    if ((installed.sa_flags & (SA_SIGINFO | SA_ONSTACK)) != (SA_SIGINFO | SA_ONSTACK) ||
                        installed.sa_handler == markerHandler || !sigisemptyset(&installed.sa_mask))
                        childMessage("not installed\n");
                }
                mdcm_selectMonitors(MaydayMonitorTypeNone);
                reportDifferences("after disabling", before, currentActions());
            }
            // Disabling gives the stack back.
            stack_t stack;
            if (sigaltstack(nullptr, &stack) != 0 || !(stack.ss_flags & SS_DISABLE))
                childMessage("alternate stack kept after disabling\n");
            childMessage("done\n");
        },
        false);
    ASSERT_FALSE(outcome.lines.empty()) << outcome.out;
    EXPECT_EQ(outcome.lines, std::vector<std::string>{"done"});
    EXPECT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.exitStatus, 0);
}

TEST(SignalMonitorInstall, FailureAtFifthSignalRollsBackLastFirst) {
    const ChildOutcome outcome = runChild(
        summaryHandler,
        [] {
            installMarkers();
            const std::vector<struct sigaction> before = currentActions();
            mdsignal_testing_setSigactionObserver(recordAction);
            mdsignal_testing_failSigactionAt(4);
            mdcm_selectMonitors(MaydayMonitorTypeSignal);
            mdsignal_testing_setSigactionObserver(nullptr);
            if (!mdcm_signal_getAPI()->isEnabled()) childMessage("not enabled\n");
            reportDifferences("after rollback", before, currentActions());
            const int count = g_recordCount.load();
            for (int i = 0; i < count && i < 64; i++) {
                std::string line = g_records[i].isPrevious ? "restore " : "install ";
                line += mdsignal_signalName(g_records[i].signum);
                childMessage((line + "\n").c_str());
            }
        },
        false);
    const std::vector<std::string> expected = {
        "install SIGABRT", "install SIGBUS", "install SIGFPE", "install SIGILL", "install SIGPIPE",
        "restore SIGILL",  "restore SIGFPE", "restore SIGBUS", "restore SIGABRT",
    };
    EXPECT_EQ(outcome.lines, expected) << outcome.out;
    EXPECT_NE(outcome.out.find("sigaction (SIGPIPE): " + std::string(strerror(EINVAL))), std::string::npos)
        << outcome.out;
    EXPECT_TRUE(outcome.exited);
}

TEST(SignalMonitorInstall, AThreadsOwnAlternateStackIsKept) {
    const ChildOutcome outcome = runChild(
        summaryHandler,
        [] {
            static char stackMemory[65536];
            stack_t own = {};
            own.ss_sp = stackMemory;
            own.ss_size = sizeof(stackMemory);
            if (sigaltstack(&own, nullptr) != 0) _exit(3);
            mdcm_selectMonitors(MaydayMonitorTypeSignal);
            stack_t stack;
            if (sigaltstack(nullptr, &stack) != 0 || stack.ss_sp != stackMemory) childMessage("stack replaced\n");
            mdcm_selectMonitors(MaydayMonitorTypeNone);
            if (sigaltstack(nullptr, &stack) != 0 || stack.ss_sp != stackMemory) childMessage("stack taken away\n");
            childMessage("done\n");
        },
        false);
    EXPECT_EQ(outcome.lines, std::vector<std::string>{"done"}) << outcome.out;
}

TEST(SignalMonitorInstall, SecondEnableDoesNothing) {
    const ChildOutcome outcome = runChild(
        summaryHandler,
        [] {
            mdcm_signal_getAPI()->setEnabled(true);
            mdsignal_testing_setSigactionObserver(recordAction);
            mdcm_signal_getAPI()->setEnabled(true);
            mdsignal_testing_setSigactionObserver(nullptr);
            if (g_recordCount.load() != 0) childMessage("changed actions\n");
            if (!mdcm_signal_getAPI()->isEnabled()) childMessage("not enabled\n");
            mdcm_signal_getAPI()->setEnabled(false);
            if (mdcm_signal_getAPI()->isEnabled()) childMessage("still enabled\n");
            childMessage("done\n");
        },
        false);
    EXPECT_EQ(outcome.lines, std::vector<std::string>{"done"});
}

// --- the addition to other monitors' events ---------------------------------------

TEST(SignalMonitorAddition, OnlyEventsOfOtherMonitorsGetSigabrt) {
    const MaydayMonitorAPI* api = mdcm_signal_getAPI();
    ASSERT_NE(api, nullptr);
    ASSERT_NE(api->addContextToEvent, nullptr);
    const MaydayMonitorFlags others[] = {MaydayMonitorTypeCPPException, MaydayMonitorTypeNSException,
                                         MaydayMonitorTypeMainThreadDeadlock, MaydayMonitorTypeUserReported};
    for (MaydayMonitorFlags type : others) {
        Mayday_MonitorContext context{};
        context.crashType = type;
        api->addContextToEvent(&context);
        EXPECT_EQ(context.signal.signum, SIGABRT) << type;
    }
    for (MaydayMonitorFlags type : {MaydayMonitorTypeMachException, MaydayMonitorTypeSignal}) {
        Mayday_MonitorContext context{};
        context.crashType = type;
        context.signal.signum = SIGBUS;
        api->addContextToEvent(&context);
        EXPECT_EQ(context.signal.signum, SIGBUS) << type;
    }
}

}  // namespace

// --- both monitors: the Mach exception monitor in front of the signal monitor

class BothMonitors : public ::testing::Test {
protected:
    void SetUp() override { g_monitorsToSelect = MaydayMonitorTypeMachException | MaydayMonitorTypeSignal; }
    void TearDown() override { g_monitorsToSelect = MaydayMonitorTypeSignal; }

    // Runs `body` and answers the one event line, checking how the child ended.
    std::string crash(const std::function<void()>& body, int expectedDeath) {
        const ChildOutcome outcome = runChild(summaryHandler, body);
        expectDiedBy(outcome, expectedDeath);
        EXPECT_EQ(outcome.lines.size(), 1u) << describe(outcome);
        return outcome.lines.empty() ? std::string() : outcome.lines[0];
    }
};

TEST_F(BothMonitors, HardwareFaultsAreMachEventsWithTheirSignals) {
    struct Case {
        const char* name;
        std::function<void()> body;
        int signum;
        int machType;
    };
    const Case cases[] = {
        {"null read", [] { (void)zeltest::readAddress(0); }, SIGSEGV, 1},
        {"illegal instruction", [] { zeltest::illegalInstruction(); }, SIGILL, 2},
        {"division by zero", [] { zeltest::divideByZero(); }, SIGFPE, 3},
        {"breakpoint", [] { zeltest::breakpoint(); }, SIGTRAP, 6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string line = crash(c.body, c.signum);
        EXPECT_EQ(field(line, "type"), "1") << line;
        EXPECT_EQ(field(line, "mach"), std::to_string(c.machType)) << line;
        EXPECT_EQ(field(line, "signum"), std::to_string(c.signum)) << line;
        EXPECT_EQ(field(line, "regs"), "1") << line;
    }
    // A null read is an invalid address (code 1) at address 0.
    const std::string line = crash([] { (void)zeltest::readAddress(0); }, SIGSEGV);
    EXPECT_EQ(field(line, "machcode"), "1") << line;
    EXPECT_EQ(field(line, "addr"), "0") << line;
}

TEST_F(BothMonitors, SignalsSentByTheProcessAreSignalEventsWithAMachType) {
    // abort() raises SIGABRT: no fault, so no exception message; the Mach
    // monitor's addition gives EXC_CRASH.
    std::string line = crash([] { abort(); }, SIGABRT);
    EXPECT_EQ(field(line, "type"), "2") << line;
    EXPECT_EQ(field(line, "signum"), std::to_string(SIGABRT)) << line;
    EXPECT_EQ(field(line, "mach"), "10") << line;
    // A SIGSEGV sent with kill goes straight to the signal action: EXC_BAD_ACCESS.
    line = crash([] { kill(getpid(), SIGSEGV); }, SIGSEGV);
    EXPECT_EQ(field(line, "type"), "2") << line;
    EXPECT_EQ(field(line, "mach"), "1") << line;
}
