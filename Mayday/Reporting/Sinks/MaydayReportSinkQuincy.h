// Reports posted to a Quincy server, or to the Hockey crash service, in
// their XML crash format: one "<crashes>" document per send, each crash
// made from a report (the "standard" member of a combined report) and its
// platform-style text (the "apple" member), sent as one multipart field.
//
// Every value is escaped for XML; the two CDATA sections (the log and the
// description) are split wherever they hold "]]>".
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Mayday/Reporting/Filters/MaydayReportFilter.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"
#include "sentry/MDReachabilityMayday.h"

class MaydayReportSinkQuincy : public MaydayReportFilter,
                               public std::enable_shared_from_this<MaydayReportSinkQuincy> {
public:
    // The keys are key paths into the report ("user/user_id"), each nil
    // or a string; `crashDescriptionKeys` an array of key paths.
    static std::shared_ptr<MaydayReportSinkQuincy> sinkWithURL(std::optional<platform::URL> url,
                                                               platform::Value userIDKey,
                                                               platform::Value userNameKey,
                                                               platform::Value contactEmailKey,
                                                               platform::Value crashDescriptionKeys);
    MaydayReportSinkQuincy(std::optional<platform::URL> url, platform::Value userIDKey, platform::Value userNameKey,
                           platform::Value contactEmailKey, platform::Value crashDescriptionKeys);

    const std::optional<platform::URL>& url() const noexcept { return url_; }
    void setUrl(std::optional<platform::URL> url) { url_ = std::move(url); }
    const platform::Value& userIDKey() const noexcept { return userIDKey_; }
    const platform::Value& userNameKey() const noexcept { return userNameKey_; }
    const platform::Value& contactEmailKey() const noexcept { return contactEmailKey_; }
    const platform::Value& crashDescriptionKeys() const noexcept { return crashDescriptionKeys_; }
    // Whether a send waits until the URL's host can be reached (default YES).
    bool waitUntilReachable() const noexcept { return waitUntilReachable_; }
    void setWaitUntilReachable(bool wait) noexcept { waitUntilReachable_ = wait; }
    // The send waiting for its host, if any.
    const std::shared_ptr<MDReachableOperationMayday>& reachableOperation() const noexcept {
        return reachableOperation_;
    }

    // A combine of the report itself ("standard") and its side-by-side
    // platform-style text ("apple"), then this sink.
    std::shared_ptr<MaydayReportFilter> defaultCrashReportFilterSet();

    // Posts the reports as the multipart field "xmlstring".
    void filterReports(platform::Value reports, MaydayReportFilterCompletion onCompletion) override;
    // Posts the reports as one field of that name, content type and file name.
    void filterReports(platform::Value reports, const std::string& name,
                       const std::optional<std::string>& contentType, const std::optional<std::string>& filename,
                       MaydayReportFilterCompletion onCompletion);

    // ---- The XML crash format.

    // One "<crash>" element of a combined report.
    std::string toQuincyFormat(const platform::Value& combinedReport) const;
    // "<uuid>" elements of the executable ("app") and the images in its
    // folder ("framework"); empty without "binary_images".
    static std::string uuidsFromReport(const platform::Value& report);
    static std::string quincyArchFromCpuType(uint64_t cpuType, uint64_t cpuSubType);
    // The sections at `keys` (key paths), each as "<key path>:\n<text>".
    static std::string descriptionForReport(const platform::Value& report, const platform::Value& keys);
    // Text made safe inside a CDATA section.
    static std::string cdataEscaped(const std::string& text);
    // Text made safe as element content or attribute value.
    static std::string xmlEscaped(const std::string& text);
    // The empty string for nil, else the value as "%@" shows it.
    static std::string blankForNil(const platform::Value& value);
    // This installation's identity at the server: a UUID made once and kept
    // in the user defaults under "QuincyKitAppInstallationUUID".
    static std::string quincyInstallUUID();

protected:
    // The error domain and the name used in errors.
    virtual std::string className() const { return "MaydayReportSinkQuincy"; }

private:
    std::optional<platform::URL> url_;
    platform::Value userIDKey_;
    platform::Value userNameKey_;
    platform::Value contactEmailKey_;
    platform::Value crashDescriptionKeys_;
    bool waitUntilReachable_ = true;
    std::shared_ptr<MDReachableOperationMayday> reachableOperation_;
};

// The same format for the Hockey crash service, addressed by the app's
// identifier there.
class MaydayReportSinkHockey : public MaydayReportSinkQuincy {
public:
    static std::shared_ptr<MaydayReportSinkHockey> sinkWithAppIdentifier(platform::Value appIdentifier,
                                                                         platform::Value userIDKey,
                                                                         platform::Value userNameKey,
                                                                         platform::Value contactEmailKey,
                                                                         platform::Value crashDescriptionKeys);
    MaydayReportSinkHockey(platform::Value appIdentifier, platform::Value userIDKey, platform::Value userNameKey,
                           platform::Value contactEmailKey, platform::Value crashDescriptionKeys);

    const platform::Value& appIdentifier() const noexcept { return appIdentifier_; }
    // Also sets url() to the service's address for it.
    void setAppIdentifier(platform::Value appIdentifier);

    // The service's crash address for the app: "/api/2/apps/<id>/crashes"
    // at the service; nothing for an identifier that gives no URL.
    static std::optional<platform::URL> urlWithAppIdentifier(const std::string& appIdentifier);
    // Where the service lives ("https://rink.hockeyapp.net" unless set);
    // tests point it at a local server.
    static std::string serviceBaseURL();
    static void setServiceBaseURL(std::string baseURL);

    using MaydayReportSinkQuincy::filterReports;
    // Posts the reports as "xml" ("text/xml", "crash.xml").
    void filterReports(platform::Value reports, MaydayReportFilterCompletion onCompletion) override;

protected:
    std::string className() const override { return "MaydayReportSinkHockey"; }

private:
    platform::Value appIdentifier_;
};
