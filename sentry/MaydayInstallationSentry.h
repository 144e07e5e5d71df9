// The installation that sends stored crash reports to Sentry: the base
// installation with one required property, the DSN, and a Sentry sink made
// afresh for every send.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Mayday/Installations/MaydayInstallation.h"
#include "platform/foundation/Value.h"

class MaydayInstallationSentry : public MaydayInstallation {
public:
    MaydayInstallationSentry();

    std::string dsn() const;
    void setDsn(std::string dsn);

    // A MaydayReportSinkSentry for dsn().
    std::shared_ptr<MaydayReportFilter> sink() override;

    // How many of the reports a send completed with were delivered rather
    // than refused. Call it once per completion: the refused ones it finds
    // are forgotten.
    size_t deliveredReportCount(const platform::Value& completedReports);

protected:
    platform::Value valueForProperty(const std::string& propertyName) const override;
    std::string className() const override { return "MaydayInstallationSentry"; }

private:
    // The reports sinks of this installation said were refused, until a
    // completion has been counted.
    struct RefusedReports {
        std::mutex mutex;
        std::vector<platform::Value> reports;
    };

    mutable std::mutex mutex_;
    std::string dsn_;
    std::shared_ptr<RefusedReports> refused_ = std::make_shared<RefusedReports>();
};
