// The reason phrases of HTTP status codes (NSHTTPURLResponse's
// localizedStringForStatusCode:, in the standard's own capitalisation).
#pragma once

#include <string>

namespace platform {

// "Not Found" for 404; for a code without a registered phrase, the phrase of
// its class ("Client Error" for 4xx, "Server Error" for 5xx, ...).
std::string reasonPhraseForStatusCode(long statusCode);

}  // namespace platform
