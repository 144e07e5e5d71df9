// Random identifiers: stands in for NSUUID.
#pragma once

#include <string>

namespace platform {

// A new random (version 4) UUID as NSUUID's UUIDString writes it: upper
// case, with dashes ("E621E1F8-C36C-495A-93FC-0C247A3E6E5F").
std::string newUUIDString();

}  // namespace platform
