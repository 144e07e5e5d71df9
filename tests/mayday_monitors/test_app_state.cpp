// The application-state monitor and its state file. The record and the
// enabled flag are process-wide, so every case runs as one or more "launches"
// in forked children, which report their state (and their log, written to
// standard output) through the report pipe.
#include "Mayday/Recording/Monitors/MaydayMonitor_AppState.h"

#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/CrashChild.h"
#include "tests/support/TempDir.h"

namespace {

using zeltest::ChildEnd;

// One launch: initialises with `path`, runs `body`, reports the state.
template <typename Body>
ChildEnd launch(const std::string& path, Body body) {
    fflush(stdout);
    return zeltest::runInChild([&] {
        dup2(zeltest::g_reportFd, STDOUT_FILENO);
        maydaystate_initialize(path.c_str());
        body();
        const MaydayState* s = maydaystate_currentState();
        char line[400];
        snprintf(line, sizeof(line),
                 "\nstate: launches=%d sessions=%d sinceLaunch=%d crashedLast=%d crashedThis=%d active=%g "
                 "background=%g activeLaunch=%g backgroundLaunch=%g isActive=%d\n",
                 s->launchesSinceLastCrash, s->sessionsSinceLastCrash, s->sessionsSinceLaunch, s->crashedLastLaunch,
                 s->crashedThisLaunch, s->activeDurationSinceLastCrash, s->backgroundDurationSinceLastCrash,
                 s->activeDurationSinceLaunch, s->backgroundDurationSinceLaunch, s->applicationIsActive);
        zeltest::put(line);
    });
}

void enable() {
    mdcm_appstate_getAPI()->setEnabled(true);
}

// The value of `key` in the child's state line, or "?".
std::string field(const ChildEnd& end, const std::string& key) {
    const size_t line = end.output.rfind("\nstate: ");
    const size_t start = line == std::string::npos ? line : end.output.find(" " + key + "=", line);
    if (start == std::string::npos) return "?";
    const size_t value = start + key.size() + 2;
    return end.output.substr(value, end.output.find_first_of(" \n", value) - value);
}

void sleepMilliseconds(int milliseconds) {
    const struct timespec pause = {0, milliseconds * 1000000L};
    nanosleep(&pause, nullptr);
}

const char kFirstLaunchFile[] =
    "{\n    \"version\": 1,\n    \"crashedLastLaunch\": false,\n    \"activeDurationSinceLastCrash\": 0,\n"
    "    \"backgroundDurationSinceLastCrash\": 0,\n    \"launchesSinceLastCrash\": 1,\n"
    "    \"sessionsSinceLastCrash\": 1\n}";

class AppStateTest : public ::testing::Test {
protected:
    zeltest::TempDir dir;
    const std::string path = dir.file("CrashState.json");
};

TEST_F(AppStateTest, FirstLaunchCountsOneAndWritesTheFile) {
    const ChildEnd end = launch(path, enable);
    ASSERT_TRUE(end.exited) << end.output;
    EXPECT_EQ(field(end, "launches"), "1");
    EXPECT_EQ(field(end, "sessions"), "1");
    EXPECT_EQ(field(end, "sinceLaunch"), "1");
    EXPECT_EQ(field(end, "crashedLast"), "0");
    EXPECT_EQ(end.output.find("ERROR"), std::string::npos) << "a missing file is no error: " << end.output;
    EXPECT_EQ(zeltest::readFile(path), kFirstLaunchFile);
    EXPECT_FALSE(zeltest::fileExists(path + ".tmp"));
}

TEST_F(AppStateTest, StateFileDecidesWhereTheCountsStart) {
    // After a crashed launch the counts and durations start again.
    zeltest::writeFile(path, R"({"version":1,"crashedLastLaunch":true,"activeDurationSinceLastCrash":10.5,
                                 "launchesSinceLastCrash":4,"sessionsSinceLastCrash":7})");
    ChildEnd end = launch(path, enable);
    EXPECT_EQ(field(end, "crashedLast"), "1");
    EXPECT_EQ(field(end, "launches"), "1");
    EXPECT_EQ(field(end, "sessions"), "1");
    EXPECT_EQ(field(end, "active"), "0");

