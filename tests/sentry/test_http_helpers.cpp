// Multipart bodies and the request sender's sorting of answers.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "sentry/MDHTTPMultipartPostBody.h"
#include "sentry/MDHTTPRequestSender.h"
#include "tests/support/TestHttpServer.h"

using platform::HTTPURLResponse;
using platform::MainLoop;
using platform::Value;
using zeltest::TestHttpServer;

namespace {

std::string text(const Value::Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }
Value::Bytes bytes(const std::string& s) { return Value::Bytes(s.begin(), s.end()); }

// The sender's blocks, recording each call as "success 200 <body>",
// "failure 404 <body>" or "error <domain> <code> <description>".
struct Calls {
    std::vector<std::string> seen;
    bool allOnMain = true;
    MDHTTPRequestSender::ResponseBlock block(const std::string& kind) {
        return [this, kind](const HTTPURLResponse& response, const Value::Bytes& data) {
            add(kind + " " + std::to_string(response.statusCode) + " " + text(data));
        };
    }
    MDHTTPRequestSender::ErrorBlock errorBlock() {
        return [this](const platform::Error& e) {
            add("error " + e.domain + " " + std::to_string(e.code) + " " + e.localizedDescription);
        };
    }
    void add(std::string call) {
        seen.push_back(std::move(call));
        allOnMain = allOnMain && MainLoop::isMainThread();
    }
};

std::optional<HTTPURLResponse> withStatus(long status) {
    HTTPURLResponse response;
    response.statusCode = status;
    return response;
}

}  // namespace

TEST(MultipartBody, BoundaryIsFreshLowerCaseHexAndNamedInTheContentType) {
    auto first = MDHTTPMultipartPostBody::body();
    MDHTTPMultipartPostBody second;
    ASSERT_EQ(first->boundary().size(), 32u);
    EXPECT_EQ(first->boundary().find_first_not_of("0123456789abcdef"), std::string::npos) << first->boundary();
    EXPECT_NE(first->boundary(), second.boundary());
    EXPECT_EQ(first->contentType(), "multipart/form-data; boundary=" + first->boundary());
    EXPECT_EQ(text(second.data()), "\r\n--" + second.boundary() + "--\r\n");  // no fields: the closing line
}

TEST(MultipartBody, WritesFieldsInOrderWithEscapedNamesAndOneLineEndBetween) {
    MDHTTPMultipartPostBody body;
    body.appendData(bytes(std::string("{\"a\":\0}\r\n", 9)), "report \"one\"", std::string("application/\"json\""),
                    std::string("crash \"1\".json"));
    body.appendUTF8String(std::string("plain\0cut off", 13), "note", std::nullopt, std::nullopt);
    ASSERT_EQ(body.fields().size(), 2u);
    EXPECT_EQ(body.fields()[1]->name(), "note");

    const std::string b = body.boundary();
    EXPECT_EQ(text(body.data()),
              "--" + b + "\r\n" +
                  "Content-Disposition: form-data; name=\"report \\\"one\\\"\"; filename=\"crash \\\"1\\\".json\"\r\n"
                  "Content-Type: application/\"json\"\r\n\r\n" +
                  std::string("{\"a\":\0}\r\n", 9) +  // data as given, zero byte and all
                  "\r\n--" + b + "\r\n" +
                  "Content-Disposition: form-data; name=\"note\"\r\n\r\n"
                  "plain" +  // text stops at its zero byte
                  "\r\n--" + b + "--\r\n");
    EXPECT_EQ(MDHTTPMultipartPostBody::toStringWithQuotesEscaped("a\"b\\c'\""), "a\\\"b\\c'\\\"");
}

TEST(RequestSender, HandleResponseSortsOnTheMainQueueAndSkipsMissingBlocks) {
    MainLoop::adoptCurrentThreadAsMain();
    auto sender = MDHTTPRequestSender::sender();
    Calls calls;
    auto handle = [&](std::optional<HTTPURLResponse> response, platform::OptionalError error, bool withBlocks = true) {
        sender->handleResponse(response, bytes("body"), error, withBlocks ? calls.block("success") : nullptr,
                               calls.block("failure"), withBlocks ? calls.errorBlock() : nullptr);
    };
    handle(std::nullopt, std::nullopt);
    EXPECT_TRUE(calls.seen.empty()) << "ran before the main queue got to it";
    handle(withStatus(0), std::nullopt);
    handle(withStatus(200), platform::Error(platform::kURLErrorDomain, -1005, "lost"));  // the error wins
    handle(withStatus(299), std::nullopt);
    handle(withStatus(300), std::nullopt);
    handle(withStatus(200), std::nullopt, false);  // the chosen block is missing: nothing runs
    handle(std::nullopt, std::nullopt, false);
    MainLoop::drainPending();
    EXPECT_EQ(calls.seen, (std::vector<std::string>{
                              "error MDHTTPRequestSender 0 Response was nil",
                              "error MDHTTPRequestSender 0 Response was of type NSURLResponse. Expected NSHTTPURLResponse",
                              "error NSURLErrorDomain -1005 lost", "success 299 body", "failure 300 body"}));
    EXPECT_TRUE(calls.allOnMain);
}

TEST(RequestSender, SendsAndReportsSuccessFailureAndError) {
    TestHttpServer server([](const TestHttpServer::Request& request) {
        TestHttpServer::Response response;
        response.status = request.path == "/ok" ? 200 : 404;
        response.body = request.path == "/ok" ? "accepted" : "missing";
        return response;
    });
    Calls calls;
    auto sendTo = [&](const std::string& url) {
        // A sender dropped right after sending still delivers its answer.
        MDHTTPRequestSender::sender()->sendRequest(platform::URLRequest(*platform::URL::URLWithString(url)),
                                                   calls.block("success"), calls.block("failure"), calls.errorBlock());
        const size_t expected = calls.seen.size() + 1;
        EXPECT_TRUE(MainLoop::runUntil([&] { return calls.seen.size() == expected; }, std::chrono::seconds(60)));
    };
    sendTo(server.url("/ok"));
    sendTo(server.url("/gone"));
    sendTo("http://127.0.0.1:" + std::to_string(TestHttpServer::unusedPort()) + "/");
    ASSERT_EQ(calls.seen.size(), 3u);
    EXPECT_EQ(calls.seen[0], "success 200 accepted");
    EXPECT_EQ(calls.seen[1], "failure 404 missing");
    EXPECT_EQ(calls.seen[2].rfind("error NSURLErrorDomain -1004 ", 0), 0u) << calls.seen[2];
    EXPECT_TRUE(calls.allOnMain);
}
