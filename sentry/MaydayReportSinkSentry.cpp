// Each send is one SendRun: the per-report outcomes, the session, the
// reachability operation and the completion. Everything that runs later (the
// reachability block, the request completions, the retry and time-out timers)
// holds the run; the run lets go of the session and the operation when it
// finishes, which ends the cycles those hold.
#include "sentry/MaydayReportSinkSentry.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Error.h"
#include "platform/net/URLSession.h"
#include "sentry/DataError.h"
#include "sentry/MDReachabilityMayday.h"
#include "sentry/ReportInterpreter.h"
#include "sentry/SentryEvent.h"
#include "sentry/SentryRequest.h"

using platform::OptionalError;
using platform::Value;

namespace {

constexpr const char* kDomain = "MaydayReportSinkSentry";

std::atomic<long long> g_sendTimeoutMs{60 * 1000};

enum class Outcome { Pending, Delivered, Refused, Kept };

struct Entry {
    Value report;
    std::shared_ptr<SentryRequest> request;  // null: the event could not be serialised
    Outcome outcome = Outcome::Pending;
    bool retried = false;
};

struct SendRun {
    std::mutex mutex;
    std::vector<Entry> entries;
    size_t pending = 0;
    OptionalError lastError;
    bool finished = false;
    MaydayReportFilterCompletion completion;
    std::function<void(const Value&)> onRefused;
    std::shared_ptr<MDReachableOperationMayday> operation;
    std::shared_ptr<platform::URLSession> session;
};

void onResult(const std::shared_ptr<SendRun>& run, size_t index, const SentrySendResult& result);

// Ends the run once: the reports that were delivered or refused, in input
// order. `reason` (a time-out) stands for the requests still pending.
void finish(const std::shared_ptr<SendRun>& run, OptionalError reason = std::nullopt) {
    Value output = Value::array();
    std::vector<Value> refused;
    bool completed = true;
    OptionalError error;
    MaydayReportFilterCompletion completion;
    std::function<void(const Value&)> onRefused;
    std::shared_ptr<MDReachableOperationMayday> operation;
    std::shared_ptr<platform::URLSession> session;
    bool anyPending = false;
    {
        std::lock_guard<std::mutex> guard(run->mutex);
        if (run->finished) return;
        run->finished = true;
        for (Entry& entry : run->entries) {
            if (entry.outcome == Outcome::Delivered || entry.outcome == Outcome::Refused) output.addObject(entry.report);
            if (entry.outcome == Outcome::Refused) refused.push_back(entry.report);
            if (entry.outcome == Outcome::Pending) anyPending = true;
            if (entry.outcome != Outcome::Delivered && entry.outcome != Outcome::Refused) completed = false;
            entry.request.reset();
        }
        error = anyPending && reason ? std::move(reason) : run->lastError;
        completion = std::move(run->completion);
        onRefused = std::move(run->onRefused);
        operation = std::move(run->operation);
        session = std::move(run->session);
    }
    // The operation lives on the main queue: it is cancelled and let go there.
    if (operation) platform::DispatchQueue::main().async([operation] { operation->cancel(); });
    if (session) {
        if (anyPending) {
            session->invalidateAndCancel();
        } else {
            session->finishTasksAndInvalidate();
        }
    }
    if (onRefused) {
        for (const Value& report : refused) onRefused(report);
    }
    if (completion) completion(std::move(output), completed, std::move(error));
}

// Starts one request on the run's session (nothing once the run is over).
void startRequest(const std::shared_ptr<SendRun>& run, size_t index) {
    std::shared_ptr<platform::URLSessionTask> task;
    {
        std::lock_guard<std::mutex> guard(run->mutex);
        if (run->finished || !run->session) return;
        task = run->entries[index].request->newSendTaskWithSession(
            *run->session, [run, index](const SentrySendResult& result) { onResult(run, index, result); });
    }
    if (task) task->resume();
}

// Main queue, once the host is reachable: every request in flight together
// on one new session.
void startSending(const std::shared_ptr<SendRun>& run) {
    std::vector<size_t> toSend;
    {
        std::lock_guard<std::mutex> guard(run->mutex);
        if (run->finished || run->session) return;
        run->session =
            platform::URLSession::sessionWithConfiguration(platform::URLSessionConfiguration::defaultSessionConfiguration());
        for (size_t i = 0; i < run->entries.size(); i++) {
            if (run->entries[i].outcome == Outcome::Pending) toSend.push_back(i);
        }
    }
    for (size_t index : toSend) startRequest(run, index);
}

void onResult(const std::shared_ptr<SendRun>& run, size_t index, const SentrySendResult& result) {
    bool done = false;
    {
        std::lock_guard<std::mutex> guard(run->mutex);
        if (run->finished) return;
        Entry& entry = run->entries[index];
        if (entry.outcome != Outcome::Pending) return;
        switch (result.outcome) {
            case SentrySendResult::Outcome::Delivered:
                entry.outcome = Outcome::Delivered;
                break;
            case SentrySendResult::Outcome::Refused:
                entry.outcome = Outcome::Refused;
                break;
            case SentrySendResult::Outcome::Retry: {
                const double wait = result.retryAfterSeconds.value_or(-1);
                if (result.statusCode == 429 && !entry.retried && result.retryAfterSeconds &&
                    wait <= MaydayReportSinkSentry::kMaximumRetryAfterSeconds) {
                    // Asked to come back soon: once, within this send.
                    entry.retried = true;
                    const auto delay = std::chrono::milliseconds(static_cast<long long>(std::ceil(std::max(wait, 0.0) * 1000)));
                    platform::dispatchAfter(delay, platform::DispatchQueue::global(),
                                            [run, index] { startRequest(run, index); });
                    return;
                }
                entry.outcome = Outcome::Kept;
                run->lastError = result.error ? result.error
                                              : errorWithDomain(kDomain, result.statusCode,
                                                                "Sentry answered with status %ld", result.statusCode);
                break;
            }
        }
        done = --run->pending == 0;
    }
    if (done) finish(run);
}

}  // namespace

