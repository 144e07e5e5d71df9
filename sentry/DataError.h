// One-line construction of error objects with a formatted description, and
// the "false plus error slot" helpers: stand in for NSError's
// errorWithDomain:code:description:, fillError:withDomain:code:description:
// and clearError: (the SimpleConstructor category).
#pragma once

#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Format.h"

// An error in `domain` with `code`, described by `format` filled with `args`
// through platform::format ("%@" shows Values, Errors and strings). `format`
// is a text the program wrote, never outside text. A null format gives an
// empty description.
template <typename... Args>
platform::Error errorWithDomain(const std::string& domain, long code, const char* format, const Args&... args) {
    return platform::Error(domain, code, format ? platform::format(format, args...) : std::string());
}

// Stores the new error in `slot` when one is given, and answers false, so a
// failing function can fill its caller's slot and return in one statement.
template <typename... Args>
bool fillError(platform::OptionalError* slot, const std::string& domain, long code, const char* format,
               const Args&... args) {
    if (slot) {
        *slot = errorWithDomain(domain, code, format, args...);
    }
    return false;
}

// Empties `slot` when one is given; answers false.
bool clearError(platform::OptionalError* slot);
