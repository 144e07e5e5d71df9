// Crash reports posted as JSON to a server of one's own.
#pragma once

#include <memory>
#include <optional>

#include "Mayday/Installations/MaydayInstallation.h"
#include "platform/foundation/URL.h"

class MaydayInstallationStandard : public MaydayInstallation {
public:
    static std::shared_ptr<MaydayInstallationStandard> sharedInstance();
    MaydayInstallationStandard();

    // Where the reports go; required.
    const std::optional<platform::URL>& url() const noexcept { return url_; }
    void setUrl(std::optional<platform::URL> url) { url_ = std::move(url); }

    std::shared_ptr<MaydayReportFilter> sink() override;

protected:
    platform::Value valueForProperty(const std::string& propertyName) const override;
    std::string className() const override { return "MaydayInstallationStandard"; }

private:
    std::optional<platform::URL> url_;
};
