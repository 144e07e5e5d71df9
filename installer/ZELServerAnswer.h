// What the installer makes of a server's answer: an HTTP error status or an
// oversized feed is a failure with a text a person can act on, never content.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/foundation/Error.h"
#include "platform/net/URLSession.h"

namespace ZELServerAnswer {

// The largest update feed the installer reads: a feed is a few hundred bytes,
// and a bigger answer is not one.
inline constexpr int64_t kMaximumFeedSize = 4 << 20;

// "The server answered 404 (Not Found)." for a status of 400 or more.
std::optional<platform::Error> errorForResponse(const platform::HTTPURLResponse& response);
// The feed's transfer error, with a clear text when the feed was too large.
platform::Error feedError(const platform::Error& transferError);

}  // namespace ZELServerAnswer
