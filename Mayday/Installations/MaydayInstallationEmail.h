// Crash reports attached to a mail the user sends (see MaydayReportSinkEMail).
#pragma once

#include <map>
#include <memory>
#include <string>

#include "Mayday/Installations/MaydayInstallation.h"

class MaydayInstallationEmail : public MaydayInstallation {
public:
    static std::shared_ptr<MaydayInstallationEmail> sharedInstance();
    // Subject "Crash Report (<bundle name>)", JSON reports, default file names.
    MaydayInstallationEmail();

    // An array of addresses.
    const platform::Value& recipients() const noexcept { return recipients_; }
    void setRecipients(platform::Value recipients) { recipients_ = std::move(recipients); }
    const platform::Value& subject() const noexcept { return subject_; }
    void setSubject(platform::Value subject) { subject_ = std::move(subject); }
    const platform::Value& message() const noexcept { return message_; }
    void setMessage(platform::Value message) { message_ = std::move(message); }
    // The attachments' names: "%d" is the report's number, "%%" a "%".
    const platform::Value& filenameFmt() const noexcept { return filenameFmt_; }
    void setFilenameFmt(platform::Value filenameFmt) { filenameFmt_ = std::move(filenameFmt); }

    // 0: JSON, 1: the platform's crash text; no sink for any other style.
    int reportStyle() const noexcept { return reportStyle_; }
    void setReportStyle(int reportStyle) noexcept { reportStyle_ = reportStyle; }
    // Also sets filenameFmt to the style's default name when asked (nil
    // for a style without one).
    void setReportStyle(int reportStyle, bool useDefaultFilenameFormat);
    // Per style: "crash-report-<bundle name>-%d.json.gz" and "...txt.gz".
    const std::map<int, std::string>& defaultFilenameFormats() const noexcept { return defaultFilenameFormats_; }

    std::shared_ptr<MaydayReportFilter> sink() override;

protected:
    platform::Value valueForProperty(const std::string& propertyName) const override;
    std::string className() const override { return "MaydayInstallationEmail"; }

private:
    platform::Value recipients_;
    platform::Value subject_;
    platform::Value message_;
    platform::Value filenameFmt_;
    int reportStyle_ = 0;
    std::map<int, std::string> defaultFilenameFormats_;
};
