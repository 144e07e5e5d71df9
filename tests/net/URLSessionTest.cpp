#include "platform/net/URLSession.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "NetTestSupport.h"
#include "platform/foundation/FileManager.h"
#include "tests/support/TestHttpServer.h"

using namespace std::chrono_literals;
using nettest::RecordingDelegate;
using platform::DispatchQueue;
using platform::HTTPURLResponse;
using platform::OptionalError;
using platform::URL;
using platform::URLRequest;
using platform::URLSession;
using platform::URLSessionConfiguration;
using platform::URLSessionTask;
using platform::Value;
using zeltest::TestHttpServer;

namespace {

URL makeURL(const std::string& text) {
    auto url = URL::URLWithString(text);
    EXPECT_TRUE(url.has_value()) << text;
    return url ? *url : *URL::URLWithString("http://127.0.0.1/");
}

struct DataResult {
    std::optional<Value::Bytes> data;
    std::optional<HTTPURLResponse> response;
    OptionalError error;
    bool onDelegateQueue = false;
    int calls = 0;
};

// Runs a data task to its end and answers what its handler got.
DataResult fetch(URLSession& session, const URLRequest& request, std::shared_ptr<URLSessionTask>* keep = nullptr) {
    auto result = std::make_shared<DataResult>();
    auto done = std::make_shared<std::promise<void>>();
    auto task = session.dataTaskWithRequest(
        request, [result, done, &session](std::optional<Value::Bytes> data, std::optional<HTTPURLResponse> response,
                                          OptionalError error) {
            result->data = std::move(data);
            result->response = std::move(response);
            result->error = std::move(error);
            result->onDelegateQueue = session.delegateQueue().isCurrent();
            if (++result->calls == 1) done->set_value();
        });
    EXPECT_EQ(task->state(), URLSessionTask::State::Suspended);
    task->resume();
    if (keep) *keep = task;
    EXPECT_EQ(done->get_future().wait_for(30s), std::future_status::ready);
    std::this_thread::sleep_for(5ms);  // a second call, if any, shows up in `calls`
    return *result;
}

DataResult fetch(URLSession& session, const std::string& url) { return fetch(session, URLRequest(makeURL(url))); }

std::string text(const std::optional<Value::Bytes>& data) {
    return data ? std::string(data->begin(), data->end()) : std::string("<none>");
}

size_t threadCount() {
    size_t count = 0;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] != '.') ++count;
        }
        ::closedir(dir);
    }
    return count;
}

TestHttpServer::Response generated(uint64_t size) {
    TestHttpServer::Response response;
    response.generatedBodySize = size;
    return response;
}

}  // namespace

// ----------------------------------------------------------------- data tasks

TEST(URLSessionDataTest, AnErrorStatusIsStillASuccessWithTheBodyAndTheResponse) {
    TestHttpServer server([](const TestHttpServer::Request&) {
        TestHttpServer::Response response;
        response.status = 404;
        response.body = "no such thing";
        response.headers["X-Reason"] = "missing";
        return response;
    });
    auto session = URLSession::sessionWithConfiguration(URLSessionConfiguration::defaultSessionConfiguration());
    std::shared_ptr<URLSessionTask> task;
    DataResult result = fetch(*session, URLRequest(makeURL(server.url("/missing?x=1"))), &task);
    EXPECT_FALSE(result.error) << platform::describe(result.error);
    EXPECT_EQ(text(result.data), "no such thing");
    ASSERT_TRUE(result.response);
    EXPECT_EQ(result.response->statusCode, 404);
    EXPECT_EQ(result.response->url, server.url("/missing?x=1"));
    EXPECT_EQ(result.response->headers["x-reason"], "missing");
    EXPECT_EQ(result.response->expectedContentLength, 13);
    EXPECT_TRUE(result.onDelegateQueue);
    EXPECT_EQ(result.calls, 1);
    EXPECT_EQ(task->state(), URLSessionTask::State::Completed);
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].method, "GET");
    EXPECT_EQ(server.requests()[0].path, "/missing?x=1");
}

