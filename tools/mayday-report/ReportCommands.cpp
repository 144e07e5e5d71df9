#include "tools/mayday-report/ReportCommands.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "Mayday/Recording/Tools/MDJSONCodecObjC.h"
#include "Mayday/Reporting/Filters/MaydayReportFilterAppleFmt.h"
#include "platform/foundation/DisplayText.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Format.h"
#include "sentry/SentryEvent.h"

namespace fs = std::filesystem;
using platform::Value;

namespace mayday_report {

namespace {

// Texts of a report read for display: a value of the wrong type reads as
// missing, never as a crash.
std::string textOr(const Value& value, const std::string& fallback) {
    if (value.isString() && !value.stringValue().empty()) return value.stringValue();
    if (value.isNumber()) return value.description();
    return fallback;
}

// The shortest account of what happened: the error's own reason, else the
// doctor's first line, else the names of the exception or signal.
std::string oneLineReason(const Value& report) {
    const Value crash = report["crash"];
    const Value error = crash["error"];
    for (const Value& candidate :
         {error["reason"], crash["diagnosis"], error["mach"]["exception_name"], error["signal"]["name"]}) {
        // One line of plain text: the reason may span lines and comes from
        // outside (an exception's message), so it must not steer the terminal.
        std::string line;
        for (char c : platform::displayableText(textOr(candidate, ""))) {
            if (c == ' ' && (line.empty() || line.back() == ' ')) continue;
            line += c;
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        if (!line.empty()) return line;
    }
    return "-";
}

// "<app>-report-<16 lower-case hex>.json", whatever the app: the store's own
// check knows only the app it was started for.
bool reportIDFromFileName(const std::string& name, int64_t* id) {
    static const std::string kMarker = "-report-";
    static const std::string kSuffix = ".json";
    const size_t length = kMarker.size() + 16 + kSuffix.size();
    if (name.size() <= length || name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0) return false;
    const size_t marker = name.size() - length;
    if (name.compare(marker, kMarker.size(), kMarker) != 0) return false;
    const std::string hex = name.substr(marker + kMarker.size(), 16);
    if (hex.find_first_not_of("0123456789abcdef") != std::string::npos) return false;
    *id = static_cast<int64_t>(std::strtoull(hex.c_str(), nullptr, 16));
    return *id > 0;
}

}  // namespace

std::vector<std::string> reportDirectories(const std::string& bundle, const std::string& dir) {
    if (!dir.empty()) return {dir};
    const std::string caches = platform::userCachesDirectory();
    if (caches.empty()) return {};
    const fs::path base = fs::path(caches) / "Mayday";
    if (!bundle.empty()) return {(base / bundle / "Reports").string()};
    std::vector<std::string> directories;
    std::error_code error;
    for (fs::directory_iterator it(base, error), end; !error && it != end; it.increment(error)) {
        const fs::path reports = it->path() / "Reports";
        if (fs::is_directory(reports, error)) directories.push_back(reports.string());
    }
    std::sort(directories.begin(), directories.end());
    return directories;
}

std::vector<StoredReport> storedReports(const std::vector<std::string>& directories) {
    std::vector<StoredReport> reports;
    for (const std::string& directory : directories) {
        std::error_code error;
        const std::string bundle = fs::path(directory).parent_path().filename().string();
        for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
            int64_t id = 0;
            const std::string name = it->path().filename().string();
            if (reportIDFromFileName(name, &id)) reports.push_back({it->path().string(), bundle, id});
        }
    }
    std::stable_sort(reports.begin(), reports.end(),
                     [](const StoredReport& a, const StoredReport& b) { return a.id < b.id; });
    return reports;
}

std::optional<StoredReport> findReport(const std::vector<std::string>& directories, const std::string& idOrPath) {
    std::error_code error;
    if (idOrPath.find('/') != std::string::npos || fs::is_regular_file(idOrPath, error)) {
        if (!fs::exists(idOrPath, error)) return std::nullopt;
        int64_t id = 0;
        reportIDFromFileName(fs::path(idOrPath).filename().string(), &id);
        return StoredReport{idOrPath, "", id};
    }
    std::string hex = idOrPath;
    if (hex.rfind("0x", 0) == 0 || hex.rfind("0X", 0) == 0) hex = hex.substr(2);
    if (hex.empty() || hex.size() > 16 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return std::nullopt;
    const int64_t id = static_cast<int64_t>(std::strtoull(hex.c_str(), nullptr, 16));
    for (const StoredReport& stored : storedReports(directories))
        if (stored.id == id) return stored;
    return std::nullopt;
}

int styleNamed(const std::string& name) {
    static const char* const kNames[] = {"unsymbolicated", "partial", "side-by-side", "symbolicated"};
    for (int style = 0; style < 4; style++)
        if (name == kNames[style] || name == std::to_string(style)) return style;
    return -1;
}

std::string listLine(const StoredReport& stored, const Value& report) {
    const Value info = report["report"];
    return platform::format("%016llx  %-20s  %-13s  %s", static_cast<unsigned long long>(stored.id),
                            textOr(info["timestamp"], "-"), textOr(report["crash"]["error"]["type"], "-"),
                            oneLineReason(report));
}

std::string prettyJSON(const Value& object) {
    platform::OptionalError error;
    const auto json = MDJSONCodec::encode(object, MDJSONEncodeOptionPretty | MDJSONEncodeOptionSorted, &error);
    if (!json) return platform::format("Error encoding JSON: %@\n", error);
    return std::string(json->begin(), json->end()) + "\n";
}

std::string crashText(const Value& report, int style) {
    return MaydayReportFilterAppleFmt::filterWithReportStyle(style)->toAppleFormat(report);
}

std::string diagnosisText(const Value& report) {
    const auto sentence = [](const Value& crash) {
        const Value diagnosis = crash["diagnosis"];
        return diagnosis.isString() ? diagnosis.stringValue() + "\n" : std::string("No diagnosis.\n");
    };
    // A recrash document: the application's crash is the embedded report,
    // the top level the recorder's own crash while writing it.
    const Value embedded = report["recrash_report"];
    if (embedded["crash"].isDictionary() && textOr(report["report"]["type"], "") == "minimal")
        return sentence(embedded["crash"]) + "The crash recorder crashed too while writing the report: " +
               sentence(report["crash"]);
    return sentence(report["crash"]);
}

std::string sentryEventText(const Value& report) { return prettyJSON(sentryEventForReport(report)); }

}  // namespace mayday_report
