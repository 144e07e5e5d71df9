#include "installer/ZELServerAnswer.h"

#include "platform/foundation/Format.h"
#include "platform/net/HTTPStatus.h"

namespace ZELServerAnswer {

std::optional<platform::Error> errorForResponse(const platform::HTTPURLResponse& response) {
    if (response.statusCode < 400) return std::nullopt;
    const std::string text = platform::format("The server answered %ld (%s).", response.statusCode,
                                              platform::reasonPhraseForStatusCode(response.statusCode).c_str());
    return platform::Error(platform::kURLErrorDomain, platform::URLErrorBadServerResponse, text,
                           platform::Value::dictionary({{"NSErrorFailingURLStringKey", platform::Value(response.url)},
                                                        {"statusCode", platform::Value((int64_t)response.statusCode)}}));
}

platform::Error feedError(const platform::Error& transferError) {
    if (transferError.code != platform::URLErrorDataLengthExceedsMaximum) return transferError;
    return platform::Error(transferError.domain, transferError.code, "The update feed is larger than 4 MiB.",
                           transferError.userInfo);
}

}  // namespace ZELServerAnswer