TEST(URLSessionDataTest, ACompressedAnswerIsDecodedForTheCaller) {
    // gzip of "decoded for the caller"
    static const char kGzip[] = "\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\x03\x4b\x49\x4d\xce\x4f\x49\x4d\x51\x48\xcb"
                                "\x2f\x52\x28\xc9\x48\x55\x48\x4e\xcc\xc9\x49\x2d\x02\x00\xd6\x8a\x20\x1e\x16\x00"
                                "\x00\x00";
    TestHttpServer server([](const TestHttpServer::Request&) {
        TestHttpServer::Response response;
        response.body.assign(kGzip, sizeof kGzip - 1);
        response.headers["Content-Encoding"] = "gzip";
        return response;
    });
    auto session = URLSession::sessionWithConfiguration(URLSessionConfiguration::defaultSessionConfiguration());
    DataResult result = fetch(*session, server.url("/compressed"));
    EXPECT_FALSE(result.error) << platform::describe(result.error);
    EXPECT_EQ(text(result.data), "decoded for the caller");
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_NE(server.requests()[0].headers.at("accept-encoding").find("gzip"), std::string::npos);

    URLRequest plain(makeURL(server.url("/plain")));
    plain.headers["Accept-Encoding"] = "identity";
    fetch(*session, plain);
    ASSERT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(server.requests()[1].headers.at("accept-encoding"), "identity") << "the request's own choice stands";
}

TEST(URLSessionDataTest, ABodyPastTheLimitStopsTheTransferWithDataLengthExceedsMaximum) {
    TestHttpServer server([](const TestHttpServer::Request& request) {
        TestHttpServer::Response response = generated(request.path == "/small" ? 1000 : 3 << 20);
        response.omitContentLength = request.path == "/unannounced";
        return response;
    });
    URLSessionConfiguration configuration;
    configuration.maximumDataTaskBodySize = 1 << 20;
    auto session = URLSession::sessionWithConfiguration(configuration);
    for (const char* path : {"/announced", "/unannounced"}) {
        DataResult result = fetch(*session, server.url(path));
        ASSERT_TRUE(result.error) << path;
        EXPECT_EQ(result.error->code, platform::URLErrorDataLengthExceedsMaximum) << path;
        EXPECT_EQ(result.error->localizedDescription, "resource exceeds maximum size");
        EXPECT_FALSE(result.data);
    }
    DataResult small = fetch(*session, server.url("/small"));
    EXPECT_FALSE(small.error);
    ASSERT_TRUE(small.data);
    EXPECT_EQ(small.data->size(), 1000u);
}

TEST(URLSessionDataTest, AnEmptyBodyIsPresentAndEmpty) {
    TestHttpServer server([](const TestHttpServer::Request&) {
        TestHttpServer::Response response;
        response.status = 204;
        return response;
    });
    auto session = URLSession::sessionWithConfiguration({});
    DataResult result = fetch(*session, server.url("/"));
    EXPECT_FALSE(result.error);
    ASSERT_TRUE(result.data);
    EXPECT_TRUE(result.data->empty());
    ASSERT_TRUE(result.response);
    EXPECT_EQ(result.response->statusCode, 204);
}

TEST(URLSessionDataTest, FailuresCarryFoundationErrorsAndNoDataOrResponse) {
    auto session = URLSession::sessionWithConfiguration({});
    {
        const std::string url = "http://127.0.0.1:" + std::to_string(TestHttpServer::unusedPort()) + "/feed.json";
        DataResult refused = fetch(*session, url);
        ASSERT_TRUE(refused.error);
        EXPECT_EQ(refused.error->domain, "NSURLErrorDomain");
        EXPECT_EQ(refused.error->code, platform::URLErrorCannotConnectToHost);
        EXPECT_EQ(refused.error->localizedDescription, "Could not connect to the server.");
        EXPECT_EQ(refused.error->userInfo["NSErrorFailingURLStringKey"].stringValue(), url);
        EXPECT_FALSE(refused.data);
        EXPECT_FALSE(refused.response);
        EXPECT_TRUE(refused.onDelegateQueue);
    }
    {
        DataResult unsupported = fetch(*session, "ftp://127.0.0.1/file");
        ASSERT_TRUE(unsupported.error);
        EXPECT_EQ(unsupported.error->code, platform::URLErrorUnsupportedURL);
        EXPECT_EQ(unsupported.error->localizedDescription, "unsupported URL");
        EXPECT_FALSE(unsupported.data);
    }
}

