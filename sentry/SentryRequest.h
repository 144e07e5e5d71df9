// One Sentry event as a ready HTTP request to the server's store endpoint,
// and the task that sends it; also the DSN check the client does at start.
//
// A DSN is "<scheme>://<public key>[:<secret key>]@<host>[:<port>][/<path>]/<project>".
// The keys are credentials: they travel in the "X-Sentry-Auth" header and
// nowhere else, and are never logged.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"
#include "platform/net/URLSession.h"

// What became of one send, for deciding whether its report may go.
struct SentrySendResult {
    enum class Outcome {
        Delivered,  // 2xx
        Refused,    // the server will never take it (400, 413): logged, the report may go
        Retry,      // network error, timeout, 401, 403, 429, 5xx, any other status: keep the report
    };
    Outcome outcome = Outcome::Retry;
    long statusCode = 0;           // 0 without a response
    platform::OptionalError error;  // none when Delivered or Refused
    // From a 429's Retry-After (seconds, or an HTTP date turned into seconds
    // from now); nothing when absent or unreadable.
    std::optional<double> retryAfterSeconds;
};

class SentryRequest {
public:
    // The DSN trimmed of white space and line ends at both ends; raises
    // platform::InvalidArgumentException with a fixed reason when it is unusable.
    static std::string cleanupDSN(const platform::Value& dsn);

    // nullptr when the event cannot be serialised (logged); the DSN's
    // failures raise as in cleanupDSN; a nil event raises "Report is nil".
    static std::shared_ptr<SentryRequest> requestWithDSN(const std::string& dsn, const platform::Value& event);

    const platform::URL& url() const noexcept { return url_; }
    const platform::URLRequest& request() const noexcept { return request_; }

    // A new data task for request(), not yet resumed; `onCompletion` is
    // called exactly once, on the session's queue.
    std::shared_ptr<platform::URLSessionTask> newSendTaskWithSession(
        platform::URLSession& session, std::function<void(const SentrySendResult&)> onCompletion) const;

    // A Retry-After value (delta-seconds or an HTTP date) as seconds from
    // `now` (seconds since 1970); a date already past gives 0; nothing when
    // the value is neither.
    static std::optional<double> retryAfterSeconds(const std::string& value, double now);

    SentryRequest(platform::URL url, platform::URLRequest request);

private:
    platform::URL url_;
    platform::URLRequest request_;
};