    // After a clean one they go on; an integer duration loads as a number.
    zeltest::writeFile(path, R"({"version":1,"crashedLastLaunch":false,"activeDurationSinceLastCrash":5,
                                 "backgroundDurationSinceLastCrash":2.25,"launchesSinceLastCrash":4,
                                 "sessionsSinceLastCrash":7})");
    end = launch(path, [] {
        enable();
        enable();  // no change: not a second launch
    });
    EXPECT_EQ(field(end, "launches"), "5");
    EXPECT_EQ(field(end, "sessions"), "8");
    EXPECT_EQ(field(end, "active"), "5");
    EXPECT_EQ(field(end, "background"), "2.25");
    EXPECT_NE(zeltest::readFile(path).find("\"launchesSinceLastCrash\": 5,"), std::string::npos);
}

TEST_F(AppStateTest, OtherVersionIsRejectedAndLogged) {
    zeltest::writeFile(path, R"({"version": 2, "launchesSinceLastCrash": 9})");
    const ChildEnd end = launch(path, [] {});
    EXPECT_NE(end.output.find("Expected version 1 but got 2"), std::string::npos) << end.output;
    EXPECT_NE(end.output.find(path + ", offset 13: Invalid data"), std::string::npos) << end.output;
    EXPECT_EQ(field(end, "launches"), "0");
}

TEST_F(AppStateTest, TransitionsAccumulateSessionsAndTimes) {
    const ChildEnd end = launch(path, [] {
        maydaystate_notifyAppInForeground(true);  // disabled: ignored
        enable();
        maydaystate_notifyAppActive(true);
        sleepMilliseconds(20);
        maydaystate_notifyAppActive(false);
        maydaystate_notifyAppInForeground(false);
        sleepMilliseconds(20);
        maydaystate_notifyAppInForeground(true);
        maydaystate_notifyAppInForeground(true);
    });
    ASSERT_TRUE(end.exited) << end.output;
    EXPECT_GE(std::stod(field(end, "active")), 0.02);
    EXPECT_EQ(field(end, "active"), field(end, "activeLaunch"));
    EXPECT_EQ(field(end, "isActive"), "0");
    // Entering the foreground twice counts two sessions, and the background time twice.
    EXPECT_EQ(field(end, "sinceLaunch"), "3");
    EXPECT_EQ(field(end, "sessions"), "3");
    EXPECT_GE(std::stod(field(end, "backgroundLaunch")), 0.04);
    // The move to the background saved; the returns to the foreground did not.
    EXPECT_NE(zeltest::readFile(path).find("\"sessionsSinceLastCrash\": 1\n"), std::string::npos);
}

TEST_F(AppStateTest, EventContextGetsTheRecordThroughTheFrame) {
    const ChildEnd end = launch(path, [] {
        mdcm_testing_reset();
        static Mayday_MonitorContext seen;
        mdcm_setEventHandler([](Mayday_MonitorContext* context) { seen = *context; });
        mdcm_selectMonitors(MaydayMonitorTypeApplicationState);
        maydaystate_notifyAppActive(true);
        Mayday_MonitorContext context{};
        mdcm_dispatchEvent(&context);
        const auto& a = seen.appState;
        const bool filled = a.launchesSinceLastCrash == 1 && a.sessionsSinceLaunch == 1 &&
                            a.sessionsSinceLastCrash == 1 && a.applicationIsActive && a.applicationIsInForeground &&
                            a.appStateTransitionTime == maydaystate_currentState()->appStateTransitionTime &&
                            a.appStateTransitionTime > 1e9;
        zeltest::put(filled ? "context filled\n" : "context differs\n");
    });
    EXPECT_NE(end.output.find("context filled\n"), std::string::npos) << end.output;
}