TEST(URLSessionDataTest, ATransferCutShortIsAnError) {
    TestHttpServer server([](const TestHttpServer::Request&) {
        TestHttpServer::Response response = generated(200000);
        response.truncateAfter = 70000;
        return response;
    });
    auto session = URLSession::sessionWithConfiguration({});
    DataResult result = fetch(*session, server.url("/short"));
    ASSERT_TRUE(result.error);
    EXPECT_EQ(result.error->code, platform::URLErrorNetworkConnectionLost);
    EXPECT_EQ(result.error->localizedDescription, "The network connection was lost.");
    EXPECT_FALSE(result.data);
    EXPECT_FALSE(result.response);
}

TEST(URLSessionDataTest, NoProgressForTheTimeoutEndsTheRequest) {
    TestHttpServer server([](const TestHttpServer::Request&) {
        TestHttpServer::Response response = generated(1 << 20);
        response.delayPerChunkMs = 5000;
        return response;
    });
    auto session = URLSession::sessionWithConfiguration({});
    URLRequest request(makeURL(server.url("/slow")));
    request.timeoutInterval = 1;
    DataResult result = fetch(*session, request);
    ASSERT_TRUE(result.error);
    EXPECT_EQ(result.error->code, platform::URLErrorTimedOut);
    EXPECT_EQ(result.error->localizedDescription, "The request timed out.");
}

TEST(URLSessionDataTest, RedirectsAreFollowedForGetUpToALimit) {
    TestHttpServer server([](const TestHttpServer::Request& request) {
        TestHttpServer::Response response;
        if (request.path == "/old") {
            response.status = 302;
            response.headers["Location"] = "/new";
            response.body = "moved";
        } else if (request.path == "/loop") {
            response.status = 301;
            response.headers["Location"] = "/loop";
        } else {
            response.body = "the new place";
        }
        return response;
    });
    auto session = URLSession::sessionWithConfiguration({});
    DataResult moved = fetch(*session, server.url("/old"));
    EXPECT_FALSE(moved.error);
    EXPECT_EQ(text(moved.data), "the new place");
    ASSERT_TRUE(moved.response);
    EXPECT_EQ(moved.response->statusCode, 200);
    EXPECT_EQ(moved.response->url, server.url("/new"));
    ASSERT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(server.requests()[1].path, "/new");

    DataResult loop = fetch(*session, server.url("/loop"));
    ASSERT_TRUE(loop.error);
    EXPECT_EQ(loop.error->code, platform::URLErrorHTTPTooManyRedirects);
    EXPECT_EQ(server.requests().size(), 2u + 17u);  // the first request and 16 redirects
}

TEST(URLSessionDataTest, PostBodiesAndHeadersReachTheServer) {
    TestHttpServer server([](const TestHttpServer::Request& request) {
        TestHttpServer::Response response;
        response.body = "got " + std::to_string(request.body.size());
        return response;
    });
    URLSessionConfiguration configuration;
    configuration.HTTPAdditionalHeaders = {{"X-Session", "from the session"}, {"X-Both", "session"}};
    auto session = URLSession::sessionWithConfiguration(configuration);
    URLRequest request(makeURL(server.url("/upload")));
    request.HTTPMethod = "POST";
    const std::string payload("{\"a\":1}\0binary\xff", 15);
    request.HTTPBody.assign(payload.begin(), payload.end());
    request.headers = {{"Content-Type", "application/json"}, {"x-both", "request"}};
    DataResult result = fetch(*session, request);
    EXPECT_FALSE(result.error);
    EXPECT_EQ(text(result.data), "got 15");

    ASSERT_EQ(server.requests().size(), 1u);
    const auto seen = server.requests()[0];
    EXPECT_EQ(seen.method, "POST");
    EXPECT_EQ(seen.path, "/upload");
    EXPECT_EQ(seen.body, payload);
    EXPECT_EQ(seen.headers.at("content-type"), "application/json");
    EXPECT_EQ(seen.headers.at("x-session"), "from the session");
    EXPECT_EQ(seen.headers.at("x-both"), "request");
    EXPECT_EQ(seen.headers.count("expect"), 0u);
    EXPECT_EQ(seen.headers.count("cache-control"), 0u);
}

