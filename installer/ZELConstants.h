// The installer's settings, read from the bundle's information dictionary on
// every call (nothing is cached).
#pragma once

#include <optional>
#include <string>

#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"

class ZELConstants {
public:
    // "UPDATE_URL" as a URL; nothing when absent or not a valid URL.
    static std::optional<platform::URL> getFeedURL();
    // "SENTRY_URL" as read (nil when absent).
    static platform::Value sentryURL();
    // "APP_ICON" as read (nil when absent).
    static platform::Value appIcon();
    // Seconds without progress after which a request fails: 60, or
    // $ZEL_REQUEST_TIMEOUT when it is a positive number (the tests).
    static double requestTimeout();
    // "UPDATE_PUBLIC_KEY", the publisher's base64 Ed25519 key (nil when absent).
    static platform::Value updatePublicKey();
};
