// Crash reports printed to standard output: as JSON, or as the platform's
// own crash text.
#pragma once

#include <memory>

#include "Mayday/Installations/MaydayInstallation.h"

class MaydayInstallationConsole : public MaydayInstallation {
public:
    // One instance per process.
    static std::shared_ptr<MaydayInstallationConsole> sharedInstance();
    MaydayInstallationConsole();

    // The platform's crash text (symbolicated) instead of pretty JSON; default NO.
    bool printAppleFormat() const noexcept { return printAppleFormat_; }
    void setPrintAppleFormat(bool printAppleFormat) noexcept { printAppleFormat_ = printAppleFormat; }

    std::shared_ptr<MaydayReportFilter> sink() override;

protected:
    platform::Value valueForProperty(const std::string& propertyName) const override;
    std::string className() const override { return "MaydayInstallationConsole"; }

private:
    bool printAppleFormat_ = false;
};
