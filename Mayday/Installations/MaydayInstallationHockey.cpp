#include "Mayday/Installations/MaydayInstallationHockey.h"

#include "Mayday/Reporting/Sinks/MaydayReportSinkQuincy.h"

using platform::Value;

std::shared_ptr<MaydayInstallationHockey> MaydayInstallationHockey::sharedInstance() {
    static auto* instance = new std::shared_ptr<MaydayInstallationHockey>(std::make_shared<MaydayInstallationHockey>());
    return *instance;
}

MaydayInstallationHockey::MaydayInstallationHockey() : MaydayInstallationBaseQuincyHockey({"appIdentifier"}) {}

Value MaydayInstallationHockey::valueForProperty(const std::string& propertyName) const {
    if (propertyName == "appIdentifier") return appIdentifier_;
    return MaydayInstallationBaseQuincyHockey::valueForProperty(propertyName);
}

std::shared_ptr<MaydayReportFilter> MaydayInstallationHockey::sink() {
    const SinkKeyPaths keys = sinkKeyPaths();
    auto hockey = MaydayReportSinkHockey::sinkWithAppIdentifier(appIdentifier_, keys.userID, keys.userName,
                                                                keys.contactEmail, keys.crashDescriptions);
    hockey->setWaitUntilReachable(waitUntilReachable());
    return hockey->defaultCrashReportFilterSet();
}
