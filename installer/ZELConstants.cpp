#include "installer/ZELConstants.h"

#include <algorithm>
#include <cstdlib>
#include <string>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Log.h"

using platform::Bundle;
using platform::Value;

std::optional<platform::URL> ZELConstants::getFeedURL() {
    Value raw = Bundle::mainBundle().objectForInfoDictionaryKey("UPDATE_URL");
    platform::logFormat("getFeedURL %@", raw);
    // URLWithString: of a non-string answers nil, like a malformed string.
    if (!raw.isString()) return std::nullopt;
    return platform::URL::URLWithString(raw.stringValue());
}

namespace {

// The DSN's key (and secret) are credentials: the log shows where reports
// go, never what lets anyone post there.
Value withoutCredentials(const Value& dsn) {
    if (!dsn.isString()) return dsn;
    std::string text = dsn.stringValue();
    const size_t scheme = text.find("://");
    const size_t start = scheme == std::string::npos ? 0 : scheme + 3;
    const size_t end = std::min(text.find_first_of("/?#", start), text.size());
    const size_t at = text.rfind('@', end == 0 ? 0 : end - 1);
    if (at != std::string::npos && at >= start && at < end) text.replace(start, at - start, "***");
    return Value(text);
}

}  // namespace

Value ZELConstants::sentryURL() {
    Value raw = Bundle::mainBundle().objectForInfoDictionaryKey("SENTRY_URL");
    platform::logFormat("sentryUrl %@", withoutCredentials(raw));
    return raw;
}

double ZELConstants::requestTimeout() {
    if (const char* text = std::getenv("ZEL_REQUEST_TIMEOUT")) {
        char* end = nullptr;
        const double seconds = std::strtod(text, &end);
        if (end != text && *end == '\0' && seconds > 0) return seconds;
    }
    return 60;
}

Value ZELConstants::updatePublicKey() { return Bundle::mainBundle().objectForInfoDictionaryKey("UPDATE_PUBLIC_KEY"); }

Value ZELConstants::appIcon() {
    Value raw = Bundle::mainBundle().objectForInfoDictionaryKey("APP_ICON");
    platform::logFormat("appIcon %@", raw);
    return raw;
}
