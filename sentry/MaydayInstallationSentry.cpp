#include "sentry/MaydayInstallationSentry.h"

#include <algorithm>

#include "sentry/MaydayReportSinkSentry.h"

using platform::Value;

MaydayInstallationSentry::MaydayInstallationSentry() : MaydayInstallation({"dsn"}) {}

std::string MaydayInstallationSentry::dsn() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return dsn_;
}

void MaydayInstallationSentry::setDsn(std::string dsn) {
    std::lock_guard<std::mutex> guard(mutex_);
    dsn_ = std::move(dsn);
}

Value MaydayInstallationSentry::valueForProperty(const std::string& propertyName) const {
    if (propertyName == "dsn") {
        const std::string value = dsn();
        return value.empty() ? Value() : Value(value);
    }
    return MaydayInstallation::valueForProperty(propertyName);
}

std::shared_ptr<MaydayReportFilter> MaydayInstallationSentry::sink() {
    auto sink = MaydayReportSinkSentry::sinkWithDsn(dsn());
    // The list outlives any one sink: a send may end after the next has begun.
    std::weak_ptr<RefusedReports> refused = refused_;
    sink->setOnRefusedReport([refused](const Value& report) {
        if (auto list = refused.lock()) {
            std::lock_guard<std::mutex> guard(list->mutex);
            list->reports.push_back(report);
        }
    });
    return sink->defaultCrashReportFilterSet();
}

size_t MaydayInstallationSentry::deliveredReportCount(const Value& completedReports) {
    std::lock_guard<std::mutex> guard(refused_->mutex);
    std::vector<Value>& refused = refused_->reports;
    size_t delivered = 0;
    for (const Value& report : completedReports.arrayItems()) {
        auto found = std::find_if(refused.begin(), refused.end(),
                                  [&report](const Value& known) { return known.isSameContainer(report); });
        if (found == refused.end()) {
            delivered++;
        } else {
            refused.erase(found);
        }
    }
    return delivered;
}
