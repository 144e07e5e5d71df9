// How transfer failures are reported: NSURLErrorDomain errors with
// Foundation's codes and texts, mapped from libcurl's results.
#pragma once

#include <curl/curl.h>
#include <string>

#include "platform/foundation/Error.h"

namespace platform::net_internal {

std::string describeURLError(long code);
// An error of `code`, naming the failing URL in its user information.
Error urlError(long code, const std::string& failingURL);
long urlErrorCodeForCurl(CURLcode result);

}  // namespace platform::net_internal
