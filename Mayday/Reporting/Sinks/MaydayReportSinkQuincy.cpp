// Sending for the Quincy and Hockey sinks; the XML itself is made in
// MaydayReportSinkQuincyXML.cpp.
#include "Mayday/Reporting/Sinks/MaydayReportSinkQuincy.h"

#include <mutex>
#include <utility>

#include "Mayday/Reporting/Filters/MaydayReportFilterAppleFmt.h"
#include "Mayday/Reporting/Filters/MaydayReportFilterBasic.h"
#include "Mayday/Reporting/Sinks/MaydayReportSinkHTTP.h"
#include "sentry/DataError.h"
#include "sentry/DataURLEncode.h"
#include "sentry/MDHTTPMultipartPostBody.h"

using platform::Value;

std::shared_ptr<MaydayReportSinkQuincy> MaydayReportSinkQuincy::sinkWithURL(std::optional<platform::URL> url,
                                                                           Value userIDKey, Value userNameKey,
                                                                           Value contactEmailKey,
                                                                           Value crashDescriptionKeys) {
    return std::make_shared<MaydayReportSinkQuincy>(std::move(url), std::move(userIDKey), std::move(userNameKey),
                                                    std::move(contactEmailKey), std::move(crashDescriptionKeys));
}

MaydayReportSinkQuincy::MaydayReportSinkQuincy(std::optional<platform::URL> url, Value userIDKey, Value userNameKey,
                                               Value contactEmailKey, Value crashDescriptionKeys)
    : url_(std::move(url)), userIDKey_(std::move(userIDKey)), userNameKey_(std::move(userNameKey)),
      contactEmailKey_(std::move(contactEmailKey)), crashDescriptionKeys_(std::move(crashDescriptionKeys)) {}

std::shared_ptr<MaydayReportFilter> MaydayReportSinkQuincy::defaultCrashReportFilterSet() {
    auto combine = MaydayReportFilterCombine::filterWithFiltersAndKeys(
        {MaydayReportFilterPassthrough::filter(), "standard",
         MaydayReportFilterAppleFmt::filterWithReportStyle(MaydayAppleReportStyleSymbolicatedSideBySide), "apple"});
    return MaydayReportFilterPipeline::filterWithFilters({combine, shared_from_this()});
}

void MaydayReportSinkQuincy::filterReports(Value reports, MaydayReportFilterCompletion onCompletion) {
    filterReports(std::move(reports), "xmlstring", std::nullopt, std::nullopt, std::move(onCompletion));
}

void MaydayReportSinkQuincy::filterReports(Value reports, const std::string& name,
                                           const std::optional<std::string>& contentType,
                                           const std::optional<std::string>& filename,
                                           MaydayReportFilterCompletion onCompletion) {
    if (!url_) {
        mdfilter_callCompletion(onCompletion, std::move(reports), false,
                                errorWithDomain(className(), 0, "url was nil"));
        return;
    }
    std::string xml = "<crashes>";
    for (const Value& report : reports.arrayItems()) xml += toQuincyFormat(report);
    xml += "</crashes>";

    MDHTTPMultipartPostBody body;
    body.appendUTF8String(xml, name, contentType, filename);
    platform::URLRequest request = mdsink_postRequest(*url_, body.data());
    request.headers["User-Agent"] = "Quincy/iOS";
    request.headers["Content-type"] = body.contentType();
    // No "Accept-Encoding" of ours: the session asks for what it can decode,
    // so a compressed error answer still reads as text.
    auto operation =
        mdsink_sendRequest(std::move(request), waitUntilReachable_, className(), std::move(reports), std::move(onCompletion));
    if (operation) reachableOperation_ = std::move(operation);
}

// ---- Hockey.

namespace {

std::mutex& serviceLock() {
    static std::mutex lock;
    return lock;
}

std::string& serviceBase() {
    static std::string base = "https://rink.hockeyapp.net";
    return base;
}

}  // namespace

std::shared_ptr<MaydayReportSinkHockey> MaydayReportSinkHockey::sinkWithAppIdentifier(Value appIdentifier,
                                                                                     Value userIDKey,
                                                                                     Value userNameKey,
                                                                                     Value contactEmailKey,
                                                                                     Value crashDescriptionKeys) {
    return std::make_shared<MaydayReportSinkHockey>(std::move(appIdentifier), std::move(userIDKey),
                                                    std::move(userNameKey), std::move(contactEmailKey),
                                                    std::move(crashDescriptionKeys));
}

MaydayReportSinkHockey::MaydayReportSinkHockey(Value appIdentifier, Value userIDKey, Value userNameKey,
                                               Value contactEmailKey, Value crashDescriptionKeys)
    : MaydayReportSinkQuincy(std::nullopt, std::move(userIDKey), std::move(userNameKey), std::move(contactEmailKey),
                             std::move(crashDescriptionKeys)) {
    setAppIdentifier(std::move(appIdentifier));
}

void MaydayReportSinkHockey::setAppIdentifier(Value appIdentifier) {
    appIdentifier_ = std::move(appIdentifier);
    setUrl(appIdentifier_.isString() ? urlWithAppIdentifier(appIdentifier_.stringValue()) : std::nullopt);
}

std::optional<platform::URL> MaydayReportSinkHockey::urlWithAppIdentifier(const std::string& appIdentifier) {
    return platform::URL::URLWithString(
        platform::format("%@/api/2/apps/%@/crashes", serviceBaseURL(), URLEncoded(appIdentifier)));
}

std::string MaydayReportSinkHockey::serviceBaseURL() {
    std::lock_guard<std::mutex> guard(serviceLock());
    return serviceBase();
}

void MaydayReportSinkHockey::setServiceBaseURL(std::string baseURL) {
    std::lock_guard<std::mutex> guard(serviceLock());
    serviceBase() = std::move(baseURL);
}

void MaydayReportSinkHockey::filterReports(Value reports, MaydayReportFilterCompletion onCompletion) {
    if (!appIdentifier_.isString() || appIdentifier_.stringValue().empty()) {
        mdfilter_callCompletion(onCompletion, std::move(reports), false,
                                errorWithDomain(className(), 0, "appIdentifier was nil"));
        return;
    }
    MaydayReportSinkQuincy::filterReports(std::move(reports), "xml", "text/xml", "crash.xml", std::move(onCompletion));
}
