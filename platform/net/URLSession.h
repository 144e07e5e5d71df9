// HTTP(S) on libcurl: stands in for NSURLSession, its configuration, its
// data and download tasks and its delegate protocol.
//
// Every session has a serial queue of its own; completion handlers and
// delegate callbacks run there, in order. The HTTP status is never turned
// into an error: a response with a body is a success whatever its status.
// TLS peers are verified; redirects are followed for GET.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"

namespace platform {

class URLSession;

// NSURLSessionTransferSizeUnknown.
inline constexpr int64_t kTransferSizeUnknown = -1;

// NSURLErrorDomain codes the layer reports (Foundation's numbers).
enum URLErrorCode : long {
    URLErrorUnknown = -1,
    URLErrorCancelled = -999,
    URLErrorBadURL = -1000,
    URLErrorTimedOut = -1001,
    URLErrorUnsupportedURL = -1002,
    URLErrorCannotFindHost = -1003,
    URLErrorCannotConnectToHost = -1004,
    URLErrorNetworkConnectionLost = -1005,
    URLErrorHTTPTooManyRedirects = -1007,
    URLErrorBadServerResponse = -1011,
    URLErrorDataLengthExceedsMaximum = -1103,
    URLErrorSecureConnectionFailed = -1200,
    URLErrorServerCertificateUntrusted = -1202,
    URLErrorCannotCreateFile = -3000,
    URLErrorCannotWriteToFile = -3003,
};

struct URLSessionConfiguration {
    enum class CachePolicy {
        UseProtocolCachePolicy = 0,
        ReloadIgnoringLocalCacheData = 1,
    };
    CachePolicy requestCachePolicy = CachePolicy::UseProtocolCachePolicy;
    double timeoutIntervalForRequest = 60;  // seconds without progress before failing
    std::map<std::string, std::string> HTTPAdditionalHeaders;
    // A data task whose body would grow past this many bytes (announced or
    // received) is stopped and fails with URLErrorDataLengthExceedsMaximum;
    // negative for no limit. Download tasks go to disk and are not limited.
    int64_t maximumDataTaskBodySize = -1;
    // Where download tasks write their temporary files (ending in "/"); the
    // temporary directory when empty. A big download wants a disk, not the
    // RAM-backed runtime directory.
    std::string downloadDirectory;

    static URLSessionConfiguration defaultSessionConfiguration() { return {}; }
};

// NSMutableURLRequest.
struct URLRequest {
    URL url;
    std::string HTTPMethod = "GET";
    std::map<std::string, std::string> headers;  // added after the session's
    Value::Bytes HTTPBody;
    std::optional<double> timeoutInterval;  // seconds; the session's when unset
    URLSessionConfiguration::CachePolicy cachePolicy = URLSessionConfiguration::CachePolicy::UseProtocolCachePolicy;

    explicit URLRequest(URL u) : url(std::move(u)) {}
};

// NSHTTPURLResponse.
struct HTTPURLResponse {
    std::string url;  // after redirects
    long statusCode = 0;
    std::map<std::string, std::string> headers;  // names lower-cased
    int64_t expectedContentLength = kTransferSizeUnknown;
};

class URLSessionTask {
public:
    enum class State { Suspended, Running, Canceling, Completed };
    virtual ~URLSessionTask() = default;
    virtual void resume() = 0;
    virtual void cancel() = 0;  // completes with URLErrorCancelled unless done
    virtual State state() const = 0;
    virtual uint64_t taskIdentifier() const = 0;
    // The response once its headers are complete (before the delegate hears
    // of the finished download), else nothing.
    virtual std::optional<HTTPURLResponse> response() const { return std::nullopt; }
};

// NSURLSessionDelegate with its download-delegate parts. Every callback runs
// on the session's delegate queue.
class URLSessionDelegate {
public:
    virtual ~URLSessionDelegate() = default;
    // Download progress after each chunk written to the temporary file.
    // totalBytesExpectedToWrite is kTransferSizeUnknown without a length.
    virtual void didWriteData(URLSession& session, URLSessionTask& task, int64_t bytesWritten,
                              int64_t totalBytesWritten, int64_t totalBytesExpectedToWrite) {
        (void)session; (void)task; (void)bytesWritten; (void)totalBytesWritten; (void)totalBytesExpectedToWrite;
    }
    // The download finished; `location` is a temporary file that is deleted
    // as soon as this call returns, so move it before returning.
    virtual void didFinishDownloadingToURL(URLSession& session, URLSessionTask& task,
                                           const std::string& location) {
        (void)session; (void)task; (void)location;
    }
    // Every task ends here, with or without an error.
    virtual void didCompleteWithError(URLSession& session, URLSessionTask& task, const OptionalError& error) {
        (void)session; (void)task; (void)error;
    }
    // After invalidateAndCancel or finishTasksAndInvalidate; no error then.
    virtual void didBecomeInvalidWithError(URLSession& session, const OptionalError& error) {
        (void)session; (void)error;
    }
};

class URLSession : public std::enable_shared_from_this<URLSession> {
public:
    using DataCompletion = std::function<void(std::optional<Value::Bytes> data,
                                              std::optional<HTTPURLResponse> response,
                                              OptionalError error)>;

    // sessionWithConfiguration:delegate:delegateQueue:. The session holds the
    // delegate strongly until it is invalidated (as Foundation does). Without
    // a delegate queue, a serial queue of the session's own is used.
    static std::shared_ptr<URLSession> sessionWithConfiguration(
        URLSessionConfiguration configuration,
        std::shared_ptr<URLSessionDelegate> delegate = nullptr,
        std::shared_ptr<DispatchQueue> delegateQueue = nullptr);

    virtual ~URLSession() = default;

    // A GET of `url`; the handler runs once on the delegate queue with the
    // body (present, possibly empty, whenever a response arrived) and the
    // response, or with the error.
    virtual std::shared_ptr<URLSessionTask> dataTaskWithURL(const URL& url, DataCompletion completion) = 0;
    virtual std::shared_ptr<URLSessionTask> dataTaskWithRequest(const URLRequest& request, DataCompletion completion) = 0;
    // A GET streamed to a temporary file; reports through the delegate.
    virtual std::shared_ptr<URLSessionTask> downloadTaskWithURL(const URL& url) = 0;
    // Goes on with a download that a dropped connection cut short, from the
    // "NSURLSessionDownloadTaskResumeData" of its error: a Range request for
    // the rest, valid only while the server's ETag (or Last-Modified) is the
    // same (If-Range); a server that sends the whole file instead starts it
    // over. The totals reported go on from the bytes already there.
    virtual std::shared_ptr<URLSessionTask> downloadTaskWithResumeData(const Value& resumeData) = 0;

    // Cancels running tasks and invalidates; didBecomeInvalidWithError
    // follows (once) after the tasks have completed.
    virtual void invalidateAndCancel() = 0;
    // Lets running tasks finish, then invalidates.
    virtual void finishTasksAndInvalidate() = 0;

    virtual const URLSessionConfiguration& configuration() const = 0;
    virtual DispatchQueue& delegateQueue() = 0;
};

}  // namespace platform