TEST_F(AppStateTest, SaveThatCannotCompleteKeepsTheOldFile) {
    // A directory where the temporary file goes: even root cannot replace it.
    zeltest::writeFile(path, kFirstLaunchFile);
    ASSERT_EQ(mkdir((path + ".tmp").c_str(), 0755), 0);
    ChildEnd end = launch(path, enable);
    EXPECT_NE(end.output.find("Could not open file " + path + ".tmp for writing: File exists"), std::string::npos)
        << end.output;
    EXPECT_EQ(field(end, "launches"), "2");
    EXPECT_EQ(zeltest::readFile(path), kFirstLaunchFile);
    ASSERT_EQ(rmdir((path + ".tmp").c_str()), 0);

    // Writes past 40 bytes fail with EFBIG, as they would on a full disk; a
    // temporary file left by an interrupted save is no obstacle.
    zeltest::writeFile(path + ".tmp", "left by an interrupted save");
    end = launch(path, [] {
        signal(SIGXFSZ, SIG_IGN);
        const struct rlimit limit = {40, 40};
        setrlimit(RLIMIT_FSIZE, &limit);
        enable();
        maydaystate_notifyAppCrash();
    });
    EXPECT_NE(end.output.find(path + ".tmp: Cannot add data: File too large"), std::string::npos) << end.output;
    EXPECT_EQ(field(end, "crashedThis"), "1");
    EXPECT_EQ(zeltest::readFile(path), kFirstLaunchFile);
    EXPECT_FALSE(zeltest::fileExists(path + ".tmp"));
}

TEST_F(AppStateTest, PathWhoseTemporaryNameCannotFitIsRefused) {
    // PATH_MAX bytes hold the path, ".tmp" and the terminator: one byte more is refused.
    const std::string fits = "/" + std::string(PATH_MAX - 6, 'a');
    const ChildEnd end = launch(fits, [&] {
        zeltest::put("-- longer --\n");
        maydaystate_initialize((fits + "a").c_str());
        enable();
    });
    const size_t longer = end.output.find("-- longer --\n");
    ASSERT_NE(longer, std::string::npos) << end.output;
    EXPECT_EQ(end.output.rfind("State file path too long", longer), std::string::npos) << end.output;
    EXPECT_NE(end.output.find("State file path too long (4092 bytes)", longer), std::string::npos) << end.output;
    EXPECT_EQ(end.output.find("Could not open file", longer), std::string::npos) << "nothing to save to";
    EXPECT_EQ(field(end, "launches"), "1");
}

void crashHandler(int signum) {
    maydaystate_notifyAppCrash();
    signal(signum, SIG_DFL);
    raise(signum);
}

TEST_F(AppStateTest, CountsCarryAcrossLaunchesAndACrashResetsThem) {
    ChildEnd end = launch(path, [] {
        enable();
        maydaystate_notifyAppInForeground(false);
        maydaystate_notifyAppInForeground(true);
        maydaystate_notifyAppTerminate();
    });
    EXPECT_EQ(field(end, "sessions"), "2");

    // The crash is recorded from a signal handler.
    end = launch(path, [] {
        enable();
        const std::string line = "\nstate: launches=" +
                                 std::to_string(maydaystate_currentState()->launchesSinceLastCrash) +
                                 " sessions=" + std::to_string(maydaystate_currentState()->sessionsSinceLastCrash);
        zeltest::put((line + "\n").c_str());
        signal(SIGABRT, crashHandler);
        abort();
    });
    EXPECT_EQ(end.signal, SIGABRT) << end.output;
    EXPECT_EQ(field(end, "launches"), "2");
    EXPECT_EQ(field(end, "sessions"), "3");
    EXPECT_NE(zeltest::readFile(path).find("\"crashedLastLaunch\": true,"), std::string::npos);
    // The crash swapped the files: the state before it is left under the
    // temporary name, whole.
    EXPECT_NE(zeltest::readFile(path + ".tmp").find("\"crashedLastLaunch\": false,"), std::string::npos);
    EXPECT_NE(zeltest::readFile(path + ".tmp").find("\"sessionsSinceLastCrash\": 3\n}"), std::string::npos);

    end = launch(path, enable);
    EXPECT_EQ(field(end, "crashedLast"), "1");
    EXPECT_EQ(field(end, "launches"), "1");
    EXPECT_EQ(field(end, "sessions"), "1");
    EXPECT_NE(zeltest::readFile(path).find("\"crashedLastLaunch\": false,"), std::string::npos);
    EXPECT_FALSE(zeltest::fileExists(path + ".tmp"));

    // With no state file to swap with, the crash's save still lands.
    end = launch(path, [&] {
        enable();
        unlink(path.c_str());
        maydaystate_notifyAppCrash();
    });
    EXPECT_EQ(end.output.find("Could not"), std::string::npos) << end.output;
    EXPECT_NE(zeltest::readFile(path).find("\"crashedLastLaunch\": true,"), std::string::npos);
    EXPECT_FALSE(zeltest::fileExists(path + ".tmp"));
}

}  // namespace
