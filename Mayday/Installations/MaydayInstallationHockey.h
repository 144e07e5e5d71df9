// Crash reports sent to the Hockey crash service.
#pragma once

#include <memory>

#include "Mayday/Installations/MaydayInstallationBaseQuincyHockey.h"

class MaydayInstallationHockey : public MaydayInstallationBaseQuincyHockey {
public:
    static std::shared_ptr<MaydayInstallationHockey> sharedInstance();
    MaydayInstallationHockey();

    // The app's identifier at the service (a string); required.
    const platform::Value& appIdentifier() const noexcept { return appIdentifier_; }
    void setAppIdentifier(platform::Value appIdentifier) { appIdentifier_ = std::move(appIdentifier); }

    std::shared_ptr<MaydayReportFilter> sink() override;

protected:
    platform::Value valueForProperty(const std::string& propertyName) const override;
    std::string className() const override { return "MaydayInstallationHockey"; }

private:
    platform::Value appIdentifier_;
};
