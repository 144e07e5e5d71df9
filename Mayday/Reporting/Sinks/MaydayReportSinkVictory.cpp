#include "Mayday/Reporting/Sinks/MaydayReportSinkVictory.h"

#include <utility>

#include "Mayday/Reporting/Filters/MaydayReportFilterBasic.h"
#include "Mayday/Reporting/Sinks/MaydayReportSinkHTTP.h"

using platform::Value;

namespace {

constexpr const char* kDomain = "MaydayReportSinkVictory";

// The report with its "user" section naming the sender; the report handed
// in stays as it was.
Value withUser(const Value& report, const Value& name, const Value& email) {
    if (!report.isDictionary()) return report;
    Value copy = report.deepCopy();
    Value user = copy["user"];
    if (!user.isDictionary()) {
        user = Value::dictionary();
        copy.setObject(user, "user");
    }
    user.setObject(name, "name");
    user.setObject(email, "email");
    return copy;
}

}  // namespace

std::shared_ptr<MaydayReportSinkVictory> MaydayReportSinkVictory::sinkWithURL(std::optional<platform::URL> url,
                                                                             Value userName, Value userEmail) {
    return std::make_shared<MaydayReportSinkVictory>(std::move(url), std::move(userName), std::move(userEmail));
}

MaydayReportSinkVictory::MaydayReportSinkVictory(std::optional<platform::URL> url, Value userName, Value userEmail)
    : url_(std::move(url)), userName_(std::move(userName)), userEmail_(std::move(userEmail)) {
    if (!userName_.isString() || userName_.stringValue().empty()) userName_ = "unknown";
}

std::shared_ptr<MaydayReportFilter> MaydayReportSinkVictory::defaultCrashReportFilterSet() {
    return shared_from_this();
}

void MaydayReportSinkVictory::filterReports(Value reports, MaydayReportFilterCompletion onCompletion) {
    Value sent = Value::array();
    for (const Value& report : reports.arrayItems()) sent.addObject(withUser(report, userName_, userEmail_));
    reachableOperation_ = mdsink_postReportsJSON(url_, sent, true, kDomain, std::move(reports), std::move(onCompletion));
}
