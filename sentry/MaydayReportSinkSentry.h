// The last filter of the Sentry pipeline: one event per report, one request
// per event, sent together once the server's host is reachable.
//
// It completes with the input reports (the same containers) that reached
// Sentry or that Sentry refused for good, so that only those are deleted;
// everything else stays stored for the next start. A 429 whose Retry-After
// is at most 30 s is tried once more within the send. However the network
// behaves, the send completes within sendTimeout() (60 s).
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "Mayday/Reporting/Filters/MaydayReportFilter.h"
#include "platform/foundation/Value.h"

class MDReachableOperationMayday;
class ReportInterpreter;

class MaydayReportSinkSentry : public MaydayReportFilter,
                               public std::enable_shared_from_this<MaydayReportSinkSentry> {
public:
    // A 429 asking for a longer wait than this keeps its report for the next start.
    static constexpr double kMaximumRetryAfterSeconds = 30;

    static std::shared_ptr<MaydayReportSinkSentry> sinkWithDsn(std::string dsn);
    explicit MaydayReportSinkSentry(std::string dsn);

    // The sink itself: no other filter goes in front of it. The sink must be
    // owned by a shared_ptr (sinkWithDsn).
    std::shared_ptr<MaydayReportFilter> defaultCrashReportFilterSet();

    // The Sentry event of a report (a report without an interpreter still
    // makes a minimal event).
    platform::Value convertReport(const platform::Value& report) const;
    platform::Value getInterfaces(const ReportInterpreter& interpreter) const;

    // Completes once: (delivered or refused reports, every report delivered
    // or refused, the last error). An empty list, or one whose reports make
    // no request, completes at once on the calling thread; otherwise on the
    // send session's queue, or a global queue when the time-out ends it.
    void filterReports(platform::Value reports, MaydayReportFilterCompletion onCompletion) override;
    bool completesWithDeliveredReports() const override { return true; }

    std::string dsn() const;
    void setDsn(std::string dsn);
    // The operation waiting for the host of the last send; null before one.
    std::shared_ptr<MDReachableOperationMayday> reachableOperation() const;
    void setReachableOperation(std::shared_ptr<MDReachableOperationMayday> operation);

    // Told, just before the completion, of each output report that Sentry
    // refused rather than took.
    void setOnRefusedReport(std::function<void(const platform::Value& report)> observer);

    // How long a send may take from filterReports to its completion: an
    // unreachable host or a server that never answers ends there with an
    // error and keeps the reports still pending. Process-wide.
    static std::chrono::milliseconds sendTimeout();
    static void setSendTimeout(std::chrono::milliseconds timeout);

private:
    mutable std::mutex mutex_;
    std::string dsn_;
    std::shared_ptr<MDReachableOperationMayday> reachableOperation_;
    std::function<void(const platform::Value&)> onRefusedReport_;
};
