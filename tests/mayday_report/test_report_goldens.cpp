// The readers over reports the real recorder made (tests/fixtures/reports,
// made by make_report_fixtures): every rendering matches its golden file
// (tools/update-report-goldens.sh writes them anew), the crash doctor's
// rules each meet the fixture made for them, and every Sentry event
// validates against the event schema.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "Mayday/Recording/MaydayReportReader.h"
#include "Mayday/Recording/Tools/MDJSONCodecObjC.h"
#include "tests/support/TempDir.h"
#include "tools/mayday-report/ReportCommands.h"

namespace fs = std::filesystem;
using platform::Value;

namespace {

const fs::path kFixtures = fs::path(ZEL_SOURCE_DIR) / "tests/fixtures/reports";
const fs::path kGoldens = fs::path(ZEL_SOURCE_DIR) / "tests/fixtures/goldens";
const char* const kStyleNames[] = {"unsymbolicated", "partial", "side-by-side", "symbolicated"};

std::vector<std::string> fixtureNames() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(kFixtures))
        if (entry.path().extension() == ".json") names.push_back(entry.path().stem().string());
    std::sort(names.begin(), names.end());
    return names;
}

Value readFixture(const std::string& name) {
    const MaydayReadReport read = maydayReadReportFile((kFixtures / (name + ".json")).string());
    EXPECT_FALSE(read.problem) << name << ": " << platform::describe(read.problem);
    return read.report;
}

std::string slurp(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string run(const std::string& command) {
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
        pclose(pipe);
    }
    return output;
}

// Empty when `actual` is the golden file's text; otherwise a unified diff.
std::string goldenDifference(const std::string& goldenName, const std::string& actual, const zeltest::TempDir& scratch) {
    const fs::path golden = kGoldens / goldenName;
    if (!fs::exists(golden)) return "missing golden file " + golden.string();
    if (slurp(golden) == actual) return "";
    const std::string actualPath = scratch.file(goldenName);
    zeltest::writeFile(actualPath, actual);
    return run("diff -u '" + golden.string() + "' '" + actualPath + "' 2>&1 | head -60");
}

class ReportGoldens : public ::testing::Test {
protected:
    // Crash times show in the local time zone.
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

TEST_F(ReportGoldens, EveryRenderingOfEveryFixtureMatchesItsGoldenFile) {
    const std::vector<std::string> names = fixtureNames();
    ASSERT_GE(names.size(), 8u);
    zeltest::TempDir scratch;
    for (const std::string& name : names) {
        const Value report = readFixture(name);
        ASSERT_TRUE(report.isDictionary()) << name;
        for (int style = 0; style < 4; style++) {
            EXPECT_EQ(goldenDifference(name + "." + kStyleNames[style] + ".txt",
                                       mayday_report::crashText(report, style), scratch),
                      "");
        }
        EXPECT_EQ(goldenDifference(name + ".diagnosis.txt", mayday_report::diagnosisText(report), scratch), "");
        EXPECT_EQ(goldenDifference(name + ".sentry.json", mayday_report::sentryEventText(report), scratch), "");
    }
}

TEST_F(ReportGoldens, EachDoctorRuleMeetsItsFixtureInOrder) {
    // The rules in the order the doctor tries them, with the fixture made to hit each.
    const std::pair<const char*, const char*> rules[] = {
        {"deadlock", "Main thread deadlocked in "},
        {"stack_overflow", "Stack overflow in "},
        {"platform_exception", "Application threw exception NSInvalidArgumentException: deepKey (\n) must contain"},
        {"memory_corruption", "Rogue memory write has corrupted memory."},
        {"math_error", "Math error (usually caused from division by 0)."},
        {"zombie_call", "Possible zombie in call: -[MaydayFixtureView setNeedsDisplay]"},
        {"mach_null_read", "Attempted to dereference null pointer."},
        {"mach_garbage_pointer", "Attempted to dereference garbage pointer 0xdeadbeef0."},
    };
    for (const auto& [fixture, expected] : rules) {
        const std::string diagnosis = readFixture(fixture)["crash"]["diagnosis"].stringValue();
        EXPECT_EQ(diagnosis.rfind(expected, 0), 0u) << fixture << ": " << diagnosis;
    }
    // A plain abort and a reported exception fit no rule.
    EXPECT_TRUE(readFixture("signal_abort")["crash"]["diagnosis"].isNil());
    EXPECT_TRUE(readFixture("user_reported")["crash"]["diagnosis"].isNil());
}

TEST_F(ReportGoldens, EveryFixturesEventValidatesAgainstTheSchema) {
    const fs::path schema = fs::path(ZEL_CONFORMANCE_DIR) / "sentry-schema/event.schema.json";
    if (!fs::exists(schema)) GTEST_SKIP() << "no Sentry event schema at " << schema << " (the conformance data is absent)";
    if (system("python3 -c 'import jsonschema' >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "python3 with jsonschema is not installed (Debian: python3-jsonschema)";
    zeltest::TempDir events;
    std::string files;
    for (const std::string& name : fixtureNames()) {
        const std::string path = events.file(name + ".json");
        zeltest::writeFile(path, mayday_report::sentryEventText(readFixture(name)));
        files += " '" + path + "'";
    }
    const std::string output = run("python3 '" ZEL_SOURCE_DIR "/tools/check_sentry_event.py' '" + schema.string() +
                                   "'" + files + " 2>&1; echo \"exit $?\"");
    EXPECT_NE(output.find("exit 0"), std::string::npos) << output;
}

}  // namespace

namespace {

TEST_F(ReportGoldens, ARecrashIsToldAsTheApplicationsCrashThenTheRecordersOwn) {
    const Value report = readFixture("recrash");
    const std::string embeddedID = report["recrash_report"]["report"]["id"].stringValue();
    ASSERT_EQ(report["report"]["type"].stringValue(), "minimal");

    const std::string text = mayday_report::crashText(report, 3);
    EXPECT_EQ(text.rfind("Incident Identifier: " + embeddedID + "\n", 0), 0u) << text.substr(0, 200);
    const size_t handler = text.find("\nHandler crashed while reporting:\n");
    ASSERT_NE(handler, std::string::npos);
    EXPECT_LT(text.find("zeltest::nullRead()"), handler);
    EXPECT_NE(text.find("faultInUserSection", handler), std::string::npos) << "the handler's own frames";

    EXPECT_EQ(mayday_report::diagnosisText(report).rfind("Attempted to dereference null pointer.", 0), 0u);

    const Value event = MDJSONCodec::decode([&] {
        const std::string json = mayday_report::sentryEventText(report);
        return Value::Bytes(json.begin(), json.end());
    }(), 0);
    std::string hex;
    for (char c : embeddedID)
        if (c != '-') hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(event["event_id"].stringValue(), hex);
    EXPECT_GT(event["debug_meta"]["images"].count(), 0u);
    EXPECT_EQ(event["extra"]["recorder_crash"]["error"]["address"].longLongValue(), 8);
    EXPECT_TRUE(report["recrash_report"]["extra"].isNil()) << "the event leaves the report as it was";
}

}  // namespace
