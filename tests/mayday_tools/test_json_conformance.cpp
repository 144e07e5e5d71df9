// Runs the mdjson tool over a public JSON parsing suite: nothing may crash
// or hang, every valid document must come back with the same values, and
// the invalid documents the decoder accepts must be exactly the known ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <dirent.h>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

#include "ChildProcess.h"
#include "TempDir.h"

namespace {

const std::string kSuiteDir = std::string(ZEL_CONFORMANCE_DIR) + "/json-test-suite/test_parsing";
const std::string kTool = std::string(ZEL_BINARY_DIR) + "/tools/mdjson/mdjson";
constexpr auto kTimeLimit = std::chrono::seconds(5);

// Valid documents whose top level is not an object or array. The codec takes
// only containers at the top (its documents are always objects or arrays),
// so these are refused by design.
const std::map<std::string, std::string> kScalarTopLevel = {
    {"y_string_space.json", "a string at the top level"},
    {"y_structure_lonely_false.json", "a boolean at the top level"},
    {"y_structure_lonely_int.json", "a number at the top level (also: a number ending the input never decodes)"},
    {"y_structure_lonely_negative_real.json", "a number at the top level (also: a number ending the input)"},
    {"y_structure_lonely_null.json", "null at the top level"},
    {"y_structure_lonely_string.json", "a string at the top level"},
    {"y_structure_lonely_true.json", "a boolean at the top level"},
    {"y_structure_string_empty.json", "a string at the top level"},
};

// Valid documents holding U+0000 in a string. The decoder hands strings to
// its callbacks NUL-terminated without a length, so such a string ends at
// the NUL: the document decodes, with the text cut there. The expected
// output is spelled out.
const std::map<std::string, std::string> kCutAtNul = {
    {"y_object_escaped_null_in_key.json", "{\"foo\":42}"},
    {"y_string_null_escape.json", "[\"\"]"},
};

// Invalid documents the decoder accepts, each for a designed leniency.
const std::map<std::string, std::string> kAcceptedInvalid = {
    {"n_array_1_true_without_comma.json", "commas are optional: entries separated only by whitespace"},
    {"n_array_inner_array_no_comma.json", "commas are optional: entries separated only by whitespace"},
    {"n_number_1_000.json", "commas are optional: entries separated only by whitespace"},
    {"n_array_extra_comma.json", "a trailing comma before the closing bracket is accepted"},
    {"n_array_number_and_comma.json", "a trailing comma before the closing bracket is accepted"},
    {"n_object_trailing_comma.json", "a trailing comma before the closing bracket is accepted"},
    {"n_array_comma_after_close.json", "input after the first element is not examined"},
    {"n_array_extra_close.json", "input after the first element is not examined"},
    {"n_object_trailing_comment.json", "input after the first element is not examined"},
    {"n_object_trailing_comment_open.json", "input after the first element is not examined"},
    {"n_object_trailing_comment_slash_open.json", "input after the first element is not examined"},
    {"n_object_trailing_comment_slash_open_incomplete.json", "input after the first element is not examined"},
    {"n_object_with_trailing_garbage.json", "input after the first element is not examined"},
    {"n_structure_array_trailing_garbage.json", "input after the first element is not examined"},
    {"n_structure_array_with_extra_array_close.json", "input after the first element is not examined"},
    {"n_structure_double_array.json", "input after the first element is not examined"},
    {"n_structure_object_followed_by_closing_object.json", "input after the first element is not examined"},
    {"n_structure_object_with_trailing_garbage.json", "input after the first element is not examined"},
    {"n_structure_trailing_#.json", "input after the first element is not examined"},
    {"n_number_-1.0..json", "a number is the run of number characters read as \"%lg\" reads it: the longest number it starts with counts"},
    {"n_number_-2..json", "a number is the run of number characters read as \"%lg\" reads it: the longest number it starts with counts"},
    {"n_number_0.1.2.json", "a number is the run of number characters read as \"%lg\" reads it: the longest number it starts with counts"},
    {"n_number_0.3e+.json", "a number is the run of number characters read as \"%lg\" reads it: the longest number it starts with counts"},
    {"n_number_0.3e.json", "a number is the run of number characters read as \"%lg\" reads it: the longest number it starts with counts"},
    {"n_number_0.e1.json", "a number is the run of number characters read as \"%lg\" reads it: the longest number it starts with counts"},
    {"n_number_0_capital_E+.json", "a number is the run of number characters read as \"%lg\" reads it: the longest number it starts with counts"},
    {"n_number_0_capital_E.json", "a number is the run of number characters read as \"%lg\" reads it: the longest number it starts with counts"},
    {"n_number_0e+.json", "a number is the run of number characters read as \"%lg\" reads it: the longest number it starts with counts"},
    {"n_number_0e.json", "a number is the run of number characters read as \"%lg\" reads it: the longest number it starts with counts"},
    {"n_number_1.0e+.json", "a number is the run of number characters read as \"%lg\" reads it: the longest number it starts with counts"},
    {"n_number_1.0e-.json", "a number is the run of number characters read as \"%lg\" reads it: the longest number it starts with counts"},
    {"n_number_1.0e.json", "a number is the run of number characters read as \"%lg\" reads it: the longest number it starts with counts"},
    {"n_number_1eE2.json", "a number is the run of number characters read as \"%lg\" reads it: the longest number it starts with counts"},
    {"n_number_2.e+3.json", "a number is the run of number characters read as \"%lg\" reads it: the longest number it starts with counts"},
    {"n_number_2.e-3.json", "a number is the run of number characters read as \"%lg\" reads it: the longest number it starts with counts"},
    {"n_number_2.e3.json", "a number is the run of number characters read as \"%lg\" reads it: the longest number it starts with counts"},
    {"n_number_9.e+.json", "a number is the run of number characters read as \"%lg\" reads it: the longest number it starts with counts"},
    {"n_number_expression.json", "a number is the run of number characters read as \"%lg\" reads it: the longest number it starts with counts"},
    {"n_number_invalid+-.json", "a number is the run of number characters read as \"%lg\" reads it: the longest number it starts with counts"},
    {"n_number_real_without_fractional_part.json", "a number is the run of number characters read as \"%lg\" reads it: the longest number it starts with counts"},
    {"n_number_-01.json", "digits are accumulated as they come, so leading zeros are accepted"},
    {"n_number_neg_int_starting_with_zero.json", "digits are accumulated as they come, so leading zeros are accepted"},
    {"n_number_with_leading_zero.json", "digits are accumulated as they come, so leading zeros are accepted"},
    {"n_string_unescaped_newline.json", "raw control bytes inside strings are accepted as they are"},
    {"n_string_unescaped_tab.json", "raw control bytes inside strings are accepted as they are"},
    {"n_object_lone_continuation_byte_in_key_and_trailing_comma.json",
     "a trailing comma before the closing bracket is accepted; and string bytes are not checked for UTF-8"},
    {"n_string_unescaped_ctrl_char.json", "raw control bytes inside strings are accepted as they are (the raw NUL then ends the string)"},
    {"n_structure_whitespace_formfeed.json", "form feed and vertical tab count as whitespace"},
};

// Accepted documents whose output is not UTF-8 (the decoder passes bytes through), with the output.
const std::map<std::string, std::string> kNotUTF8 = {
    {"n_object_lone_continuation_byte_in_key_and_trailing_comma.json", "{\"\xB9\":\"0\"}\n"},
};

std::vector<std::string> suiteFiles() {
    std::vector<std::string> names;
    DIR* dir = opendir(kSuiteDir.c_str());
    if (!dir) return names;
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0) names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// Structural equality with numbers compared as doubles: the encoder writes
// six significant digits.
bool sameValues(const nlohmann::json& a, const nlohmann::json& b, std::string& where) {
    if (a.is_number() && b.is_number()) {
        const double x = a.get<double>(), y = b.get<double>();
        if (x == y) return true;
        if (std::isinf(x) || std::isinf(y) || std::fabs(x - y) > 1e-5 * std::max(std::fabs(x), std::fabs(y))) {
            where = a.dump() + " vs " + b.dump();
            return false;
        }
        return true;
    }
    if (a.type() != b.type()) {
        where = a.dump() + " vs " + b.dump();
        return false;
    }
    if (a.is_array()) {
        if (a.size() != b.size()) {
            where = "array sizes " + std::to_string(a.size()) + " vs " + std::to_string(b.size());
            return false;
        }
        for (size_t i = 0; i < a.size(); ++i) {
            if (!sameValues(a[i], b[i], where)) return false;
        }
        return true;
    }
    if (a.is_object()) {
        if (a.size() != b.size()) {
            where = "object sizes " + std::to_string(a.size()) + " vs " + std::to_string(b.size());
            return false;
        }
        for (auto it = a.begin(); it != a.end(); ++it) {
            if (!b.contains(it.key())) {
                where = "missing key " + it.key();
                return false;
            }
            if (!sameValues(it.value(), b.at(it.key()), where)) return false;
        }
        return true;
    }
    if (a != b) {
        where = a.dump() + " vs " + b.dump();
        return false;
    }
    return true;
}

class JSONConformance : public ::testing::Test {
protected:
    void SetUp() override {
        if (suiteFiles().empty()) GTEST_SKIP() << "the JSON parsing suite is not at " << kSuiteDir;
        if (access(kTool.c_str(), X_OK) != 0) GTEST_SKIP() << "the mdjson tool is not built at " << kTool;
    }

