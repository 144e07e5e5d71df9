#include "Mayday/Installations/MaydayInstallationVictory.h"

#include "Mayday/Reporting/Filters/MaydayReportFilterBasic.h"
#include "Mayday/Reporting/Sinks/MaydayReportSinkVictory.h"

using platform::Value;

std::shared_ptr<MaydayInstallationVictory> MaydayInstallationVictory::sharedInstance() {
    static auto* instance = new std::shared_ptr<MaydayInstallationVictory>(std::make_shared<MaydayInstallationVictory>());
    return *instance;
}

MaydayInstallationVictory::MaydayInstallationVictory() : MaydayInstallation({"url"}) {}

Value MaydayInstallationVictory::valueForProperty(const std::string& propertyName) const {
    if (propertyName == "url") return url_ ? Value(url_->absoluteString()) : Value();
    if (propertyName == "userName") return userName_;
    if (propertyName == "userEmail") return userEmail_;
    return MaydayInstallation::valueForProperty(propertyName);
}

std::shared_ptr<MaydayReportFilter> MaydayInstallationVictory::sink() {
    return MaydayReportFilterPipeline::filterWithFilters(
        {MaydayReportSinkVictory::sinkWithURL(url_, userName_, userEmail_)->defaultCrashReportFilterSet()});
}
