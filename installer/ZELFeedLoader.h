// Fetches and parses the update feed.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "installer/ZELFeedData.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"

class ZELFeedLoader {
public:
    using Completion = std::function<void(std::shared_ptr<ZELFeedData> feed, platform::OptionalError error)>;

    // Starts the request on a fresh session that bypasses the cache; returns
    // at once. The completion runs once, on the main queue: with the feed
    // when a body arrived with a status below 400 and no field has the wrong
    // type, else with the error. Without a URL nothing is done and the
    // completion never runs.
    static void loadFeedFromURL(const std::optional<platform::URL>& url, Completion completion);
    // Parses a document; never nothing, even for bytes that are not JSON.
    static std::shared_ptr<ZELFeedData> feedDataFromData(const platform::Value::Bytes& data);
    // A feed error when a field the installer reads is there with the wrong
    // type ("product": 42): such a feed would show or install the wrong thing.
    // Missing fields are not checked here.
    static platform::OptionalError typeErrorOfFeed(const platform::Value& root);
};