std::shared_ptr<MaydayReportSinkSentry> MaydayReportSinkSentry::sinkWithDsn(std::string dsn) {
    return std::make_shared<MaydayReportSinkSentry>(std::move(dsn));
}

MaydayReportSinkSentry::MaydayReportSinkSentry(std::string dsn) : dsn_(std::move(dsn)) {}

std::shared_ptr<MaydayReportFilter> MaydayReportSinkSentry::defaultCrashReportFilterSet() {
    return shared_from_this();
}

Value MaydayReportSinkSentry::convertReport(const Value& report) const { return sentryEventForReport(report); }

Value MaydayReportSinkSentry::getInterfaces(const ReportInterpreter& interpreter) const {
    return sentryInterfacesForInterpreter(interpreter);
}

std::string MaydayReportSinkSentry::dsn() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return dsn_;
}

void MaydayReportSinkSentry::setDsn(std::string dsn) {
    std::lock_guard<std::mutex> guard(mutex_);
    dsn_ = std::move(dsn);
}

std::shared_ptr<MDReachableOperationMayday> MaydayReportSinkSentry::reachableOperation() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return reachableOperation_;
}

void MaydayReportSinkSentry::setReachableOperation(std::shared_ptr<MDReachableOperationMayday> operation) {
    std::lock_guard<std::mutex> guard(mutex_);
    reachableOperation_ = std::move(operation);
}

void MaydayReportSinkSentry::setOnRefusedReport(std::function<void(const Value& report)> observer) {
    std::lock_guard<std::mutex> guard(mutex_);
    onRefusedReport_ = std::move(observer);
}

std::chrono::milliseconds MaydayReportSinkSentry::sendTimeout() {
    return std::chrono::milliseconds(g_sendTimeoutMs.load());
}

void MaydayReportSinkSentry::setSendTimeout(std::chrono::milliseconds timeout) {
    g_sendTimeoutMs.store(std::max<long long>(timeout.count(), 1));
}

void MaydayReportSinkSentry::filterReports(Value reports, MaydayReportFilterCompletion onCompletion) {
    auto run = std::make_shared<SendRun>();
    run->completion = std::move(onCompletion);
    const std::string dsn = this->dsn();
    {
        std::lock_guard<std::mutex> guard(mutex_);
        run->onRefused = onRefusedReport_;
    }
    try {
        SentryRequest::cleanupDSN(Value(dsn));
    } catch (const platform::InvalidArgumentException&) {
        // Never the DSN itself in the error: it holds the key.
        run->lastError = errorWithDomain(kDomain, 0, "Invalid DSN");
        for (const Value& report : reports.arrayItems()) run->entries.push_back({report, nullptr, Outcome::Kept});
        finish(run);
        return;
    }

    for (const Value& report : reports.arrayItems()) {
        Entry entry{report, nullptr, Outcome::Pending};
        try {
            entry.request = SentryRequest::requestWithDSN(dsn, convertReport(report));
        } catch (const platform::InvalidArgumentException& exception) {
            entry.outcome = Outcome::Kept;
            run->lastError = errorWithDomain(kDomain, 0, "%@", exception.reason());
        }
        // An event that cannot be serialised never will be: the report goes.
        if (entry.outcome == Outcome::Pending && !entry.request) entry.outcome = Outcome::Refused;
        if (entry.outcome == Outcome::Pending) run->pending++;
        run->entries.push_back(std::move(entry));
    }
    if (run->pending == 0) {
        finish(run);
        return;
    }

    std::string host;
    for (const Entry& entry : run->entries) {
        if (entry.request) {
            host = entry.request->url().host();
            break;
        }
    }
    // The run cannot outlast the time-out, whatever the network does.
    const std::chrono::milliseconds timeout = sendTimeout();
    platform::dispatchAfter(timeout, platform::DispatchQueue::global(), [run, timeout] {
        finish(run, platform::Error(platform::kURLErrorDomain, platform::URLErrorTimedOut,
                                    platform::format("Sending to Sentry did not finish within %lld ms",
                                                     static_cast<long long>(timeout.count()))));
    });
    auto operation = MDReachableOperationMayday::operationWithHost(host, true, [run] { startSending(run); });
    bool alreadyOver = false;
    {
        std::lock_guard<std::mutex> guard(run->mutex);
        alreadyOver = run->finished;
        if (!alreadyOver) run->operation = operation;
    }
    setReachableOperation(operation);
    if (alreadyOver && operation) platform::DispatchQueue::main().async([operation] { operation->cancel(); });
    // Without a monitor there is nothing to wait for: try at once.
    if (!operation) platform::DispatchQueue::main().async([run] { startSending(run); });
}
