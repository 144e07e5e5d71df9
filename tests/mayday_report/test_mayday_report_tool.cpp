// The mayday-report command on stored reports: a real one, and broken ones
// that must give a clear message and exit status 1, never a crash.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sys/wait.h>

#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

struct Result {
    int status = -1;  // exit status, or -1 when ended by a signal
    std::string out;
    std::string err;
};

Result runTool(const std::string& arguments, const zeltest::TempDir& scratch) {
    const std::string out = scratch.file("tool.out");
    const std::string err = scratch.file("tool.err");
    const std::string command = "TZ=UTC '" ZEL_BINARY_DIR "/tools/mayday-report/mayday-report' " + arguments + " >'" +
                                out + "' 2>'" + err + "'";
    const int raw = system(command.c_str());
    Result result;
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.out = zeltest::readFile(out);
    result.err = zeltest::readFile(err);
    return result;
}

std::string fixture(const std::string& name) {
    return zeltest::readFile(std::string(ZEL_SOURCE_DIR) + "/tests/fixtures/reports/" + name + ".json");
}

class MaydayReportTool : public ::testing::Test {
protected:
    zeltest::TempDir caches;
    zeltest::TempDir scratch;
    std::string reports;
    void SetUp() override {
        reports = caches.path() + "/Mayday/Shop/Reports";
        fs::create_directories(reports);
        setenv("XDG_CACHE_HOME", caches.path().c_str(), 1);
    }
    void store(const std::string& id, const std::string& text) {
        zeltest::writeFile(reports + "/Shop-report-" + id + ".json", text);
    }
};

TEST_F(MaydayReportTool, ListsAndShowsARealReport) {
    const std::string text = fixture("mach_null_read");
    store("00000000000000a2", fixture("cpp_exception"));
    store("00000000000000a1", text);

    const Result list = runTool("list", scratch);
    EXPECT_EQ(list.status, 0) << list.err;
    const size_t older = list.out.find("00000000000000a1");
    const size_t newer = list.out.find("00000000000000a2");
    ASSERT_NE(older, std::string::npos) << list.out;
    EXPECT_LT(older, newer) << "newest last";
    EXPECT_NE(list.out.find("mach"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("Attempted to dereference null pointer."), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("the flux capacitor"), std::string::npos) << list.out;
    EXPECT_EQ(list.out.find("INFO"), std::string::npos) << "log lines stay off standard output";
    EXPECT_EQ(runTool("list Shop", scratch).out, list.out);

    const Result show = runTool("show a1", scratch);
    EXPECT_EQ(show.status, 0) << show.err;
    EXPECT_NE(show.out.find("\"diagnosis\": \"Attempted to dereference null pointer.\\n"), std::string::npos);
    EXPECT_NE(show.out.find("\"timestamp\": \"20"), std::string::npos) << "timestamps are fixed up";

    const Result crashText = runTool("text 0xa1 --style unsymbolicated", scratch);
    EXPECT_EQ(crashText.status, 0) << crashText.err;
    EXPECT_NE(crashText.out.find("Exception Type:  EXC_BAD_ACCESS (SIGSEGV)"), std::string::npos) << crashText.out;
    EXPECT_EQ(runTool("diagnose a1", scratch).out,
              "Attempted to dereference null pointer.\nOriginated at or in a subcall of zeltest::nullRead()\n");
    const Result event = runTool("--dir '" + reports + "' sentry a1", scratch);
    EXPECT_EQ(event.status, 0) << event.err;
    EXPECT_NE(event.out.find("\"exception\""), std::string::npos) << event.out;
}

TEST_F(MaydayReportTool, BrokenReportsGiveAClearMessageAndStatusOne) {
    const std::string text = fixture("signal_abort");
    store("00000000000000b1", text.substr(0, text.size() / 2));              // cut short by a crash
    store("00000000000000b2", "this is not JSON");
    store("00000000000000b3", R"({"report": 5, "crash": {"threads": "x", "error": [], "diagnosis": 3},)"
                              R"( "binary_images": {"a": 1}, "system": [1], "recrash_report": "no"})");
    store("00000000000000b4", "[1, 2, 3]");
    store("00000000000000b5", R"({"report": {"id": "x"}, "crash": {"error": {"reason": "red\u001b[31m\nrest"}}})");

    const Result list = runTool("list", scratch);
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find("00000000000000b1"), std::string::npos);
    EXPECT_NE(list.out.find("[damaged]"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("[unreadable]"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("red [31m rest"), std::string::npos) << "one line, no terminal controls: " << list.out;

    for (const char* command : {"show", "text", "diagnose", "sentry"}) {
        const Result truncated = runTool(std::string(command) + " b1", scratch);
        EXPECT_EQ(truncated.status, 1) << command;
        EXPECT_NE(truncated.err.find("The report is damaged"), std::string::npos) << command << truncated.err;
        EXPECT_FALSE(truncated.out.empty()) << command << ": what could be read is still shown";

        const Result notJSON = runTool(std::string(command) + " b2", scratch);
        EXPECT_EQ(notJSON.status, 1) << command;
        EXPECT_NE(notJSON.err.find("Not a crash report"), std::string::npos) << command << notJSON.err;

        const Result wrongTypes = runTool(std::string(command) + " b3", scratch);
        EXPECT_EQ(wrongTypes.status, 0) << command << wrongTypes.err;  // whole JSON: shown, nothing thrown

        EXPECT_EQ(runTool(std::string(command) + " b4", scratch).status, 1) << command;
        const Result missing = runTool(std::string(command) + " ffff", scratch);
        EXPECT_EQ(missing.status, 1) << command;
        EXPECT_NE(missing.err.find("no report ffff"), std::string::npos) << missing.err;
    }
    EXPECT_EQ(runTool("show /nonexistent/report.json", scratch).status, 1);
    EXPECT_EQ(runTool("text b1 --style sideways", scratch).status, 2);
    EXPECT_EQ(runTool("frobnicate", scratch).status, 2);
}

}  // namespace
