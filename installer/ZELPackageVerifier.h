// Checks a downloaded package against what its publisher said before it is
// installed: the feed's "sha256" (hex of the package) when present, and, when
// the bundle carries the publisher's key ("UPDATE_PUBLIC_KEY", base64 Ed25519),
// the feed's "signature" (base64 Ed25519 over the package), which then must be
// present and valid. The primitives are OpenSSL's.
#pragma once

#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace ZELPackageVerifier {

// Nothing when the package may be installed; else the error to show:
// "The downloaded package is damaged (checksum mismatch)." or
// "The downloaded package is not signed by the publisher."
platform::OptionalError verifyPackage(const std::string& path, const platform::Value& sha256,
                                      const platform::Value& signature, const platform::Value& publicKey);

// The lower-case hex SHA-256 of a file; empty when it cannot be read.
std::string sha256OfFile(const std::string& path);

}  // namespace ZELPackageVerifier
