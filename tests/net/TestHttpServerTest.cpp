// The loopback server the network tests and the download benchmark rely on,
// checked with a plain socket.
#include "tests/support/TestHttpServer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

using zeltest::TestHttpServer;

namespace {

class Client {
public:
    explicit Client(int port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port));
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Client() { ::close(fd_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return connected_; }
    void send(const std::string& data) { ASSERT_EQ(::send(fd_, data.data(), data.size(), MSG_NOSIGNAL), ssize_t(data.size())); }

    // One response: the head, then as many body bytes as Content-Length says
    // (or everything until the server closes when there is none).
    std::string readResponse(std::string* body) {
        size_t end;
        while ((end = buffer_.find("\r\n\r\n")) == std::string::npos) {
            if (!readMore()) return {};
        }
        std::string head = buffer_.substr(0, end + 4);
        buffer_.erase(0, end + 4);
        size_t at = head.find("Content-Length: ");
        if (at == std::string::npos) {
            while (readMore()) {
            }
            *body = std::move(buffer_);
            buffer_.clear();
        } else {
            size_t length = std::stoul(head.substr(at + 16));
            while (buffer_.size() < length && readMore()) {
            }
            *body = buffer_.substr(0, length);
            buffer_.erase(0, std::min(length, buffer_.size()));
        }
        return head;
    }

    // Whether the server has closed its side (nothing more to read).
    bool closedByServer() { return buffer_.empty() && !readMore(); }

private:
    bool readMore() {
        char chunk[65536];
        ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) return false;
        buffer_.append(chunk, static_cast<size_t>(n));
        return true;
    }

    int fd_;
    bool connected_ = false;
    std::string buffer_;
};

}  // namespace

TEST(TestHttpServerTest, ServesSeveralRequestsOnOneConnectionAndRecordsThem) {
    TestHttpServer server([](const TestHttpServer::Request& request) {
        TestHttpServer::Response response;
        response.status = request.path == "/gone" ? 404 : 200;
        response.body = request.method + " " + request.path + " " + request.body;
        response.headers["X-Seen"] = request.headers.count("x-custom") ? request.headers.at("x-custom") : "-";
        return response;
    });
    EXPECT_GT(server.port(), 0);
    EXPECT_EQ(server.url("/a"), "http://127.0.0.1:" + std::to_string(server.port()) + "/a");

    Client client(server.port());
    ASSERT_TRUE(client.connected());
    // Two requests in one write: the second must not get lost.
    client.send("POST /form?x=1 HTTP/1.1\r\nHost: h\r\nX-Custom: yes\r\nContent-Length: 5\r\n\r\nhello"
                "GET /gone HTTP/1.1\r\nHost: h\r\n\r\n");
    std::string body;
    std::string head = client.readResponse(&body);
    EXPECT_EQ(head.rfind("HTTP/1.1 200 ", 0), 0u) << head;
    EXPECT_NE(head.find("X-Seen: yes\r\n"), std::string::npos) << head;
    EXPECT_EQ(body, "POST /form?x=1 hello");
    head = client.readResponse(&body);
    EXPECT_EQ(head.rfind("HTTP/1.1 404 ", 0), 0u) << head;
    EXPECT_EQ(body, "GET /gone ");

    // Connection: close from the client ends the connection after the answer.
    client.send("GET /last HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n");
    head = client.readResponse(&body);
    EXPECT_NE(head.find("Connection: close"), std::string::npos) << head;
    EXPECT_TRUE(client.closedByServer());

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].path, "/form?x=1");
    EXPECT_EQ(requests[0].body, "hello");
    EXPECT_EQ(requests[0].headers.at("x-custom"), "yes");
    EXPECT_EQ(requests[2].path, "/last");
}

TEST(TestHttpServerTest, GeneratedBodiesFollowThePatternAndCanBeCutOrSentWithoutLength) {
    TestHttpServer server([](const TestHttpServer::Request& request) {
        TestHttpServer::Response response;
        response.generatedBodySize = 300000;
        if (request.path == "/cut") response.truncateAfter = 100001;
        if (request.path == "/nolength") response.omitContentLength = true;
        return response;
    });
    {
        Client client(server.port());
        client.send("GET /whole HTTP/1.1\r\nHost: h\r\n\r\n");
        std::string body;
        std::string head = client.readResponse(&body);
        EXPECT_NE(head.find("Content-Length: 300000\r\n"), std::string::npos) << head;
        EXPECT_TRUE(body == TestHttpServer::generatedBody(300000));
    }
    {
        Client client(server.port());
        client.send("GET /cut HTTP/1.1\r\nHost: h\r\n\r\n");
        std::string body;
        std::string head = client.readResponse(&body);
        EXPECT_NE(head.find("Content-Length: 300000\r\n"), std::string::npos) << head;
        EXPECT_EQ(body.size(), 100001u);
        EXPECT_TRUE(body == TestHttpServer::generatedBody(100001));
        EXPECT_TRUE(client.closedByServer());
    }
    {
        Client client(server.port());
        client.send("GET /nolength HTTP/1.1\r\nHost: h\r\n\r\n");
        std::string body;
        std::string head = client.readResponse(&body);
        EXPECT_EQ(head.find("Content-Length"), std::string::npos) << head;
        EXPECT_EQ(body.size(), 300000u);
    }
    // The pattern does not repeat at any power-of-two block size.
    EXPECT_NE(TestHttpServer::generatedBody(65536 * 2).substr(0, 65536),
              TestHttpServer::generatedBody(65536 * 2).substr(65536));
}

TEST(TestHttpServerTest, StopsWithAConnectionStillOpenAndANothingListensOnAnUnusedPort) {
    auto server = std::make_unique<TestHttpServer>([](const TestHttpServer::Request&) {
        TestHttpServer::Response response;
        response.generatedBodySize = 64 << 20;
        response.delayPerChunkMs = 1000;
        return response;
    });
    Client idle(server->port());
    Client slow(server->port());
    slow.send("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
    ASSERT_TRUE(idle.connected());
    server.reset();  // must not wait for the slow body or the idle connection
    EXPECT_TRUE(idle.closedByServer());

    int port = TestHttpServer::unusedPort();
    EXPECT_GT(port, 0);
    Client refused(port);
    EXPECT_FALSE(refused.connected());
}
