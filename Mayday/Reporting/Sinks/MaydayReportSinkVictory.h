// Reports posted like the standard sink's, each carrying who sent it in its
// "user" section, with the whole body gzipped.
#pragma once

#include <memory>
#include <optional>

#include "Mayday/Reporting/Filters/MaydayReportFilter.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"
#include "sentry/MDReachabilityMayday.h"

class MaydayReportSinkVictory : public MaydayReportFilter,
                                public std::enable_shared_from_this<MaydayReportSinkVictory> {
public:
    // `userName` and `userEmail`: strings or nil.
    static std::shared_ptr<MaydayReportSinkVictory> sinkWithURL(std::optional<platform::URL> url,
                                                                platform::Value userName, platform::Value userEmail);
    MaydayReportSinkVictory(std::optional<platform::URL> url, platform::Value userName, platform::Value userEmail);

    const std::optional<platform::URL>& url() const noexcept { return url_; }
    void setUrl(std::optional<platform::URL> url) { url_ = std::move(url); }
    // "unknown" when it was given nil or empty.
    const platform::Value& userName() const noexcept { return userName_; }
    const platform::Value& userEmail() const noexcept { return userEmail_; }
    const std::shared_ptr<MDReachableOperationMayday>& reachableOperation() const noexcept {
        return reachableOperation_;
    }

    // The sink itself.
    std::shared_ptr<MaydayReportFilter> defaultCrashReportFilterSet();

    // Sends copies of the reports whose "user" has "name" and "email" set;
    // completes with the reports it was given.
    void filterReports(platform::Value reports, MaydayReportFilterCompletion onCompletion) override;

private:
    std::optional<platform::URL> url_;
    platform::Value userName_;
    platform::Value userEmail_;
    std::shared_ptr<MDReachableOperationMayday> reachableOperation_;
};
