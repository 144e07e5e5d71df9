// The report fix-up: report timestamps become UTC text, symbol names at the
// backtrace and exception paths are demangled, everything else comes out as
// it went in (pretty-printed), and undecodable input fails with a log line.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "Mayday/Recording/MaydayReportFixer.h"
#include "StdoutCapture.h"

namespace {

const char* const kFailed = "<failed>";

std::string fixup(const std::string& report) {
    char* fixed = mdcrf_fixupCrashReport(report.c_str());
    if (fixed == nullptr) return kFailed;
    std::string text = fixed;
    free(fixed);
    return text;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(ReportFixer, ConvertsReportTimestampsAndKeepsEverythingElse) {
    EXPECT_EQ(fixup(R"({"report":{"timestamp":0,"id":"x"},"user":{"timestamp":5,"f":1.5,"ok":true,)"
                    R"("n":null,"list":[1,"two",[]]},"timestamp":7})"),
              "{\n"
              "    \"report\": {\n"
              "        \"timestamp\": \"1970-01-01T00:00:00Z\",\n"
              "        \"id\": \"x\"\n"
              "    },\n"
              "    \"user\": {\n"
              "        \"timestamp\": 5,\n"
              "        \"f\": 1.5,\n"
              "        \"ok\": true,\n"
              "        \"n\": null,\n"
              "        \"list\": [\n"
              "            1,\n"
              "            \"two\",\n"
              "            []\n"
              "        ]\n"
              "    },\n"
              "    \"timestamp\": 7\n"
              "}");
    EXPECT_TRUE(contains(fixup(R"({"recrash_report":{"report":{"timestamp":86400}}})"), "\"1970-01-02T00:00:00Z\""));
    // Rules match whole paths only, neither their prefixes nor deeper copies.
    EXPECT_TRUE(contains(fixup(R"({"report":5})"), "\"report\": 5"));
    EXPECT_TRUE(contains(fixup(R"({"x":{"report":{"timestamp":1}}})"), "\"timestamp\": 1"));
}

TEST(ReportFixer, DemanglesOnlyMangledNamesAtBacktraceAndExceptionPaths) {
    const std::string fixed = fixup(
        R"({"crash":{"threads":[{"backtrace":{"contents":[{"symbol_name":"_Z3fooi"},{"symbol_name":"main"},)"
        R"({"symbol_name":"i"},{"symbol_name":"_Z!bad"}]}}],)"
        R"("crashed_thread":{"backtrace":{"contents":[{"symbol_name":"_Z3bard"}]}},)"
        R"("error":{"cpp_exception":{"name":"St13runtime_error"}}},)"
        R"("recrash_report":{"crash":{"threads":[{"backtrace":{"contents":[{"symbol_name":"_Z3bazv"}]}}],)"
        R"("error":{"cpp_exception":{"name":"i"}}}},"symbol_name":"_Z3quxv"})");
    EXPECT_TRUE(contains(fixed, "\"symbol_name\": \"foo(int)\"")) << fixed;
    EXPECT_TRUE(contains(fixed, "\"symbol_name\": \"main\""));
    EXPECT_TRUE(contains(fixed, "\"symbol_name\": \"i\""));  // a C function, not the type int
    EXPECT_TRUE(contains(fixed, "\"symbol_name\": \"_Z!bad\""));
    EXPECT_TRUE(contains(fixed, "\"symbol_name\": \"_Z3bard\""));
    EXPECT_TRUE(contains(fixed, "\"name\": \"std::runtime_error\""));
    EXPECT_TRUE(contains(fixed, "\"symbol_name\": \"baz()\""));
    EXPECT_TRUE(contains(fixed, "\"name\": \"int\""));  // exception names are types
    EXPECT_TRUE(contains(fixed, "\"symbol_name\": \"_Z3quxv\""));
}

TEST(ReportFixer, HandlesOutputsAndTokensBeyondFixedSizes) {
    std::string compact = "[";
    for (int i = 0; i < 2000; i++) compact += "[1,2],";
    compact += "[]]";
    const std::string fixed = fixup(compact);
    ASSERT_NE(fixed, kFailed);
    EXPECT_GT(fixed.size(), compact.size() * 3);
    EXPECT_EQ(fixup(fixed), fixed);

    const std::string name(5000, 'n'), value(20000, 'v');
    EXPECT_TRUE(contains(fixup("{\"" + name + "\":\"" + value + "\"}"), "\"" + name + "\": \"" + value + "\""));
}

TEST(ReportFixer, FailsOnUndecodableInputWithTheReason) {
    EXPECT_EQ(mdcrf_fixupCrashReport(nullptr), nullptr);
    zeltest::StdoutCapture log;
    const std::string empty = fixup(""), cut = fixup(R"({"report":{"timestamp":)");
    const std::string deepest = fixup(std::string(100, '[') + std::string(100, ']'));
    const std::string tooDeep = fixup(std::string(101, '[') + std::string(101, ']'));
    const std::string logged = log.finish();
    EXPECT_EQ(empty, kFailed);
    EXPECT_EQ(cut, kFailed);
    EXPECT_NE(deepest, kFailed);
    EXPECT_EQ(tooDeep, kFailed);
    EXPECT_TRUE(contains(logged, "Could not decode report: Incomplete data")) << logged;
    EXPECT_TRUE(contains(logged, "Could not decode report: Data too long")) << logged;
}

}  // namespace