TEST(URLSessionDataTest, TheReloadCachePolicyAsksEveryCacheOnTheWayNotToAnswer) {
    TestHttpServer server([](const TestHttpServer::Request&) { return TestHttpServer::Response{}; });
    URLSessionConfiguration configuration;
    configuration.requestCachePolicy = URLSessionConfiguration::CachePolicy::ReloadIgnoringLocalCacheData;
    auto session = URLSession::sessionWithConfiguration(configuration);
    EXPECT_FALSE(fetch(*session, server.url("/feed.json")).error);

    auto plain = URLSession::sessionWithConfiguration({});
    URLRequest request(makeURL(server.url("/per-request")));
    request.cachePolicy = URLSessionConfiguration::CachePolicy::ReloadIgnoringLocalCacheData;
    EXPECT_FALSE(fetch(*plain, request).error);
    EXPECT_FALSE(fetch(*plain, server.url("/default")).error);

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(requests[i].headers["cache-control"], "no-cache") << requests[i].path;
        EXPECT_EQ(requests[i].headers["pragma"], "no-cache") << requests[i].path;
    }
    EXPECT_EQ(requests[2].headers.count("cache-control"), 0u);
    EXPECT_EQ(requests[2].headers.count("pragma"), 0u);
}

TEST(URLSessionDataTest, CancelEndsARunningTaskOnceWithCancelled) {
    TestHttpServer server([](const TestHttpServer::Request&) {
        TestHttpServer::Response response = generated(4 << 20);
        response.delayPerChunkMs = 200;
        return response;
    });
    auto session = URLSession::sessionWithConfiguration({});
    std::atomic<int> calls{0};
    std::promise<OptionalError> ended;
    auto task = session->dataTaskWithURL(makeURL(server.url("/big")),
                                         [&](std::optional<Value::Bytes> data, std::optional<HTTPURLResponse>,
                                             OptionalError error) {
                                             EXPECT_FALSE(data);
                                             if (++calls == 1) ended.set_value(error);
                                         });
    task->resume();
    task->cancel();
    EXPECT_NE(task->state(), URLSessionTask::State::Running);
    auto future = ended.get_future();
    ASSERT_EQ(future.wait_for(30s), std::future_status::ready);
    OptionalError error = future.get();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, platform::URLErrorCancelled);
    EXPECT_EQ(error->localizedDescription, "cancelled");
    task->cancel();  // a second cancel changes nothing
    session->delegateQueue().sync([] {});
    EXPECT_EQ(calls.load(), 1);
    EXPECT_EQ(task->state(), URLSessionTask::State::Completed);
}

// ------------------------------------------------------------- download tasks

TEST(URLSessionDownloadTest, ReportsRisingTotalsToTheExactSizeThenHandsOverTheFileAndRemovesIt) {
    const uint64_t size = (1 << 20) + 12345;
    TestHttpServer server([size](const TestHttpServer::Request&) {
        TestHttpServer::Response response = generated(size);
        response.delayPerChunkMs = 2;  // several reads, so several reports
        return response;
    });
    auto delegate = std::make_shared<RecordingDelegate>();
    auto session = URLSession::sessionWithConfiguration({}, delegate);
    auto task = session->downloadTaskWithURL(makeURL(server.url("/package.pkg")));
    task->resume();
    ASSERT_TRUE(delegate->waitFor("complete"));

    EXPECT_FALSE(delegate->completionError()) << platform::describe(delegate->completionError());
    auto events = delegate->events();
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[events.size() - 2], "finish");
    EXPECT_EQ(events.back(), "complete");
    for (size_t i = 0; i + 2 < events.size(); ++i) EXPECT_EQ(events[i], "progress");

    auto progress = delegate->progress();
    ASSERT_GE(progress.size(), 2u);
    int64_t previous = 0;
    for (const auto& report : progress) {
        EXPECT_GT(report.total, previous);
        EXPECT_EQ(report.written, report.total - previous);
        EXPECT_EQ(report.expected, static_cast<int64_t>(size));
        previous = report.total;
    }
    EXPECT_EQ(previous, static_cast<int64_t>(size));

    EXPECT_TRUE(delegate->contentAtFinish == TestHttpServer::generatedBody(size)) << "the file holds the body";
    EXPECT_FALSE(delegate->fileExistedAtCompletion) << "the file is removed right after the finish callback";
    EXPECT_EQ(delegate->location.rfind(platform::temporaryDirectory(), 0), 0u) << delegate->location;
    EXPECT_TRUE(delegate->allOnDelegateQueue);
    EXPECT_TRUE(nettest::leftoverDownloads().empty());
}

