#include "Mayday/Installations/MaydayInstallationQuincy.h"

#include "Mayday/Reporting/Sinks/MaydayReportSinkQuincy.h"

using platform::Value;

std::shared_ptr<MaydayInstallationQuincy> MaydayInstallationQuincy::sharedInstance() {
    static auto* instance = new std::shared_ptr<MaydayInstallationQuincy>(std::make_shared<MaydayInstallationQuincy>());
    return *instance;
}

MaydayInstallationQuincy::MaydayInstallationQuincy() : MaydayInstallationBaseQuincyHockey({"url"}) {}

Value MaydayInstallationQuincy::valueForProperty(const std::string& propertyName) const {
    if (propertyName == "url") return url_ ? Value(url_->absoluteString()) : Value();
    return MaydayInstallationBaseQuincyHockey::valueForProperty(propertyName);
}

std::shared_ptr<MaydayReportFilter> MaydayInstallationQuincy::sink() {
    const SinkKeyPaths keys = sinkKeyPaths();
    auto quincy =
        MaydayReportSinkQuincy::sinkWithURL(url_, keys.userID, keys.userName, keys.contactEmail, keys.crashDescriptions);
    quincy->setWaitUntilReachable(waitUntilReachable());
    return quincy->defaultCrashReportFilterSet();
}
