// Events of hand-made reports checked against Sentry's event schema by
// tools/check_sentry_event.py.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "ChildProcess.h"
#include "TempDir.h"
#include "platform/foundation/JSONSerialization.h"
#include "sentry/SentryEvent.h"

using platform::JSONSerialization;
using platform::Value;

namespace {

const std::filesystem::path kRepo = std::filesystem::absolute(__FILE__).parent_path().parent_path().parent_path();
const std::filesystem::path kSchema = kRepo / ".." / "shared" / "conformance" / "sentry-schema" / "event.schema.json";
const std::filesystem::path kChecker = kRepo / "tools" / "check_sentry_event.py";

std::string python3() {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        const std::filesystem::path candidate = std::filesystem::path(folder) / "python3";
        if (!folder.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

const char* const kImages = R"("binary_images": [
  {"image_addr": 4096, "image_size": 4096, "image_vmaddr": 0, "name": "/opt/demo/bin/demo",
   "uuid": "00112233-4455-6677-8899-AABBCCDDEEFF", "build_id": "00112233445566778899aabbccddeeff01020304"},
  {"image_addr": -4096, "image_size": 4096, "name": "/usr/lib/libc.so.6", "uuid": null}])";

const char* const kSystem = R"("system": {"system_name": "Linux", "system_version": "6.18", "machine": "x86_64",
  "model": null, "jailbroken": false, "CFBundleName": "Demo", "CFBundleVersion": "120",
  "CFBundleExecutablePath": "/opt/demo/bin/demo"})";

const char* const kThreads = R"("threads": [
  {"index": 0, "crashed": false, "current_thread": true, "name": "main",
   "backtrace": {"contents": [{"instruction_addr": -1, "symbol_name": "poll"}], "skipped": 2}},
  {"index": 1, "crashed": true, "current_thread": false,
   "registers": {"basic": {"rip": 4100, "r10": -1, "r11": 1.8e19}},
   "backtrace": {"contents": [{"instruction_addr": 4100, "symbol_addr": 4096, "symbol_name": "crash"},
                              {"instruction_addr": 9000}]}}])";

const char* const kUser = R"("user": {"tags": {"seats": 3, "list": [1]}, "extra": {"k": 1}, "fingerprint": ["f", 1],
  "breadcrumbs": [{"timestamp": "2026-12-08 08:33:50.123 +0000", "category": "ui", "level": "info",
                   "message": "tap", "data": {"x": 1}, "junk": 1}, 5, {"level": "loud"}]})";

std::string report(const std::string& error, const std::string& head = R"("report": {
  "id": "1E11C277-17AA-4AEE-811C-BE72D046DFAE", "timestamp": "2026-12-08T08:41:15Z", "type": "standard"})") {
    return "{" + head + ", " + kImages + ", " + kSystem + ", \"crash\": {\"error\": " + error + ", " + kThreads +
           "}, " + kUser + "}";
}

class SentryEventSchema : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists(kSchema)) GTEST_SKIP() << "no Sentry event schema at " << kSchema;
        python_ = python3();
        if (python_.empty()) GTEST_SKIP() << "python3 is not installed";
        const zeltest::ChildResult probe = zeltest::runChild({python_, "-c", "import jsonschema"});
        if (!probe.exited || probe.exitStatus != 0) GTEST_SKIP() << "the Python module jsonschema is not installed";
    }

    std::string write(const std::string& name, const Value& event) {
        const std::string path = dir_.file(name);
        zeltest::writeFile(path, JSONSerialization::dataWithJSONObject(event, JSONSerialization::PrettyPrinted));
        return path;
    }

    zeltest::ChildResult check(const std::vector<std::string>& files) {
        std::vector<std::string> argv = {python_, kChecker.string(), kSchema.string()};
        argv.insert(argv.end(), files.begin(), files.end());
        return zeltest::runChild(argv);
    }

    std::string python_;
    zeltest::TempDir dir_;
};

TEST_F(SentryEventSchema, EventsOfEveryKindOfReportValidate) {
    const std::vector<std::pair<std::string, std::string>> reports = {
        {"signal", report(R"({"type": "signal", "signal": {"signal": 11, "name": "SIGSEGV", "code": 4294967290},
                              "mach": {"exception": 0}})")},
        {"mach", report(R"({"type": "mach", "mach": {"exception": 1, "exception_name": "EXC_BAD_ACCESS",
                            "code": -1, "subcode": 0}})")},
        {"user", report(R"({"type": "user", "reason": "nil index", "user_reported": {"name": "ScriptError",
                            "backtrace": ["main.lua:12", {"function": "f", "lineno": -1, "junk": 1}, 3]}})")},
        {"custom", report(R"({"type": "cpp_exception", "reason": "boom"})",
                          R"("report": {"id": "not-an-id", "timestamp": 1796719275, "type": "custom"},
                             "level": "warning")")},
        {"deadlock", report(R"({"type": "deadlock", "reason": "main thread stuck"})")},
        {"broken", R"({"report": {"id": 5, "timestamp": [1]}, "system": {"CFBundleVersion": 120, "jailbroken": "no",
                       "machine": 5}, "binary_images": {"a": 1}, "crash": {"error": {"type": "nsexception",
                       "reason": {"a": 1}, "nsexception": {"name": 3}}, "threads": ["t", {"index": -2,
                       "crashed": "1", "name": 5, "registers": {"basic": [1]}, "backtrace": {"contents":
                       [1, {"instruction_addr": "zz", "symbol_name": 4}]}}]}, "user": {"tags": [[1, 2]],
                       "breadcrumbs": [{"timestamp": {}, "data": [], "category": 1}]}})"},
    };
    std::vector<std::string> files;
    for (const auto& [name, json] : reports) {
        const Value parsed = JSONSerialization::JSONObjectWithData(json);
        ASSERT_FALSE(parsed.isNil()) << name;
        const Value event = sentryEventForReport(parsed);
        if (name == "custom") {
            // A custom report carries its own attributes and nothing of a crash.
            EXPECT_EQ(event.allKeys(), (std::vector<std::string>{"level", "platform", "timestamp"})) << name;
        } else {
            ASSERT_TRUE(event["exception"].isDictionary()) << name;
        }
        files.push_back(write(name + ".json", event));
    }
    const zeltest::ChildResult result = check(files);
    EXPECT_TRUE(result.exited && result.exitStatus == 0) << result.out << result.err;
}

TEST_F(SentryEventSchema, TheCheckerNamesTheFileAndPathOfAnError) {
    const Value event = JSONSerialization::JSONObjectWithData(R"({"platform": "native", "threads": [],
      "exception": {"values": [{"type": "x", "stacktrace": {"frames": [], "frames_omitted": ["1", "4"]}}]}})");
    const std::string bad = write("bad.json", event);
    const std::string good = write("good.json", JSONSerialization::JSONObjectWithData(R"({"level": "fatal"})"));
    const zeltest::ChildResult result = check({good, bad});
    EXPECT_TRUE(result.exited && result.exitStatus == 1) << result.out << result.err;
    EXPECT_NE(result.out.find(bad + ": $.threads: "), std::string::npos) << result.out;
    EXPECT_NE(result.out.find(bad + ": $.exception.values[0].stacktrace: "), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find(good), std::string::npos) << result.out;

    const zeltest::ChildResult usage = check({});
    EXPECT_TRUE(usage.exited && usage.exitStatus == 2) << usage.err;
}

}  // namespace
