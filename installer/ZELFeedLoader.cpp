#include "installer/ZELFeedLoader.h"

#include "installer/ZELConstants.h"
#include "installer/ZELServerAnswer.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/net/URLSession.h"

using platform::DispatchQueue;
using platform::JSONSerialization;
using platform::URLSession;
using platform::URLSessionConfiguration;

void ZELFeedLoader::loadFeedFromURL(const std::optional<platform::URL>& url, Completion completion) {
    if (!url) return;
    auto configuration = URLSessionConfiguration::defaultSessionConfiguration();
    configuration.requestCachePolicy = URLSessionConfiguration::CachePolicy::ReloadIgnoringLocalCacheData;
    configuration.maximumDataTaskBodySize = ZELServerAnswer::kMaximumFeedSize;
    configuration.timeoutIntervalForRequest = ZELConstants::requestTimeout();
    auto session = URLSession::sessionWithConfiguration(configuration);
    // The handler keeps the session alive until the request is over, then
    // lets it go; the session has nothing else to do.
    auto task = session->dataTaskWithURL(
        *url, [session, completion = std::move(completion)](std::optional<platform::Value::Bytes> data,
                                                            std::optional<platform::HTTPURLResponse> response,
                                                            platform::OptionalError error) mutable {
            // An error page is the server's answer, not a feed.
            if (data && response) {
                if (auto answer = ZELServerAnswer::errorForResponse(*response)) {
                    data.reset();
                    error = std::move(answer);
                }
            }
            if (error) error = ZELServerAnswer::feedError(*error);
            if (data) {
                const platform::Value root = JSONSerialization::JSONObjectWithData(*data, JSONSerialization::AllowFragments);
                if (auto typeError = typeErrorOfFeed(root)) {
                    DispatchQueue::main().async([completion, typeError] { completion(nullptr, typeError); });
                } else {
                    auto feed = std::make_shared<ZELFeedData>(root);
                    DispatchQueue::main().async([completion, feed] { completion(feed, std::nullopt); });
                }
            } else {
                DispatchQueue::main().async([completion, error] { completion(nullptr, error); });
            }
            session->finishTasksAndInvalidate();
        });
    task->resume();
}

namespace {

platform::Error feedTypeError(const std::string& path, const char* expected) {
    return platform::Error("ZELFeedErrorDomain", 1,
                           platform::format("The update feed is not valid: \"%@\" must be %s.", path, expected));
}

}  // namespace

platform::OptionalError ZELFeedLoader::typeErrorOfFeed(const platform::Value& root) {
    using platform::Value;
    // Levels that are there must be objects; the fields below them what they say.
    const Value& platforms = root.objectForKey("platforms");
    if (!platforms.isNil() && !platforms.isDictionary()) return feedTypeError("platforms", "an object");
    const Value& darwin = platforms.objectForKey("darwin");
    if (!darwin.isNil() && !darwin.isDictionary()) return feedTypeError("platforms/darwin", "an object");
    for (const char* key : {"product", "version", "bundleId", "installUrl", "sha256", "signature"}) {
        const Value& value = darwin.objectForKey(key);
        if (!value.isNil() && !value.isString())
            return feedTypeError(std::string("platforms/darwin/") + key, "a string");
    }
    const Value& options = darwin.objectForKey("options");
    if (!options.isNil() && !options.isDictionary()) return feedTypeError("platforms/darwin/options", "an object");
    for (const char* key : {"autoLaunch", "displayVersion"}) {
        const Value& value = options.objectForKey(key);
        if (!value.isNil() && !value.isBoolean() && !value.isNumber())
            return feedTypeError(std::string("platforms/darwin/options/") + key, "true or false");
    }
    return std::nullopt;
}

std::shared_ptr<ZELFeedData> ZELFeedLoader::feedDataFromData(const platform::Value::Bytes& data) {
    platform::Value root = JSONSerialization::JSONObjectWithData(data, JSONSerialization::AllowFragments);
    return std::make_shared<ZELFeedData>(root);
}