TEST(URLSessionDownloadTest, WithoutAContentLengthTheExpectedTotalIsUnknown) {
    const uint64_t size = 3 * 65536 + 7;
    TestHttpServer server([size](const TestHttpServer::Request&) {
        TestHttpServer::Response response = generated(size);
        response.omitContentLength = true;
        return response;
    });
    auto delegate = std::make_shared<RecordingDelegate>();
    auto session = URLSession::sessionWithConfiguration({}, delegate);
    session->downloadTaskWithURL(makeURL(server.url("/stream")))->resume();
    ASSERT_TRUE(delegate->waitFor("complete"));
    EXPECT_FALSE(delegate->completionError());
    auto progress = delegate->progress();
    ASSERT_FALSE(progress.empty());
    for (const auto& report : progress) EXPECT_EQ(report.expected, platform::kTransferSizeUnknown);
    EXPECT_EQ(progress.back().total, static_cast<int64_t>(size));
    EXPECT_EQ(delegate->contentAtFinish.size(), size);
}

TEST(URLSessionDownloadTest, ATruncatedDownloadFailsAndLeavesNoFile) {
    TestHttpServer server([](const TestHttpServer::Request&) {
        TestHttpServer::Response response = generated(3 << 20);
        response.truncateAfter = (1 << 20) + 100;
        return response;
    });
    auto delegate = std::make_shared<RecordingDelegate>();
    auto session = URLSession::sessionWithConfiguration({}, delegate);
    session->downloadTaskWithURL(makeURL(server.url("/cut")))->resume();
    ASSERT_TRUE(delegate->waitFor("complete"));
    auto error = delegate->completionError();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, platform::URLErrorNetworkConnectionLost);
    EXPECT_EQ(error->userInfo["NSErrorFailingURLStringKey"].stringValue(), server.url("/cut"));
    auto events = delegate->events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "finish"), 0);
    EXPECT_TRUE(nettest::leftoverDownloads().empty());
}

// A server whose first answer drops the connection after `cut` bytes and that
// honours Range with If-Range against its ETag (or, with `newVersion`, has
// moved on to another version by the second request).
TestHttpServer::Response resumableAnswer(const TestHttpServer::Request& request, uint64_t size, int64_t cut,
                                         bool newVersion, std::atomic<int>* served) {
    const int n = served->fetch_add(1);
    const std::string etag = newVersion && n > 0 ? "\"v2\"" : "\"v1\"";
    TestHttpServer::Response response;
    response.headers["ETag"] = etag;
    auto range = request.headers.find("range");
    auto ifRange = request.headers.find("if-range");
    const std::string full = TestHttpServer::generatedBody(size);
    if (range != request.headers.end() && ifRange != request.headers.end() && ifRange->second == etag) {
        const uint64_t from = std::stoull(range->second.substr(range->second.find('=') + 1));
        response.status = 206;
        response.headers["Content-Range"] =
            "bytes " + std::to_string(from) + "-" + std::to_string(size - 1) + "/" + std::to_string(size);
        response.body = full.substr(from);
    } else {
        response.body = full;
        if (n == 0) response.truncateAfter = cut;
    }
    return response;
}

