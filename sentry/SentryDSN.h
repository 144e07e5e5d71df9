// A Sentry DSN taken apart and checked: the keys for the authentication
// header and the store endpoint the events go to.
//
// "<scheme>://<public key>[:<secret key>]@<host>[:<port>][/<path>]/<project>"
// The project is the last path component; the path before it is kept, so
// "https://key@host/sentry/42" stores to "https://host/sentry/api/42/store/".
// The keys are credentials: they are never part of a message or a URL here.
#pragma once

#include <optional>
#include <string>

#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"

struct SentryDSN {
    std::string text;                      // the DSN trimmed of white space and line ends
    std::string publicKey;                 // percent-decoded, [0-9A-Za-z]+
    std::optional<std::string> secretKey;  // percent-decoded, [0-9A-Za-z]+; nothing without one
    std::string projectID;                 // as written in the DSN
    platform::URL storeURL;                // scheme, host, port and "<path>/api/<project>/store/"

    // Raises platform::InvalidArgumentException with one of these reasons,
    // checked in this order: "DSN is nil", "URL scheme of DSN is missing",
    // "Unrecognized URL scheme in DSN", "Host component of DSN is missing",
    // "User component of DSN is missing", "Invalid key in DSN",
    // "Invalid secret in DSN", "Project ID path component of DSN is missing".
    static SentryDSN parse(const platform::Value& dsn);

    // The "X-Sentry-Auth" value for a request made at `timestamp` (whole
    // seconds since 1970): "Sentry sentry_version=7,sentry_client=...,
    // sentry_timestamp=...,sentry_key=...[,sentry_secret=...]".
    std::string authHeader(long long timestamp) const;
};