    static zeltest::ChildResult run(const std::string& name, bool pretty = false) {
        std::vector<std::string> argv = {kTool};
        if (pretty) argv.push_back("--pretty");
        argv.push_back(kSuiteDir + "/" + name);
        return zeltest::runChild(argv, {}, kTimeLimit);
    }

    // No signal, no time-out, one of the two documented exit statuses.
    static void expectOrderlyExit(const std::string& name, const zeltest::ChildResult& r) {
        EXPECT_FALSE(r.timedOut) << name << " timed out";
        EXPECT_EQ(r.signal, 0) << name << " was killed by signal " << r.signal;
        EXPECT_TRUE(r.exited && (r.exitStatus == 0 || r.exitStatus == 1))
            << name << " exit " << r.exitStatus << ": " << r.err;
    }
};

}  // namespace

TEST_F(JSONConformance, ValidDocumentsDecodeToTheSameValues) {
    int checked = 0;
    for (const std::string& name : suiteFiles()) {
        if (name.rfind("y_", 0) != 0) continue;
        SCOPED_TRACE(name);
        for (bool pretty : {false, true}) {
            const zeltest::ChildResult r = run(name, pretty);
            expectOrderlyExit(name, r);
            if (kScalarTopLevel.count(name)) {
                EXPECT_EQ(r.exitStatus, 1) << "expected refusal (" << kScalarTopLevel.at(name) << ")";
                EXPECT_FALSE(r.err.empty());
                continue;
            }
            ASSERT_EQ(r.exitStatus, 0) << r.err;
            ASSERT_FALSE(r.out.empty());
            EXPECT_EQ(r.out.back(), '\n');
            const nlohmann::json output = nlohmann::json::parse(r.out, nullptr, false);
            ASSERT_FALSE(output.is_discarded()) << "output is not JSON: " << r.out;
            const auto cut = kCutAtNul.find(name);
            const nlohmann::json expected =
                cut != kCutAtNul.end() ? nlohmann::json::parse(cut->second)
                                       : nlohmann::json::parse(zeltest::readFile(kSuiteDir + "/" + name));
            std::string where;
            EXPECT_TRUE(sameValues(expected, output, where)) << where << "\noutput: " << r.out;
            ++checked;
        }
    }
    EXPECT_GE(checked, 2 * 80);
}

