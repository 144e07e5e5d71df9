// One send of a posting sink. Its state is shared by the reachability
// block and the sender's answer blocks, never by the sink, so a sink may go
// while an answer is on its way; the state itself makes sure the completion
// is heard exactly once, also when the send is abandoned before it left.
#include "Mayday/Reporting/Sinks/MaydayReportSinkHTTP.h"

#include <atomic>
#include <utility>

#include "Mayday/Reporting/Filters/MaydayReportFilterBasic.h"
#include "platform/dispatch/Dispatch.h"
#include "Mayday/Recording/Tools/MDJSONCodecObjC.h"
#include "sentry/DataError.h"
#include "sentry/DataGZip.h"
#include "sentry/MDHTTPMultipartPostBody.h"
#include "sentry/MDHTTPRequestSender.h"

using platform::OptionalError;
using platform::Value;

namespace {

constexpr double kRequestTimeoutSeconds = 15;

class PendingSend {
public:
    PendingSend(platform::URLRequest request, std::string errorDomain, Value reports,
                MaydayReportFilterCompletion onCompletion)
        : request_(std::move(request)), errorDomain_(std::move(errorDomain)), reports_(std::move(reports)),
          onCompletion_(std::move(onCompletion)) {}

    ~PendingSend() {
        if (finished_.exchange(true)) return;
        // Dropped before the host was reached: tell the caller from the main
        // queue, not from whatever is destroying the operation right now.
        platform::Error error = errorWithDomain(errorDomain_, 0, "Send abandoned before the host was reachable");
        platform::DispatchQueue::main().async(
            [onCompletion = std::move(onCompletion_), reports = std::move(reports_), error = std::move(error)] {
                mdfilter_callCompletion(onCompletion, reports, false, error);
            });
    }

    static void start(const std::shared_ptr<PendingSend>& self) {
        if (self->started_.exchange(true)) return;
        const std::shared_ptr<MDHTTPRequestSender> sender = MDHTTPRequestSender::sender();
        sender->sendRequest(
            self->request_,
            [self](const platform::HTTPURLResponse&, const Value::Bytes&) { self->finish(true, std::nullopt); },
            [self](const platform::HTTPURLResponse& response, const Value::Bytes& data) {
                self->finish(false, platform::Error(self->errorDomain_, response.statusCode, mdsink_textOfBody(data)));
            },
            [self](const platform::Error& error) { self->finish(false, error); });
    }

private:
    void finish(bool completed, OptionalError error) {
        if (finished_.exchange(true)) return;
        mdfilter_callCompletion(onCompletion_, reports_, completed, std::move(error));
    }

    platform::URLRequest request_;
    std::string errorDomain_;
    Value reports_;
    MaydayReportFilterCompletion onCompletion_;
    std::atomic<bool> started_{false};
    std::atomic<bool> finished_{false};
};

}  // namespace

platform::URLRequest mdsink_postRequest(const platform::URL& url, Value::Bytes body) {
    platform::URLRequest request(url);
    request.cachePolicy = platform::URLSessionConfiguration::CachePolicy::ReloadIgnoringLocalCacheData;
    request.timeoutInterval = kRequestTimeoutSeconds;
    request.HTTPMethod = "POST";
    request.HTTPBody = std::move(body);
    return request;
}

std::string mdsink_textOfBody(const Value::Bytes& data, size_t limit) {
    size_t length = data.size();
    if (length > limit) {
        length = limit;
        // Step back over the continuation bytes of a character cut in two.
        while (length > 0 && (data[length] & 0xC0) == 0x80) --length;
    }
    const Value head = Value::data(data.data(), length);
    return MaydayReportFilterStringify().stringifyObject(head).stringValue();
}

namespace {

std::optional<platform::URLRequest> reportsJSONRequest(const platform::URL& url, const Value& reports, bool gzipped,
                                                       OptionalError& error) {
    std::optional<Value::Bytes> json = MDJSONCodec::encode(reports, MDJSONEncodeOptionSorted, &error);
    if (!json) {
        if (!error) error = errorWithDomain("MDJSONCodec", 0, "Could not encode the reports");
        return std::nullopt;
    }
    MDHTTPMultipartPostBody body;
    body.appendData(std::move(*json), "reports", "application/json", "reports.json");
    Value::Bytes data = body.data();
    if (gzipped) {
        std::optional<Value::Bytes> compressed = gzippedWithCompressionLevel(data, -1, &error);
        if (!compressed) return std::nullopt;
        data = std::move(*compressed);
    }
    platform::URLRequest request = mdsink_postRequest(url, std::move(data));
    request.headers["Content-Type"] = body.contentType();
    request.headers["User-Agent"] = "MaydayReporter";
    if (gzipped) request.headers["Content-Encoding"] = "gzip";
    return request;
}

}  // namespace

std::shared_ptr<MDReachableOperationMayday> mdsink_sendRequest(platform::URLRequest request, bool waitUntilReachable,
                                                                std::string errorDomain, Value reports,
                                                                MaydayReportFilterCompletion onCompletion) {
    const std::string host = request.url.host();
    auto send = std::make_shared<PendingSend>(std::move(request), std::move(errorDomain), std::move(reports),
                                              std::move(onCompletion));
    if (!waitUntilReachable) {
        PendingSend::start(send);
        return nullptr;
    }
    auto operation = MDReachableOperationMayday::operationWithHost(host, true, [send] { PendingSend::start(send); });
    // Nothing can tell when the host is there: try now rather than never.
    if (!operation->reachability()) PendingSend::start(send);
    return operation;
}

std::shared_ptr<MDReachableOperationMayday> mdsink_postReportsJSON(const std::optional<platform::URL>& url,
                                                                    const Value& sent, bool gzipped,
                                                                    std::string errorDomain, Value reports,
                                                                    MaydayReportFilterCompletion onCompletion) {
    if (!url) {
        mdfilter_callCompletion(onCompletion, std::move(reports), false,
                                errorWithDomain(errorDomain, 0, "url was nil"));
        return nullptr;
    }
    OptionalError error;
    std::optional<platform::URLRequest> request = reportsJSONRequest(*url, sent, gzipped, error);
    if (!request) {
        mdfilter_callCompletion(onCompletion, std::move(reports), false, std::move(error));
        return nullptr;
    }
    return mdsink_sendRequest(std::move(*request), true, std::move(errorDomain), std::move(reports),
                              std::move(onCompletion));
}
