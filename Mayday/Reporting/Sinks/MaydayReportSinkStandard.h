// Reports posted as one JSON array in a multipart field ("reports",
// "reports.json"), once the server's host can be reached.
#pragma once

#include <memory>
#include <optional>

#include "Mayday/Reporting/Filters/MaydayReportFilter.h"
#include "platform/foundation/URL.h"
#include "sentry/MDReachabilityMayday.h"

class MaydayReportSinkStandard : public MaydayReportFilter,
                                 public std::enable_shared_from_this<MaydayReportSinkStandard> {
public:
    static std::shared_ptr<MaydayReportSinkStandard> sinkWithURL(std::optional<platform::URL> url);
    explicit MaydayReportSinkStandard(std::optional<platform::URL> url);

    const std::optional<platform::URL>& url() const noexcept { return url_; }
    void setUrl(std::optional<platform::URL> url) { url_ = std::move(url); }
    const std::shared_ptr<MDReachableOperationMayday>& reachableOperation() const noexcept {
        return reachableOperation_;
    }

    // The sink itself: it takes the decoded reports as they are.
    std::shared_ptr<MaydayReportFilter> defaultCrashReportFilterSet();

    void filterReports(platform::Value reports, MaydayReportFilterCompletion onCompletion) override;

private:
    std::optional<platform::URL> url_;
    std::shared_ptr<MDReachableOperationMayday> reachableOperation_;
};
