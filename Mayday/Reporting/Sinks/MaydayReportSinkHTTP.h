// What the sinks that post to a server share: the request they build, the
// wait for the host, and how an answer becomes a filter completion.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "Mayday/Reporting/Filters/MaydayReportFilter.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"
#include "platform/net/URLSession.h"
#include "sentry/MDReachabilityMayday.h"

// The most bytes of a refusing server's answer an error carries: the text
// ends up in logs, and a server may answer with a whole page.
inline constexpr size_t kMaydaySinkErrorBodyLimit = 1024;

// A POST of `body` to `url` that ignores cached data and gives up after 15 s.
platform::URLRequest mdsink_postRequest(const platform::URL& url, platform::Value::Bytes body);

// At most `limit` bytes of `data` as text, cut before a character that
// would not fit.
std::string mdsink_textOfBody(const platform::Value::Bytes& data, size_t limit = kMaydaySinkErrorBodyLimit);

// Sends `request` and completes, on the main queue, with (reports, YES, nil)
// for a 2xx answer; (reports, NO, error) for any other status, the error in
// `errorDomain` with the status as code and the start of the answer's body
// as description; (reports, NO, the transport error) when nothing usable
// came back.
//
// With `waitUntilReachable` the request leaves once the URL's host can be
// reached, and the answer is the pending operation: the caller keeps it, and
// dropping it before the host was reached abandons the send, which then
// completes (on the main queue) with an error saying so. Without a monitor
// for the host the request leaves at once. Otherwise it leaves at once and
// the answer is null.
std::shared_ptr<MDReachableOperationMayday> mdsink_sendRequest(platform::URLRequest request,
                                                                bool waitUntilReachable, std::string errorDomain,
                                                                platform::Value reports,
                                                                MaydayReportFilterCompletion onCompletion);

// The JSON sinks' send: `sent` as one sorted JSON array in the multipart
// field "reports" ("application/json", "reports.json"), the multipart data
// gzipped when `gzipped`, posted to `url` once its host can be reached, and
// completing with `reports` as mdsink_sendRequest does. Without a URL
// ("url was nil") or when `sent` does not encode, it completes NO at once
// and answers null.
std::shared_ptr<MDReachableOperationMayday> mdsink_postReportsJSON(const std::optional<platform::URL>& url,
                                                                    const platform::Value& sent, bool gzipped,
                                                                    std::string errorDomain, platform::Value reports,
                                                                    MaydayReportFilterCompletion onCompletion);
