#include "sentry/SentryRequest.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <string_view>
#include <vector>

#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/Log.h"
#include "sentry/DataError.h"
#include "sentry/DataGZip.h"
#include "sentry/SentryDSN.h"

using platform::HTTPURLResponse;
using platform::OptionalError;
using platform::Value;

namespace {

constexpr const char* kSendErrorDomain = "newSendTaskWithReport";
constexpr double kRequestTimeout = 15;
constexpr int kDefaultCompressionLevel = -1;

double secondsNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

bool allDigits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

int digitsValue(std::string_view text) {
    int value = 0;
    for (char c : text) value = value * 10 + (c - '0');
    return value;
}

// 1-12 for an English month abbreviation (any case), else 0.
int monthNumber(std::string_view token) {
    static constexpr const char* kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                              "jul", "aug", "sep", "oct", "nov", "dec"};
    if (token.size() != 3) return 0;
    std::string lower;
    for (char c : token) lower.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c));
    for (int i = 0; i < 12; ++i) {
        if (lower == kMonths[i]) return i + 1;
    }
    return 0;
}

bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
long long daysSinceEpoch(int year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    const long long era = (year >= 0 ? year : year - 399) / 400;
    const long long yearOfEra = year - era * 400;
    const long long dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const long long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

// The three HTTP date forms: "Sun, 06 Nov 1994 08:49:37 GMT",
// "Sunday, 06-Nov-94 08:49:37 GMT" and "Sun Nov  6 08:49:37 1994". In each
// the day comes before the year; names other than the month are skipped.
std::optional<double> secondsOfHTTPDate(std::string_view text) {
    int day = -1, month = 0, year = -1, hour = -1, minute = -1, second = -1;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ' || text[i] == ',' || text[i] == '-') {
            ++i;
            continue;
        }
        const size_t end = std::min(text.find_first_of(" ,-", i), text.size());
        const std::string_view token = text.substr(i, end - i);
        i = end;
        if (token.find(':') != std::string_view::npos) {
            if (token.size() != 8 || token[2] != ':' || token[5] != ':' || hour >= 0) return std::nullopt;
            const std::string_view h = token.substr(0, 2), m = token.substr(3, 2), s = token.substr(6, 2);
            if (!allDigits(h) || !allDigits(m) || !allDigits(s)) return std::nullopt;
            hour = digitsValue(h);
            minute = digitsValue(m);
            second = digitsValue(s);
        } else if (allDigits(token)) {
            if (day < 0 && token.size() <= 2) {
                day = digitsValue(token);
            } else if (year < 0 && (token.size() == 2 || token.size() == 4)) {
                year = digitsValue(token);
                if (token.size() == 2) year += year >= 70 ? 1900 : 2000;
            } else {
                return std::nullopt;
            }
        } else if (const int number = monthNumber(token); number != 0) {
            if (month != 0) return std::nullopt;
            month = number;
        } else {
            for (char c : token) {
                if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return std::nullopt;
            }
        }
    }
    if (day < 1 || month == 0 || year < 0 || hour < 0) return std::nullopt;
    if (day > daysInMonth(year, month) || hour > 23 || minute > 59 || second > 60) return std::nullopt;
    return static_cast<double>(daysSinceEpoch(year, month, day) * 86400 + hour * 3600 + minute * 60 + second);
}

std::string describeResponse(const HTTPURLResponse& response) {
    return platform::format("{ URL: %@ } { Status Code: %ld }", response.url, response.statusCode);
}

SentrySendResult sendResultFor(const std::optional<HTTPURLResponse>& response, const OptionalError& error) {
    SentrySendResult result;
    if (error) {
        result.error = error;
        return result;
    }
    if (!response) {
        result.error = errorWithDomain(kSendErrorDomain, 0, "Response was nil");
        return result;
    }
    const long status = response->statusCode;
    result.statusCode = status;
    if (status >= 200 && status <= 299) {
        result.outcome = SentrySendResult::Outcome::Delivered;
    } else if (status == 400 || status == 413) {
        // The body may echo the event or the keys: only the status is logged.
        platform::logFormat("Sentry: Error: Returned http status %ld", status);
        result.outcome = SentrySendResult::Outcome::Refused;
    } else {
        result.error = errorWithDomain(kSendErrorDomain, status, "%@", describeResponse(*response));
        if (status == 429) {
            if (auto header = response->headers.find("retry-after"); header != response->headers.end()) {
                result.retryAfterSeconds = SentryRequest::retryAfterSeconds(header->second, secondsNow());
            }
        }
    }
    return result;
}

}  // namespace

std::string SentryRequest::cleanupDSN(const Value& dsn) { return SentryDSN::parse(dsn).text; }

std::shared_ptr<SentryRequest> SentryRequest::requestWithDSN(const std::string& dsnText, const Value& event) {
    const SentryDSN dsn = SentryDSN::parse(Value(dsnText));
    if (event.isNil()) throw platform::InvalidArgumentException("Report is nil");

    const std::string authHeader = dsn.authHeader(static_cast<long long>(std::time(nullptr)));

    platform::Error jsonError;
    const std::string json =
        platform::JSONSerialization::dataWithJSONObject(event, platform::JSONSerialization::PrettyPrinted, &jsonError);
    if (json.empty()) {
        platform::logFormat("Sentry: newHTTPBodyFromReport: %@", jsonError);
        return nullptr;
    }
    OptionalError gzipError;
    std::optional<Value::Bytes> body =
        gzippedWithCompressionLevel(Value::Bytes(json.begin(), json.end()), kDefaultCompressionLevel, &gzipError);
    if (!body) {
        platform::logFormat("Sentry: newHTTPBodyFromReport: %@", gzipError);
        return nullptr;
    }

    platform::URLRequest request(dsn.storeURL);
    request.HTTPMethod = "POST";
    request.cachePolicy = platform::URLSessionConfiguration::CachePolicy::ReloadIgnoringLocalCacheData;
    request.timeoutInterval = kRequestTimeout;
    request.headers["Content-Type"] = "application/json";
    request.headers["X-Sentry-Auth"] = authHeader;
    request.headers["User-Agent"] = "MaydayReporter";
    request.headers["Content-Encoding"] = "gzip";
    request.HTTPBody = std::move(*body);
    return std::make_shared<SentryRequest>(dsn.storeURL, std::move(request));
}

SentryRequest::SentryRequest(platform::URL url, platform::URLRequest request)
    : url_(std::move(url)), request_(std::move(request)) {}

std::shared_ptr<platform::URLSessionTask> SentryRequest::newSendTaskWithSession(
    platform::URLSession& session, std::function<void(const SentrySendResult&)> onCompletion) const {
    if (!onCompletion) onCompletion = [](const SentrySendResult&) {};
    // The handler holds only its own copies: the request object may be gone
    // by the time the answer comes.
    return session.dataTaskWithRequest(
        request_, [onCompletion = std::move(onCompletion)](std::optional<Value::Bytes>,
                                                           std::optional<HTTPURLResponse> response,
                                                           OptionalError error) {
            onCompletion(sendResultFor(response, error));
        });
}

std::optional<double> SentryRequest::retryAfterSeconds(const std::string& value, double now) {
    std::string_view text(value);
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    if (allDigits(text)) {
        double seconds = 0;
        for (char c : text) seconds = seconds * 10 + (c - '0');
        return seconds;
    }
    const std::optional<double> date = secondsOfHTTPDate(text);
    if (!date) return std::nullopt;
    return *date > now ? *date - now : 0.0;
}
