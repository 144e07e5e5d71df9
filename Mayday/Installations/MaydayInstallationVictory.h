// Crash reports posted to a Victory server, each naming the user who sent it.
#pragma once

#include <memory>
#include <optional>

#include "Mayday/Installations/MaydayInstallation.h"
#include "platform/foundation/URL.h"

class MaydayInstallationVictory : public MaydayInstallation {
public:
    static std::shared_ptr<MaydayInstallationVictory> sharedInstance();
    MaydayInstallationVictory();

    // Where the reports go; required.
    const std::optional<platform::URL>& url() const noexcept { return url_; }
    void setUrl(std::optional<platform::URL> url) { url_ = std::move(url); }
    // Strings or nil; the sink names a nameless user "unknown".
    const platform::Value& userName() const noexcept { return userName_; }
    void setUserName(platform::Value userName) { userName_ = std::move(userName); }
    const platform::Value& userEmail() const noexcept { return userEmail_; }
    void setUserEmail(platform::Value userEmail) { userEmail_ = std::move(userEmail); }

    std::shared_ptr<MaydayReportFilter> sink() override;

protected:
    platform::Value valueForProperty(const std::string& propertyName) const override;
    std::string className() const override { return "MaydayInstallationVictory"; }

private:
    std::optional<platform::URL> url_;
    platform::Value userName_;
    platform::Value userEmail_;
};
