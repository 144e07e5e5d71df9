// Sends one request and sorts the answer into success (2xx), failure (any
// other status) and error (no usable response); the chosen block runs on the
// main queue. Blocks that are empty are skipped.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "platform/foundation/Error.h"
#include "platform/net/URLSession.h"

class MDHTTPRequestSender : public std::enable_shared_from_this<MDHTTPRequestSender> {
public:
    using ResponseBlock = std::function<void(const platform::HTTPURLResponse& response, const platform::Value::Bytes& data)>;
    using ErrorBlock = std::function<void(const platform::Error& error)>;

    static std::shared_ptr<MDHTTPRequestSender> sender();
    MDHTTPRequestSender();
    // Requests still running go on to their blocks.
    ~MDHTTPRequestSender();
    MDHTTPRequestSender(const MDHTTPRequestSender&) = delete;
    MDHTTPRequestSender& operator=(const MDHTTPRequestSender&) = delete;

    void sendRequest(const platform::URLRequest& request, ResponseBlock onSuccess, ResponseBlock onFailure,
                     ErrorBlock onError);
    void handleResponse(const std::optional<platform::HTTPURLResponse>& response, const platform::Value::Bytes& data,
                        const platform::OptionalError& error, ResponseBlock onSuccess, ResponseBlock onFailure,
                        ErrorBlock onError);

private:
    static void deliver(const std::optional<platform::HTTPURLResponse>& response, const platform::Value::Bytes& data,
                        const platform::OptionalError& error, ResponseBlock onSuccess, ResponseBlock onFailure,
                        ErrorBlock onError);

    std::shared_ptr<platform::URLSession> session_;  // of this sender alone
};
