#include "sentry/SentryDSN.h"

#include <string_view>

#include "platform/foundation/Error.h"
#include "platform/foundation/Format.h"

namespace {

constexpr const char* kClientName = "sentry-objc";
constexpr const char* kClientVersion = "1.1.0";

[[noreturn]] void fail(const char* reason) { throw platform::InvalidArgumentException(reason); }

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::string trimmed(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && isBlank(text[begin])) ++begin;
    while (end > begin && isBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

// Keys go into a header line: anything but letters and digits (a decoded
// CR LF above all) could add header lines of its own.
bool isKey(const std::string& key) {
    if (key.empty()) return false;
    for (char c : key) {
        const bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!alnum) return false;
    }
    return true;
}

// The path as written (still percent-encoded) of an http(s) URL text whose
// scheme has been checked: from the end of the authority to the query or
// fragment. The parsed URL only offers the decoded path, which may no longer
// be valid URL text.
std::string_view rawPath(std::string_view text) {
    const size_t authority = text.find("://") + 3;
    const size_t begin = text.find_first_of("/?#", authority);
    if (begin == std::string_view::npos || text[begin] != '/') return {};
    const size_t end = text.find_first_of("?#", begin);
    return text.substr(begin, end == std::string_view::npos ? std::string_view::npos : end - begin);
}

std::string_view withoutTrailingSlashes(std::string_view path) {
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    return path;
}

}  // namespace

SentryDSN SentryDSN::parse(const platform::Value& dsn) {
    if (dsn.isNil() || dsn.isNull()) fail("DSN is nil");

    SentryDSN result;
    result.text = trimmed(dsn.stringValue());
    const std::optional<platform::URL> url = platform::URL::URLWithString(result.text);
    if (!url || url->scheme().empty()) fail("URL scheme of DSN is missing");
    // The parser lower-cases the scheme; the DSN's own spelling decides.
    const std::string_view writtenScheme = std::string_view(result.text).substr(0, url->scheme().size());
    if (writtenScheme != "http" && writtenScheme != "https") fail("Unrecognized URL scheme in DSN");
    if (url->host().empty()) fail("Host component of DSN is missing");
    if (url->user().empty()) fail("User component of DSN is missing");
    if (!isKey(url->user())) fail("Invalid key in DSN");
    if (!url->password().empty()) {
        if (!isKey(url->password())) fail("Invalid secret in DSN");
        result.secretKey = url->password();
    }
    result.publicKey = url->user();

    const std::string_view path = withoutTrailingSlashes(rawPath(result.text));
    const size_t slash = path.rfind('/');
    if (path.empty() || slash == std::string_view::npos) fail("Project ID path component of DSN is missing");
    result.projectID = std::string(path.substr(slash + 1));
    const std::string_view prefix = withoutTrailingSlashes(path.substr(0, slash));

    std::string store = std::string(writtenScheme) + "://";
    // An IPv6 literal comes back from the parser without its brackets.
    store += url->host().find(':') == std::string::npos ? url->host() : "[" + url->host() + "]";
    if (url->port()) store += ":" + std::to_string(*url->port());
    store += std::string(prefix) + "/api/" + result.projectID + "/store/";
    // Every piece was valid URL text in the DSN, so this parses.
    std::optional<platform::URL> storeURL = platform::URL::URLWithString(store);
    if (!storeURL) fail("Project ID path component of DSN is missing");
    result.storeURL = std::move(*storeURL);
    return result;
}

std::string SentryDSN::authHeader(long long timestamp) const {
    std::string pairs;
    auto add = [&pairs](const char* name, const std::string& value) {
        pairs += platform::format("%@=%@", name, value) + ",";
    };
    add("sentry_version", "7");
    add("sentry_client", platform::format("%@/%@", kClientName, kClientVersion));
    add("sentry_timestamp", std::to_string(timestamp));
    add("sentry_key", publicKey);
    if (secretKey) add("sentry_secret", *secretKey);
    pairs.pop_back();  // the last ","
    return "Sentry " + pairs;
}
