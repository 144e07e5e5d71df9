// Crash reports sent to a Quincy server.
#pragma once

#include <memory>
#include <optional>

#include "Mayday/Installations/MaydayInstallationBaseQuincyHockey.h"
#include "platform/foundation/URL.h"

class MaydayInstallationQuincy : public MaydayInstallationBaseQuincyHockey {
public:
    static std::shared_ptr<MaydayInstallationQuincy> sharedInstance();
    MaydayInstallationQuincy();

    // The server's crash address; required.
    const std::optional<platform::URL>& url() const noexcept { return url_; }
    void setUrl(std::optional<platform::URL> url) { url_ = std::move(url); }

    std::shared_ptr<MaydayReportFilter> sink() override;

protected:
    platform::Value valueForProperty(const std::string& propertyName) const override;
    std::string className() const override { return "MaydayInstallationQuincy"; }

private:
    std::optional<platform::URL> url_;
};
