// What the mayday-report command shows of stored reports, as text: kept apart
// from the command line so the same renderings back the golden-file tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

namespace mayday_report {

// A stored report file and the identifier its name carries.
struct StoredReport {
    std::string path;
    std::string bundle;  // the folder it was found under, or empty
    int64_t id = 0;
};

// The report folders to look in: `dir` alone when given; otherwise the
// recorder's folder of `bundle` under the user caches directory, or of
// every bundle there when `bundle` is empty.
std::vector<std::string> reportDirectories(const std::string& bundle, const std::string& dir);

// The report files of those folders, oldest first (identifiers grow with time).
std::vector<StoredReport> storedReports(const std::vector<std::string>& directories);

// The file a command line's ID names: a path to a file, or a hexadecimal
// identifier as `list` shows it ("0x" allowed). Nothing when none matches.
std::optional<StoredReport> findReport(const std::vector<std::string>& directories, const std::string& idOrPath);

// The crash-text styles by name: "unsymbolicated", "partial",
// "side-by-side", "symbolicated" (or 0 to 3); -1 for any other name.
int styleNamed(const std::string& name);

// One line of `list`: id, time, type and a one-line reason.
std::string listLine(const StoredReport& stored, const platform::Value& report);
// The report as JSON, indented, keys sorted.
std::string prettyJSON(const platform::Value& object);
// The platform crash text in `style`.
std::string crashText(const platform::Value& report, int style);
// The crash doctor's diagnosis, or a line saying there is none.
std::string diagnosisText(const platform::Value& report);
// The Sentry event the report would be sent as, indented.
std::string sentryEventText(const platform::Value& report);

}  // namespace mayday_report
