// What the sink tests share: a completion recorder, a strict multipart
// parser, the crash XML read by a real XML parser, fixture reports, and an
// environment with its own configuration folder and main bundle.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "ChildProcess.h"
#include "Mayday/Reporting/Filters/MaydayReportFilter.h"
#include "Mayday/Reporting/Sinks/MaydayReportSinkEMail.h"
#include "TempDir.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/JSONSerialization.h"

namespace sinktest {

using platform::Value;

// Every call of one completion.
struct Outcome {
    int calls = 0;
    Value reports;
    bool completed = false;
    platform::OptionalError error;

    MaydayReportFilterCompletion completion() {
        return [this](Value reports, bool completed, platform::OptionalError error) {
            ++calls;
            this->reports = std::move(reports);
            this->completed = completed;
            this->error = std::move(error);
        };
    }
    // Runs the main queue until the completion was heard, then once more
    // to let a second call show.
    bool wait() {
        const bool heard = platform::MainLoop::runUntil([this] { return calls > 0; }, std::chrono::seconds(20));
        platform::MainLoop::drainPending();
        return heard;
    }
    std::string errorText() const { return error ? error->localizedDescription : std::string("(none)"); }
};

struct Part {
    std::string name;
    std::optional<std::string> filename;
    std::optional<std::string> contentType;
    std::string data;
};

// A quoted header parameter (`key="..."`, backslash escapes) of a header line.
inline std::optional<std::string> quotedParameter(const std::string& line, const std::string& key) {
    const std::string start = key + "=\"";
    size_t at = line.find("; " + start);
    if (at == std::string::npos) return std::nullopt;
    std::string value;
    for (size_t i = at + 2 + start.size(); i < line.size(); ++i) {
        if (line[i] == '\\' && i + 1 < line.size()) {
            value.push_back(line[++i]);
        } else if (line[i] == '"') {
            return value;
        } else {
            value.push_back(line[i]);
        }
    }
    return std::nullopt;
}

// multipart/form-data as a server reads it; nothing when the body breaks
// the format anywhere.
inline std::optional<std::vector<Part>> parseMultipart(const std::string& contentType, const std::string& body) {
    const std::string marker = "multipart/form-data; boundary=";
    if (contentType.rfind(marker, 0) != 0) return std::nullopt;
    const std::string delimiter = "--" + contentType.substr(marker.size());
    if (body.rfind(delimiter + "\r\n", 0) != 0) return std::nullopt;
    std::vector<Part> parts;
    size_t position = delimiter.size() + 2;
    for (;;) {
        const size_t end = body.find("\r\n" + delimiter, position);
        if (end == std::string::npos) return std::nullopt;
        const std::string raw = body.substr(position, end - position);
        const size_t headersEnd = raw.find("\r\n\r\n");
        if (headersEnd == std::string::npos) return std::nullopt;
        Part part;
        part.data = raw.substr(headersEnd + 4);
        size_t lineStart = 0;
        const std::string headers = raw.substr(0, headersEnd) + "\r\n";
        while (lineStart < headers.size()) {
            const size_t lineEnd = headers.find("\r\n", lineStart);
            const std::string line = headers.substr(lineStart, lineEnd - lineStart);
            lineStart = lineEnd + 2;
            if (line.rfind("Content-Disposition: form-data", 0) == 0) {
                std::optional<std::string> name = quotedParameter(line, "name");
                if (!name) return std::nullopt;
                part.name = *name;
                part.filename = quotedParameter(line, "filename");
            } else if (line.rfind("Content-Type: ", 0) == 0) {
                part.contentType = line.substr(14);
            } else {
                return std::nullopt;
            }
        }
        parts.push_back(part);
        position = end + 2 + delimiter.size();
        if (body.compare(position, std::string::npos, "--\r\n") == 0) return parts;
        if (body.compare(position, 2, "\r\n") != 0) return std::nullopt;
        position += 2;
    }
}

// The crash XML read by Python's XML parser: {"root", "crashes": [{tag:
// text, "uuids": [{type, arch, text}]}]}. Nil (with the reason in `why`)
// when it does not parse.
inline Value parseCrashXML(const std::string& xml, std::string& why) {
    static const char* kScript = R"(
import json, sys, xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
crashes = []
for crash in root:
    entry = {"tag": crash.tag}
    for child in crash:
        if child.tag == "uuids":
            entry["uuids"] = [{"type": u.get("type"), "arch": u.get("arch"), "text": u.text} for u in child]
        else:
            entry[child.tag] = child.text or ""
    crashes.append(entry)
print(json.dumps({"root": root.tag, "crashes": crashes}))
)";
    const std::string python = MaydayReportSinkEMail::pathOfProgram("python3");
    if (python.empty()) {
        why = "python3 is not installed";
        return Value();
    }
    zeltest::TempDir scratch;
    zeltest::writeFile(scratch.file("crashes.xml"), xml);
    const zeltest::ChildResult result = zeltest::runChild({python, "-c", kScript, scratch.file("crashes.xml")});
    if (!result.exited || result.exitStatus != 0) {
        why = result.err;
        return Value();
    }
    return platform::JSONSerialization::JSONObjectWithData(result.out);
}

// Tests that read XML need Python's parser.
#define SINKTEST_REQUIRE_PYTHON()                                                \
    if (MaydayReportSinkEMail::pathOfProgram("python3").empty()) GTEST_SKIP() << "python3 is not installed"

inline Value fixtureReport(const std::string& name) {
    return platform::JSONSerialization::JSONObjectWithData(
        zeltest::readFile(std::string(ZEL_SOURCE_DIR) + "/tests/fixtures/reports/" + name + ".json"),
        platform::JSONSerialization::MutableContainers);
}

// A bundle folder with an Info.plist of these string entries.
inline void writeBundle(const std::string& folder, const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string plist =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
        "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\"><dict>\n";
    for (const auto& [key, value] : entries) plist += "<key>" + key + "</key><string>" + value + "</string>\n";
    plist += "</dict></plist>\n";
    zeltest::writeFile(folder + "/Info.plist", plist);
}

// The bundle every test runs in, and a configuration folder of the tests'
// own, so that nothing is written to the user's.
class SinkEnvironment : public ::testing::Environment {
public:
    static std::string bundlePath() { return folder()->file("Bundle"); }
    static std::string configPath() { return folder()->file("config"); }
    static void useTestBundle() { platform::Bundle::setMainBundlePath(bundlePath()); }

    void SetUp() override {
        setenv("XDG_CONFIG_HOME", configPath().c_str(), 1);
        // Mail attachments land in the temporary directory: keep them here too.
        const std::string temporary = folder()->file("tmp");
        mkdir(temporary.c_str(), 0700);
        setenv("TMPDIR", temporary.c_str(), 1);
        writeBundle(bundlePath(), {{"CFBundleName", "Zel%dApp"}, {"CFBundleIdentifier", "com.example.sinktests"},
                                   {"CFBundleVersion", "9.9"}});
        useTestBundle();
    }
    void TearDown() override { folder().reset(); }

private:
    static std::unique_ptr<zeltest::TempDir>& folder() {
        static std::unique_ptr<zeltest::TempDir> scratch = std::make_unique<zeltest::TempDir>();
        return scratch;
    }
};

// An environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = getenv(name)) saved_ = old;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() { saved_ ? setenv(name_, saved_->c_str(), 1) : unsetenv(name_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> saved_;
};

}  // namespace sinktest
