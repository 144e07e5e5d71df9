#include "Mayday/Installations/MaydayInstallationStandard.h"

#include "Mayday/Reporting/Filters/MaydayReportFilterBasic.h"
#include "Mayday/Reporting/Sinks/MaydayReportSinkStandard.h"

using platform::Value;

std::shared_ptr<MaydayInstallationStandard> MaydayInstallationStandard::sharedInstance() {
    static auto* instance =
        new std::shared_ptr<MaydayInstallationStandard>(std::make_shared<MaydayInstallationStandard>());
    return *instance;
}

MaydayInstallationStandard::MaydayInstallationStandard() : MaydayInstallation({"url"}) {}

Value MaydayInstallationStandard::valueForProperty(const std::string& propertyName) const {
    if (propertyName == "url") return url_ ? Value(url_->absoluteString()) : Value();
    return MaydayInstallation::valueForProperty(propertyName);
}

std::shared_ptr<MaydayReportFilter> MaydayInstallationStandard::sink() {
    return MaydayReportFilterPipeline::filterWithFilters(
        {MaydayReportSinkStandard::sinkWithURL(url_)->defaultCrashReportFilterSet()});
}