TEST_F(JSONConformance, InvalidDocumentsAreRefusedExceptTheKnownLeniencies) {
    std::set<std::string> accepted;
    for (const std::string& name : suiteFiles()) {
        if (name.rfind("n_", 0) != 0) continue;
        const zeltest::ChildResult r = run(name);
        expectOrderlyExit(name, r);
        if (r.exited && r.exitStatus == 0) {
            accepted.insert(name);
            // What is accepted is still written out as valid JSON.
            if (kNotUTF8.count(name)) {
                EXPECT_EQ(r.out, kNotUTF8.at(name));
            } else {
                EXPECT_FALSE(nlohmann::json::parse(r.out, nullptr, false).is_discarded())
                    << name << " gave " << r.out;
            }
        } else if (r.exited && r.exitStatus == 1) {
            EXPECT_TRUE(r.out.empty()) << name;
            EXPECT_NE(r.err.find("mdjson: "), std::string::npos) << name;
        }
    }
    std::set<std::string> expected;
    for (const auto& [name, reason] : kAcceptedInvalid) expected.insert(name);
    for (const std::string& name : accepted) {
        EXPECT_TRUE(expected.count(name)) << name << " was accepted but is not listed";
    }
    for (const std::string& name : expected) {
        EXPECT_TRUE(accepted.count(name)) << name << " is listed (" << kAcceptedInvalid.at(name)
                                          << ") but was refused";
    }
}