TEST(URLSessionDownloadTest, ADroppedDownloadResumesWhereItStoppedWhileTheVersionIsTheSame) {
    const uint64_t size = 2 * 1024 * 1024 + 99;
    for (bool newVersion : {false, true}) {
        SCOPED_TRACE(newVersion ? "the server moved on" : "same version");
        std::atomic<int> served{0};
        TestHttpServer server([&](const TestHttpServer::Request& request) {
            return resumableAnswer(request, size, 700 * 1024, newVersion, &served);
        });
        auto delegate = std::make_shared<RecordingDelegate>();
        auto session = URLSession::sessionWithConfiguration({}, delegate);
        session->downloadTaskWithURL(makeURL(server.url("/package.pkg")))->resume();
        ASSERT_TRUE(delegate->waitFor("complete"));
        auto error = delegate->completionError();
        ASSERT_TRUE(error);
        const Value resumeData = error->userInfo.objectForKey("NSURLSessionDownloadTaskResumeData");
        ASSERT_TRUE(resumeData.isDictionary()) << platform::describe(error);
        EXPECT_EQ(resumeData.objectForKey("offset").longLongValue(), 700 * 1024);
        EXPECT_EQ(access(resumeData.objectForKey("path").stringValue().c_str(), F_OK), 0) << "the partial file stays";

        session->downloadTaskWithResumeData(resumeData)->resume();
        ASSERT_TRUE(delegate->waitFor("complete", 2));
        EXPECT_FALSE(delegate->completionError()) << platform::describe(delegate->completionError());
        EXPECT_TRUE(delegate->contentAtFinish == TestHttpServer::generatedBody(size)) << "the file holds the whole body";
        const auto requests = server.requests();
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests[1].headers.at("range"), "bytes=716800-");
        EXPECT_EQ(requests[1].headers.at("if-range"), "\"v1\"");
        const auto progress = delegate->progress();
        ASSERT_FALSE(progress.empty());
        EXPECT_EQ(progress.back().total, static_cast<int64_t>(size));
        EXPECT_EQ(progress.back().expected, static_cast<int64_t>(size));
    }
}

TEST(URLSessionDownloadTest, ARefusedDownloadCompletesWithTheConnectionError) {
    auto delegate = std::make_shared<RecordingDelegate>();
    auto session = URLSession::sessionWithConfiguration({}, delegate);
    session->downloadTaskWithURL(makeURL("http://127.0.0.1:" + std::to_string(TestHttpServer::unusedPort()) + "/x"))
        ->resume();
    ASSERT_TRUE(delegate->waitFor("complete"));
    ASSERT_TRUE(delegate->completionError());
    EXPECT_EQ(delegate->completionError()->code, platform::URLErrorCannotConnectToHost);
    EXPECT_EQ(delegate->events(), std::vector<std::string>{"complete"});
}

// ---------------------------------------------------------------- invalidation

TEST(URLSessionInvalidationTest, InvalidateAndCancelFromACallbackCancelsThenInvalidatesOnceAndBreaksTheCycle) {
    TestHttpServer server([](const TestHttpServer::Request&) {
        TestHttpServer::Response response = generated(16 << 20);
        response.delayPerChunkMs = 20;
        return response;
    });
    std::weak_ptr<URLSession> weakSession;
    std::weak_ptr<RecordingDelegate> weakDelegate;
    std::vector<std::string> events;
    {
        auto delegate = std::make_shared<RecordingDelegate>();
        auto session = URLSession::sessionWithConfiguration({}, delegate);
        delegate->session = session;  // delegate <-> session, as in the product
        delegate->onFirstProgress = [](URLSession& s) { s.invalidateAndCancel(); };
        weakSession = session;
        weakDelegate = delegate;
        session->downloadTaskWithURL(makeURL(server.url("/huge")))->resume();
        ASSERT_TRUE(delegate->waitFor("invalid"));
        // Give stray callbacks a chance to show up.
        session->delegateQueue().sync([] {});
        std::this_thread::sleep_for(100ms);
        session->delegateQueue().sync([] {});
        events = delegate->events();
        auto error = delegate->completionError();
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code, platform::URLErrorCancelled);
        EXPECT_FALSE(delegate->invalidatedWithError);
        EXPECT_TRUE(delegate->allOnDelegateQueue);
    }
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[events.size() - 2], "complete");
    EXPECT_EQ(events.back(), "invalid");
    EXPECT_EQ(std::count(events.begin(), events.end(), "invalid"), 1);
    EXPECT_EQ(std::count(events.begin(), events.end(), "finish"), 0);

    // Nothing holds the pair any more: both go away.
    for (int i = 0; i < 1000 && (!weakSession.expired() || !weakDelegate.expired()); ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(weakSession.expired());
    EXPECT_TRUE(weakDelegate.expired());
    EXPECT_TRUE(nettest::leftoverDownloads().empty());
}

