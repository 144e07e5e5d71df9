// The report store: file names, listing and pruning, reading and adding
// reports, and report files created from a crashed process or by two
// processes at once. The store is process-wide: every case initialises it
// afresh on a directory of its own, and the crash and resource-limit cases
// run in forked children.
#include <gtest/gtest.h>

#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "CrashChild.h"
#include "DeliberateFault.h"
#include "Mayday/Recording/MaydayReportStore.h"
#include "StdoutCapture.h"
#include "TempDir.h"

namespace {

using zeltest::fileExists;
using zeltest::readFile;
using zeltest::writeFile;

std::string reportName(int64_t id, const std::string& app = "App") {
    char name[100];
    snprintf(name, sizeof(name), "%s-report-%016" PRIx64 ".json", app.c_str(), static_cast<uint64_t>(id));
    return name;
}

int64_t idOfPath(const std::string& path) {
    int64_t id = 0;
    return mdcrs_reportIDFromFileName(path.substr(path.rfind('/') + 1).c_str(), &id) ? id : -1;
}

// What `body` logs, read after the capture ends so that failures stay visible.
template <typename Body> std::string logOf(Body body) {
    zeltest::StdoutCapture log;
    body();
    return log.finish();
}

std::vector<int64_t> storedIDs() {
    std::vector<int64_t> ids(static_cast<size_t>(mdcrs_getReportCount()) + 1);
    ids.resize(static_cast<size_t>(mdcrs_getReportIDs(ids.data(), static_cast<int>(ids.size()))));
    return ids;
}

class ReportStore : public ::testing::Test {
protected:
    void SetUp() override { start(); }
    void start(const char* app = "App", int maxReports = 5) {
        mdcrs_setMaxReportCount(maxReports);
        ASSERT_TRUE(mdcrs_initialize(app, dir.path().c_str()));
    }
    std::string nextPath() {
        char path[MDCRS_MAX_PATH_LENGTH];
        mdcrs_getNextCrashReportPath(path);
        return path;
    }
    zeltest::TempDir dir;
};

TEST_F(ReportStore, NamesHoldSixteenLowerCaseHexDigitsAndConsecutiveIdentifiers) {
    const std::string first = nextPath(), second = nextPath();
    EXPECT_EQ(first.substr(0, dir.path().size() + 12), dir.path() + "/App-report-");
    ASSERT_GT(idOfPath(first), 0) << first;
    EXPECT_EQ(idOfPath(second), idOfPath(first) + 1);
    writeFile(dir.file("App-report-0000000000001a2b.json"), "six thousand");
    char* text = mdcrs_readReport(6699);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "six thousand");
    free(text);
}

TEST_F(ReportStore, OnlyExactReportNamesOfThisAppAreCountedListedAndPruned) {
    const char* strangers[] = {
        "App-report-0000000000000000.json", "Other-report-0000000000000003.json", "App-report-0000000000000004.old",
        "App-report-0000000000000005.jsonjunk", "App-report-00000000000000A6.json", "App-report-000000000000007.json",
        "App-report-00000000000000008.json", "XApp-report-0000000000000009.json", "App-report-ffffffffffffffff.json"};
    for (const char* name : strangers) writeFile(dir.file(name), "{}");
    for (int64_t id : {0x30, 0x10, 0x20}) writeFile(dir.file(reportName(id)), "{}");
    start("App", 1);
    EXPECT_EQ(mdcrs_getReportCount(), 1);
    EXPECT_EQ(storedIDs(), std::vector<int64_t>{0x30});
    for (const char* name : strangers) EXPECT_TRUE(fileExists(dir.file(name))) << name;

    // A '%' is plain text in a name, not a conversion.
    writeFile(dir.file(reportName(0x2a, "50%d")), "{}");
    writeFile(dir.file(reportName(0x2b, "507")), "{}");
    start("50%d");
    EXPECT_EQ(storedIDs(), std::vector<int64_t>{0x2a});
}

