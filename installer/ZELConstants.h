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
    // "UPDATE_PUBLIC_KEY", the publisher's base64 Ed25519 key (nil when absent).
    static platform::Value updatePublicKey();
};
