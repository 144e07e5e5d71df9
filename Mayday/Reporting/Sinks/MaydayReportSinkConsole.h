// The simplest destination: every report printed to standard output.
#pragma once

#include <memory>

#include "Mayday/Reporting/Filters/MaydayReportFilter.h"

class MaydayReportSinkConsole : public MaydayReportFilter,
                                public std::enable_shared_from_this<MaydayReportSinkConsole> {
public:
    static std::shared_ptr<MaydayReportSinkConsole> sink();

    // The platform-style text (symbolicated), then this sink.
    std::shared_ptr<MaydayReportFilter> defaultCrashReportFilterSet();

    // Prints each report (a string; anything else as its description) as
    // "Report <n>:" and the text, numbered from 1; completes with the reports.
    void filterReports(platform::Value reports, MaydayReportFilterCompletion onCompletion) override;
};
