#include "installer/ZELConstants.h"

#include <cstdlib>

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

Value ZELConstants::sentryURL() {
    Value raw = Bundle::mainBundle().objectForInfoDictionaryKey("SENTRY_URL");
    platform::logFormat("sentryUrl %@", raw);
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
