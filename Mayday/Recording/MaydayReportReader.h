// Reading one stored report as the readers and the report tool see it:
// fixed up, decoded, with the crash doctor's diagnosis. A damaged report
// (cut short by a crash, edited, wrong types) is read as far as it goes and
// says so; nothing here throws or trusts the file's structure.
#pragma once

#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

struct MaydayReadReport {
    // The report dictionary, or nil when nothing usable could be read.
    platform::Value report;
    // Why the report is missing or incomplete; none for a whole report.
    platform::OptionalError problem;
};

// Decodes the stored JSON text of a report. A text the fix-up cannot take
// is decoded as it stands, keeping what came before the damage.
MaydayReadReport maydayDecodeStoredReport(const std::string& storedText);

// Reads and decodes the report file at `path`.
MaydayReadReport maydayReadReportFile(const std::string& path);

// Adds "diagnosis" to the report's "crash" and to its recrash report's.
void maydayDiagnoseReport(platform::Value& report);