TEST_F(ReportStore, PruningKeepsTheNewestAndListingIsAscending) {
    const std::vector<int64_t> ids = {0x7000, 0x1000, 0x6000, 0x2000, 0x5000, 0x3000, 0x4000};
    for (int64_t id : ids) writeFile(dir.file(reportName(id)), "{}");
    start();
    EXPECT_EQ(storedIDs(), (std::vector<int64_t>{0x3000, 0x4000, 0x5000, 0x6000, 0x7000}));
    EXPECT_FALSE(fileExists(dir.file(reportName(0x1000))));
    int64_t oldest[2] = {0, 0};
    ASSERT_EQ(mdcrs_getReportIDs(oldest, 2), 2);
    EXPECT_EQ(oldest[0], 0x3000);
    EXPECT_EQ(oldest[1], 0x4000);

    mdcrs_deleteAllReports();
    EXPECT_EQ(mdcrs_getReportCount(), 0);
    EXPECT_TRUE(fileExists(dir.path()));
}

TEST_F(ReportStore, ReadsLargeReportsWholeAndRefusesOversizedOnes) {
    std::string big(3000000, 'x');
    big.front() = '{';
    big.back() = '}';
    writeFile(dir.file(reportName(1)), big);
    char* text = mdcrs_readReport(1);
    ASSERT_NE(text, nullptr);
    EXPECT_TRUE(text == big) << "the report was not read whole";
    free(text);

    const std::string huge = dir.file(reportName(2));
    writeFile(huge, "");
    ASSERT_EQ(truncate(huge.c_str(), 64LL * 1024 * 1024 + 1), 0);
    char* refused = nullptr;
    const std::string logged = logOf([&] { refused = mdcrs_readReport(2); });
    EXPECT_EQ(refused, nullptr);
    EXPECT_NE(logged.find("is 67108865 bytes, more than the 67108864 bytes"), std::string::npos) << logged;
    EXPECT_EQ(mdcrs_readReport(3), nullptr);
}

TEST_F(ReportStore, NewReportsSkipFilesThatExistAlready) {
    const int64_t next = idOfPath(nextPath()) + 1;
    writeFile(dir.file(reportName(next)), "someone else's");
    writeFile(dir.file(reportName(next + 1)), "someone else's");
    const std::string user = "{\"user\":true}";
    const int64_t userID = mdcrs_addUserReport(user.data(), static_cast<int>(user.size()));
    EXPECT_EQ(userID, next + 2);
    EXPECT_EQ(readFile(dir.file(reportName(userID))), user);
    EXPECT_EQ(readFile(dir.file(reportName(next))), "someone else's");

    writeFile(dir.file(reportName(userID + 1)), "taken");
    char path[MDCRS_MAX_PATH_LENGTH];
    const int fd = mdcrs_openNextCrashReport(path);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(idOfPath(path), userID + 2);
    EXPECT_EQ(readFile(dir.file(reportName(userID + 1))), "taken");

    for (int64_t id = userID + 3; id < userID + 1003; id++) writeFile(dir.file(reportName(id)), "");
    int none = 0;
    const std::string logged = logOf([&] { none = mdcrs_openNextCrashReport(path); });
    EXPECT_EQ(none, -1);
    EXPECT_EQ(idOfPath(path), userID + 1002);
    EXPECT_NE(logged.find("1000 names"), std::string::npos) << logged;
}