TEST(URLSessionInvalidationTest, FinishTasksAndInvalidateLetsRunningTasksEndFirstAndRefusesNewOnes) {
    TestHttpServer server([](const TestHttpServer::Request&) {
        TestHttpServer::Response response = generated(3 * 65536);
        response.delayPerChunkMs = 30;
        return response;
    });
    auto delegate = std::make_shared<RecordingDelegate>();
    auto session = URLSession::sessionWithConfiguration({}, delegate);
    std::mutex mutex;
    std::vector<std::string> order;
    auto note = [&](const std::string& what) {
        std::lock_guard<std::mutex> lock(mutex);
        order.push_back(what);
    };
    auto running = session->dataTaskWithURL(makeURL(server.url("/a")),
                                            [&](std::optional<Value::Bytes> data, std::optional<HTTPURLResponse>,
                                                OptionalError error) {
                                                note(data && data->size() == 3 * 65536 && !error ? "ok" : "failed");
                                            });
    running->resume();
    session->finishTasksAndInvalidate();
    auto late = session->dataTaskWithURL(makeURL(server.url("/b")),
                                         [&](std::optional<Value::Bytes>, std::optional<HTTPURLResponse>,
                                             OptionalError error) {
                                             note(error && error->code == platform::URLErrorCancelled ? "late cancelled"
                                                                                                      : "late ran");
                                         });
    late->resume();
    ASSERT_TRUE(delegate->waitFor("invalid"));
    session->delegateQueue().sync([] {});
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(order.size(), 2u);
    EXPECT_NE(std::find(order.begin(), order.end(), "ok"), order.end());
    EXPECT_NE(std::find(order.begin(), order.end(), "late cancelled"), order.end());
    EXPECT_EQ(delegate->events(), std::vector<std::string>{"invalid"});
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST(URLSessionInvalidationTest, AnInvalidatedSessionEndsItsThreadsWhenReleased) {
    TestHttpServer server([](const TestHttpServer::Request&) {
        TestHttpServer::Response response;
        response.body = "x";
        return response;
    });
    const size_t before = threadCount();
    {
        auto delegate = std::make_shared<RecordingDelegate>();
        auto session = URLSession::sessionWithConfiguration({}, delegate);
        EXPECT_FALSE(fetch(*session, server.url("/")).error);
        session->invalidateAndCancel();
        ASSERT_TRUE(delegate->waitFor("invalid"));
    }
    // The session's worker, its delegate queue and the server's connection all end.
    size_t after = threadCount();
    for (int i = 0; i < 1000 && after > before; ++i) {
        std::this_thread::sleep_for(10ms);
        after = threadCount();
    }
    EXPECT_LE(after, before);
}

TEST(URLSessionInvalidationTest, ASessionHeldOnlyByItsCompletionHandlerEndsOnItsOwnQueue) {
    TestHttpServer server([](const TestHttpServer::Request&) {
        TestHttpServer::Response response;
        response.body = "feed";
        return response;
    });
    std::weak_ptr<URLSession> weak;
    auto got = std::make_shared<std::promise<std::string>>();
    {
        auto session = URLSession::sessionWithConfiguration({});
        weak = session;
        // The feed loader's pattern: the handler keeps the session and lets
        // it go once it is done.
        session
            ->dataTaskWithURL(makeURL(server.url("/feed.json")),
                              [session, got](std::optional<Value::Bytes> data, std::optional<HTTPURLResponse>,
                                             OptionalError) {
                                  session->finishTasksAndInvalidate();
                                  got->set_value(text(data));
                              })
            ->resume();
    }
    auto future = got->get_future();
    ASSERT_EQ(future.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(future.get(), "feed");
    for (int i = 0; i < 1000 && !weak.expired(); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(weak.expired());
}

TEST(URLSessionInvalidationTest, AGivenDelegateQueueReceivesTheCallbacks) {
    TestHttpServer server([](const TestHttpServer::Request&) { return generated(100000); });
    auto queue = DispatchQueue::serial("test.delegate-queue");
    auto delegate = std::make_shared<RecordingDelegate>();
    auto session = URLSession::sessionWithConfiguration({}, delegate, queue);
    EXPECT_EQ(&session->delegateQueue(), queue.get());
    session->downloadTaskWithURL(makeURL(server.url("/file")))->resume();
    ASSERT_TRUE(delegate->waitFor("complete"));
    session->finishTasksAndInvalidate();
    ASSERT_TRUE(delegate->waitFor("invalid"));
    EXPECT_TRUE(delegate->allOnDelegateQueue);
    EXPECT_EQ(delegate->contentAtFinish.size(), 100000u);
}
