#include "Mayday/Reporting/Sinks/MaydayReportSinkConsole.h"

#include <cstdio>

#include "Mayday/Reporting/Filters/MaydayReportFilterAppleFmt.h"
#include "Mayday/Reporting/Filters/MaydayReportFilterBasic.h"

using platform::Value;

std::shared_ptr<MaydayReportSinkConsole> MaydayReportSinkConsole::sink() {
    return std::make_shared<MaydayReportSinkConsole>();
}

std::shared_ptr<MaydayReportFilter> MaydayReportSinkConsole::defaultCrashReportFilterSet() {
    return MaydayReportFilterPipeline::filterWithFilters(
        {MaydayReportFilterAppleFmt::filterWithReportStyle(MaydayAppleReportStyleSymbolicated), shared_from_this()});
}

void MaydayReportSinkConsole::filterReports(Value reports, MaydayReportFilterCompletion onCompletion) {
    int number = 0;
    for (const Value& report : reports.arrayItems()) {
        const std::string text = report.isString() ? report.stringValue() : report.description();
        printf("Report %d:\n%s\n", ++number, text.c_str());
    }
    // The logger writes past stdio: keep the reports ahead of later log lines.
    fflush(stdout);
    mdfilter_callCompletion(onCompletion, std::move(reports), true, std::nullopt);
}
