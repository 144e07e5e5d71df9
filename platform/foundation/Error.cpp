#include "platform/foundation/Error.h"

#include <cstring>

namespace platform {

std::string Error::description() const {
    return "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" + localizedDescription + "\"";
}

std::string describe(const OptionalError& error) { return error ? error->description() : "(null)"; }

Error posixError(int err, const std::string& what) {
    char buf[256];
    // GNU strerror_r may return a static string instead of filling buf.
    const char* text = strerror_r(err, buf, sizeof buf);
    std::string description = what.empty() ? std::string(text) : what + ": " + text;
    return Error(kPOSIXErrorDomain, err, std::move(description));
}

InvalidArgumentException::InvalidArgumentException(std::string reason, std::string name)
    : name_(std::move(name)), reason_(std::move(reason)) {}

}  // namespace platform
