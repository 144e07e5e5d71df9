#include "sentry/MDHTTPRequestSender.h"

#include <utility>

#include "platform/dispatch/Dispatch.h"
#include "sentry/DataError.h"

using platform::HTTPURLResponse;
using platform::OptionalError;
using platform::Value;

namespace {

constexpr const char* kErrorDomain = "MDHTTPRequestSender";

void onMainQueue(std::function<void()> block) { platform::DispatchQueue::main().async(std::move(block)); }

}  // namespace

std::shared_ptr<MDHTTPRequestSender> MDHTTPRequestSender::sender() { return std::make_shared<MDHTTPRequestSender>(); }

MDHTTPRequestSender::MDHTTPRequestSender()
    : session_(platform::URLSession::sessionWithConfiguration(
          platform::URLSessionConfiguration::defaultSessionConfiguration())) {}

MDHTTPRequestSender::~MDHTTPRequestSender() {
    // Running tasks hold the session and finish; it takes no new ones.
    session_->finishTasksAndInvalidate();
}

void MDHTTPRequestSender::sendRequest(const platform::URLRequest& request, ResponseBlock onSuccess,
                                      ResponseBlock onFailure, ErrorBlock onError) {
    // The handler needs nothing of the sender, which may go away before the
    // answer comes.
    auto task = session_->dataTaskWithRequest(
        request, [onSuccess = std::move(onSuccess), onFailure = std::move(onFailure), onError = std::move(onError)](
                     std::optional<Value::Bytes> data, std::optional<HTTPURLResponse> response, OptionalError error) {
            deliver(response, data ? *data : Value::Bytes(), error, onSuccess, onFailure, onError);
        });
    task->resume();
}

void MDHTTPRequestSender::handleResponse(const std::optional<HTTPURLResponse>& response, const Value::Bytes& data,
                                         const OptionalError& error, ResponseBlock onSuccess, ResponseBlock onFailure,
                                         ErrorBlock onError) {
    deliver(response, data, error, std::move(onSuccess), std::move(onFailure), std::move(onError));
}

void MDHTTPRequestSender::deliver(const std::optional<HTTPURLResponse>& response, const Value::Bytes& data,
                                  const OptionalError& error, ResponseBlock onSuccess, ResponseBlock onFailure,
                                  ErrorBlock onError) {
    auto fail = [&onError](platform::Error failure) {
        if (onError) onMainQueue([onError = std::move(onError), failure = std::move(failure)] { onError(failure); });
    };
    if (error) return fail(*error);
    if (!response) return fail(errorWithDomain(kErrorDomain, 0, "Response was nil"));
    // Without a status line the answer did not come from an HTTP server.
    if (response->statusCode <= 0) {
        return fail(errorWithDomain(kErrorDomain, 0, "Response was of type %@. Expected NSHTTPURLResponse",
                                    "NSURLResponse"));
    }
    ResponseBlock& block = response->statusCode >= 200 && response->statusCode <= 299 ? onSuccess : onFailure;
    if (block) onMainQueue([block = std::move(block), response = *response, data] { block(response, data); });
}
