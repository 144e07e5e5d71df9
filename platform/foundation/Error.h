// Error objects and the invalid-argument failure: stand in for NSError and
// NSException's NSInvalidArgumentException.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

namespace platform {

struct Error {
    std::string domain;
    long code = 0;
    std::string localizedDescription;  // NSLocalizedDescriptionKey
    Value userInfo;                    // further entries; usually nil

    Error() = default;
    Error(std::string domain, long code, std::string localizedDescription, Value userInfo = {})
        : domain(std::move(domain)), code(code),
          localizedDescription(std::move(localizedDescription)), userInfo(std::move(userInfo)) {}

    // "Error Domain=<domain> Code=<code> \"<localizedDescription>\"": what "%@" shows.
    std::string description() const;
};

// "The error or nothing", as completion blocks receive it.
using OptionalError = std::optional<Error>;

// The description of an optional error: "(null)" when there is none.
std::string describe(const OptionalError& error);

// Domains the platform layers report in.
inline constexpr const char* kURLErrorDomain = "NSURLErrorDomain";
inline constexpr const char* kCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr const char* kPOSIXErrorDomain = "NSPOSIXErrorDomain";

// An error in the POSIX domain for errno value `err`, described by strerror
// and prefixed with `what` when given ("<what>: <strerror>").
Error posixError(int err, const std::string& what = {});

// The failure raised for programming errors (an empty key path, an invalid
// DSN): a C++ exception carrying the exception's name and reason.
//
// Like its platform counterpart it is also an object of the object runtime
// (an NSException whose "name" and "reason" ivars hold string objects), made
// when it is raised, and it records the raising thread's return addresses.
// Copies share both; when the last copy goes the object is released through
// the runtime, so whoever watches deallocations sees a freed NSException.
// An uncaught one ends the process through the uncaught-exception handler
// (platform/foundation/UncaughtException.h).
class InvalidArgumentException : public std::exception {
public:
    explicit InvalidArgumentException(std::string reason,
                                      std::string name = "NSInvalidArgumentException");
    const std::string& name() const noexcept { return name_; }
    const std::string& reason() const noexcept { return reason_; }
    const char* what() const noexcept override { return reason_.c_str(); }
    // The runtime object (null only in a moved-from exception).
    const void* object() const noexcept;
    // Return addresses of the raising thread at construction, innermost
    // first; the first is in the function that raised it.
    const std::vector<uintptr_t>& callStackReturnAddresses() const noexcept;

private:
    struct Shared;
    std::string name_;
    std::string reason_;
    std::shared_ptr<const Shared> shared_;
};

}  // namespace platform
