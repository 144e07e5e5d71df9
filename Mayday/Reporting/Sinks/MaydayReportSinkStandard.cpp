#include "Mayday/Reporting/Sinks/MaydayReportSinkStandard.h"

#include <utility>

#include "Mayday/Reporting/Filters/MaydayReportFilterBasic.h"
#include "Mayday/Reporting/Sinks/MaydayReportSinkHTTP.h"

using platform::Value;

std::shared_ptr<MaydayReportSinkStandard> MaydayReportSinkStandard::sinkWithURL(std::optional<platform::URL> url) {
    return std::make_shared<MaydayReportSinkStandard>(std::move(url));
}

MaydayReportSinkStandard::MaydayReportSinkStandard(std::optional<platform::URL> url) : url_(std::move(url)) {}

std::shared_ptr<MaydayReportFilter> MaydayReportSinkStandard::defaultCrashReportFilterSet() {
    return shared_from_this();
}

void MaydayReportSinkStandard::filterReports(Value reports, MaydayReportFilterCompletion onCompletion) {
    const Value sent = reports;
    reachableOperation_ = mdsink_postReportsJSON(url_, sent, false, "MaydayReportSinkStandard", std::move(reports),
                                                 std::move(onCompletion));
}