TEST_F(ReportStore, AUserReportThatCannotBeWrittenLeavesNoFile) {
    // Root ignores permissions but not the file size limit.
    const zeltest::ChildEnd end = zeltest::runInChild([] {
        dup2(zeltest::g_reportFd, STDOUT_FILENO);  // the limit would cut a log file too, not a pipe
        signal(SIGXFSZ, SIG_IGN);
        const struct rlimit limit = {10, 10};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(2);
        const std::string text(100, 'x');
        if (mdcrs_addUserReport(text.data(), 100) != 0) _exit(3);
    });
    EXPECT_TRUE(end.exited && end.exitStatus == 0) << end.exitStatus << " signal " << end.signal;
    EXPECT_EQ(mdcrs_getReportCount(), 0);
    EXPECT_NE(end.output.find("Could not write to file"), std::string::npos) << end.output;

    ASSERT_EQ(rmdir(dir.path().c_str()), 0);
    int64_t id = -1;
    const std::string logged = logOf([&] { id = mdcrs_addUserReport("{}", 2); });
    EXPECT_EQ(id, 0);
    EXPECT_NE(logged.find("Could not open file"), std::string::npos) << logged;
}

TEST_F(ReportStore, RefusesPathsThatWouldNotFitAndThenDoesNothing) {
    // "/" + "App" + "-report-" + 16 digits + ".json" + NUL take 34 bytes.
    std::string fits = dir.path();
    while (fits.size() < MDCRS_MAX_PATH_LENGTH - 34) fits += fits.size() % 100 ? "d" : "/";
    EXPECT_TRUE(mdcrs_initialize("App", fits.c_str()));
    EXPECT_EQ(nextPath().size(), MDCRS_MAX_PATH_LENGTH - 1u);
    EXPECT_FALSE(mdcrs_initialize("App", (fits + "d").c_str()));
    EXPECT_FALSE(mdcrs_initialize(nullptr, dir.path().c_str()));

    char path[MDCRS_MAX_PATH_LENGTH] = "unchanged";
    mdcrs_getNextCrashReportPath(path);
    EXPECT_STREQ(path, "");
    EXPECT_EQ(mdcrs_openNextCrashReport(path), -1);
    EXPECT_EQ(mdcrs_addUserReport("{}", 2), 0);
    EXPECT_EQ(mdcrs_getReportCount(), 0);
    EXPECT_FALSE(mdcrs_reportIDFromFileName(reportName(1).c_str(), nullptr));
}

char g_crashPath[MDCRS_MAX_PATH_LENGTH];

void writeReportAndExit(int) {
    const int fd = mdcrs_openNextCrashReport(g_crashPath);
    if (fd < 0 || write(fd, "{\"crashed\":1}", 13) != 13) _exit(3);
    close(fd);
    _exit(0);
}

TEST_F(ReportStore, ACrashedProcessGetsItsReportFile) {
    const zeltest::ChildEnd end = zeltest::runInChild([] {
        struct sigaction action = {};
        action.sa_handler = writeReportAndExit;
        sigaction(SIGSEGV, &action, nullptr);
        zeltest::readAddress(8);
        _exit(2);
    });
    EXPECT_TRUE(end.exited && end.exitStatus == 0) << end.exitStatus << " signal " << end.signal;
    const std::vector<int64_t> ids = storedIDs();
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_EQ(readFile(dir.file(reportName(ids[0]))), "{\"crashed\":1}");
}

TEST_F(ReportStore, TwoProcessesStartedTogetherBothKeepTheirReports) {
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    pid_t children[2];
    for (pid_t& child : children) {
        child = fork();
        if (child == 0) {
            close(gate[1]);
            char byte;
            if (read(gate[0], &byte, 1) != 0) _exit(2);  // released together when the gate closes
            if (!mdcrs_initialize("App", dir.path().c_str())) _exit(3);
            char path[MDCRS_MAX_PATH_LENGTH];
            const int fd = mdcrs_openNextCrashReport(path);
            const std::string pid = std::to_string(getpid());
            if (fd < 0 || write(fd, pid.data(), pid.size()) != static_cast<ssize_t>(pid.size())) _exit(4);
            _exit(0);
        }
    }
    close(gate[0]);
    close(gate[1]);
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    std::string found;
    for (int64_t id : storedIDs()) found += readFile(dir.file(reportName(id))) + " ";
    for (pid_t child : children) EXPECT_NE(found.find(std::to_string(child) + " "), std::string::npos) << found;
}

}  // namespace