TEST_F(JSONConformance, ImplementationDefinedDocumentsNeitherCrashNorHang) {
    int ran = 0;
    for (const std::string& name : suiteFiles()) {
        if (name.rfind("i_", 0) != 0) continue;
        for (bool pretty : {false, true}) {
            const zeltest::ChildResult r = run(name, pretty);
            expectOrderlyExit(name, r);
            ++ran;
        }
    }
    EXPECT_GT(ran, 0);
}

TEST(MdjsonTool, UsageErrorsAndStandardInput) {
    if (access(kTool.c_str(), X_OK) != 0) GTEST_SKIP() << "the mdjson tool is not built at " << kTool;
    EXPECT_EQ(zeltest::runChild({kTool}, {}, kTimeLimit).exitStatus, 2);
    EXPECT_EQ(zeltest::runChild({kTool, "--bogus", "x"}, {}, kTimeLimit).exitStatus, 2);
    EXPECT_EQ(zeltest::runChild({kTool, "a", "b"}, {}, kTimeLimit).exitStatus, 2);

    zeltest::TempDir dir;
    const zeltest::ChildResult missing = zeltest::runChild({kTool, dir.file("absent.json")}, {}, kTimeLimit);
    EXPECT_EQ(missing.exitStatus, 1);
    EXPECT_NE(missing.err.find("absent.json"), std::string::npos);

    zeltest::writeFile(dir.file("doc.json"), "{\"b\": [1, 2.5, \"x\"], \"a\": {}} trailing");
    const zeltest::ChildResult compact = zeltest::runChild({kTool, dir.file("doc.json")}, {}, kTimeLimit);
    EXPECT_EQ(compact.exitStatus, 0) << compact.err;
    EXPECT_EQ(compact.out, "{\"a\":{},\"b\":[1,2.5,\"x\"]}\n");
    const zeltest::ChildResult pretty = zeltest::runChild({kTool, "-p", dir.file("doc.json")}, {}, kTimeLimit);
    EXPECT_EQ(pretty.out, "{\n    \"a\": {},\n    \"b\": [\n        1,\n        2.5,\n        \"x\"\n    ]\n}\n");

    zeltest::writeFile(dir.file("bad.json"), "[1, }");
    const zeltest::ChildResult bad = zeltest::runChild({kTool, dir.file("bad.json")}, {}, kTimeLimit);
    EXPECT_EQ(bad.exitStatus, 1);
    EXPECT_TRUE(bad.out.empty());
    EXPECT_NE(bad.err.find("Invalid character (offset 4)"), std::string::npos) << bad.err;

    // "-" reads standard input, which runChild connects to /dev/null: empty input.
    const zeltest::ChildResult empty = zeltest::runChild({kTool, "-"}, {}, kTimeLimit);
    EXPECT_EQ(empty.exitStatus, 1);
    EXPECT_NE(empty.err.find("Incomplete data (offset 0)"), std::string::npos) << empty.err;
}
