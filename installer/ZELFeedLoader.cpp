#include "installer/ZELFeedLoader.h"

#include "installer/ZELServerAnswer.h"
#include "platform/dispatch/Dispatch.h"
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
                auto feed = feedDataFromData(*data);
                DispatchQueue::main().async([completion, feed] { completion(feed, std::nullopt); });
            } else {
                DispatchQueue::main().async([completion, error] { completion(nullptr, error); });
            }
            session->finishTasksAndInvalidate();
        });
    task->resume();
}

std::shared_ptr<ZELFeedData> ZELFeedLoader::feedDataFromData(const platform::Value::Bytes& data) {
    platform::Value root = JSONSerialization::JSONObjectWithData(data, JSONSerialization::AllowFragments);
    return std::make_shared<ZELFeedData>(root);
}
