#include "TestHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <list>
#include <stdexcept>
#include <thread>

namespace zeltest {

namespace {

// The generated body repeats a pseudo-random table whose length is prime,
// so a shifted, repeated or dropped block of any usual size shows up.
constexpr size_t kPatternPeriod = 65521;
constexpr size_t kSendChunk = 1 << 20;        // one send() of a fast body
constexpr size_t kSlowChunk = 64 * 1024;      // the unit delayPerChunkMs applies to
constexpr size_t kMaxHeadSize = 1 << 20;

// kSendChunk bytes of pattern starting at any phase: pattern()[o % period ...].
const std::vector<uint8_t>& pattern() {
    static const std::vector<uint8_t> bytes = [] {
        std::vector<uint8_t> table(kPatternPeriod);
        uint32_t x = 0x12345678u;
        for (auto& b : table) {
            x = x * 1664525u + 1013904223u;
            b = static_cast<uint8_t>(x >> 24);
        }
        std::vector<uint8_t> out(kSendChunk + kPatternPeriod);
        for (size_t i = 0; i < out.size(); ++i) out[i] = table[i % kPatternPeriod];
        return out;
    }();
    return bytes;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

const char* reasonPhrase(int status) {
    switch (status) {
        case 100: return "Continue";
        case 200: return "OK";
        case 201: return "Created";
        case 204: return "No Content";
        case 206: return "Partial Content";
        case 301: return "Moved Permanently";
        case 302: return "Found";
        case 303: return "See Other";
        case 304: return "Not Modified";
        case 307: return "Temporary Redirect";
        case 308: return "Permanent Redirect";
        case 400: return "Bad Request";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 500: return "Internal Server Error";
        case 503: return "Service Unavailable";
        default: return "Status";
    }
}

bool sendAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

struct TestHttpServer::Impl {
    struct Connection {
        int fd = -1;  // -1 once the serving thread has closed it
        std::thread thread;
        bool done = false;
    };

    Handler handler;
    int listenFd = -1;
    std::thread acceptor;

    mutable std::mutex mutex;
    std::condition_variable stopWake;
    bool stopping = false;
    std::vector<Request> requests;
    std::list<Connection> connections;

    void acceptLoop() {
        for (;;) {
            int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                return;  // shut down (or broken): no more connections
            }
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping) {
                ::close(fd);
                return;
            }
            // Threads of closed connections are joined as new ones arrive.
            for (auto it = connections.begin(); it != connections.end();) {
                auto next = std::next(it);
                if (it->done) {
                    it->thread.join();
                    connections.erase(it);
                }
                it = next;
            }
            Connection& connection = connections.emplace_back();
            connection.fd = fd;
            connection.thread = std::thread([this, &connection, fd] { serve(connection, fd); });
        }
    }

    void serve(Connection& connection, int fd) {
        std::string in;
        while (serveOne(fd, in)) {
        }
        std::lock_guard<std::mutex> lock(mutex);
        ::close(fd);
        connection.fd = -1;
        connection.done = true;
    }

    // Reads more bytes into `in`; false at the end of the stream.
    static bool readMore(int fd, std::string& in) {
        char buffer[64 * 1024];
        for (;;) {
            ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            in.append(buffer, static_cast<size_t>(n));
            return true;
        }
    }

    static bool readExactly(int fd, std::string& in, size_t count, std::string& out) {
        while (in.size() < count) {
            if (!readMore(fd, in)) return false;
        }
        out.append(in, 0, count);
        in.erase(0, count);
        return true;
    }

    static bool readLine(int fd, std::string& in, std::string& line) {
        size_t end;
        while ((end = in.find("\r\n")) == std::string::npos) {
            if (in.size() > kMaxHeadSize || !readMore(fd, in)) return false;
        }
        line = in.substr(0, end);
        in.erase(0, end + 2);
        return true;
    }

    static bool readChunkedBody(int fd, std::string& in, std::string& body) {
        for (;;) {
            std::string line;
            if (!readLine(fd, in, line)) return false;
            size_t size = std::strtoul(line.c_str(), nullptr, 16);
            if (size == 0) {
                // Trailers end with an empty line.
                do {
                    if (!readLine(fd, in, line)) return false;
                } while (!line.empty());
                return true;
            }
            std::string crlf;
            if (!readExactly(fd, in, size, body) || !readExactly(fd, in, 2, crlf)) return false;
        }
    }

    // Serves one request; false when the connection is to be closed.
    bool serveOne(int fd, std::string& in) {
        size_t headEnd;
        while ((headEnd = in.find("\r\n\r\n")) == std::string::npos) {
            if (in.size() > kMaxHeadSize || !readMore(fd, in)) return false;
        }
        std::string head = in.substr(0, headEnd);
        in.erase(0, headEnd + 4);

        Request request;
        std::string version;
        size_t lineEnd = head.find("\r\n");
        std::string requestLine = head.substr(0, lineEnd);
        {
            size_t a = requestLine.find(' ');
            size_t b = requestLine.rfind(' ');
            if (a == std::string::npos || b == a) return false;
            request.method = requestLine.substr(0, a);
            request.path = requestLine.substr(a + 1, b - a - 1);
            version = requestLine.substr(b + 1);
        }
        while (lineEnd != std::string::npos) {
            size_t start = lineEnd + 2;
            lineEnd = head.find("\r\n", start);
            std::string line = head.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
            size_t colon = line.find(':');
            if (colon == std::string::npos) continue;
            std::string name = lower(trim(line.substr(0, colon)));
            std::string value = trim(line.substr(colon + 1));
            auto [it, inserted] = request.headers.emplace(name, value);
            if (!inserted) it->second += ", " + value;
        }

        auto header = [&request](const char* name) {
            auto it = request.headers.find(name);
            return it == request.headers.end() ? std::string() : it->second;
        };
        if (lower(header("expect")) == "100-continue") {
            static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
            if (!sendAll(fd, kContinue, sizeof kContinue - 1)) return false;
        }
        if (lower(header("transfer-encoding")).find("chunked") != std::string::npos) {
            if (!readChunkedBody(fd, in, request.body)) return false;
        } else if (std::string length = header("content-length"); !length.empty()) {
            if (!readExactly(fd, in, std::strtoull(length.c_str(), nullptr, 10), request.body)) return false;
        }

        bool keepAlive = version == "HTTP/1.1" ? lower(header("connection")) != "close"
                                               : lower(header("connection")) == "keep-alive";
        {
            std::lock_guard<std::mutex> lock(mutex);
            requests.push_back(request);
        }

        Response response;
        try {
            response = handler(request);
        } catch (const std::exception& e) {
            response = Response{};
            response.status = 500;
            response.body = e.what();
        }
        return sendResponse(fd, request, response, keepAlive);
    }

    bool sendResponse(int fd, const Request& request, const Response& response, bool keepAlive) {
        const bool generated = response.generatedBodySize > 0;
        const uint64_t total = generated ? response.generatedBodySize : response.body.size();
        uint64_t toSend = total;
        if (response.truncateAfter >= 0) toSend = std::min<uint64_t>(toSend, static_cast<uint64_t>(response.truncateAfter));
        if (request.method == "HEAD") toSend = 0;

        bool hasLength = false;
        for (const auto& [name, value] : response.headers) {
            std::string n = lower(name);
            if (n == "content-length") hasLength = true;
            if (n == "connection" && lower(value) == "close") keepAlive = false;
        }
        if (response.omitContentLength || response.truncateAfter >= 0) keepAlive = false;

        std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " + reasonPhrase(response.status) + "\r\n";
        for (const auto& [name, value] : response.headers) head += name + ": " + value + "\r\n";
        if (!hasLength && !response.omitContentLength) head += "Content-Length: " + std::to_string(total) + "\r\n";
        if (!keepAlive) head += "Connection: close\r\n";
        head += "\r\n";

        if (!generated && response.delayPerChunkMs == 0) {
            // Small bodies go out with the head in one write.
            head.append(response.body, 0, toSend);
            if (!sendAll(fd, head.data(), head.size())) return false;
        } else {
            if (!sendAll(fd, head.data(), head.size())) return false;
            const size_t chunk = response.delayPerChunkMs > 0 ? kSlowChunk : kSendChunk;
            const auto& bytes = pattern();
            for (uint64_t sent = 0; sent < toSend;) {
                if (response.delayPerChunkMs > 0 && !waitUnlessStopping(response.delayPerChunkMs)) return false;
                size_t n = static_cast<size_t>(std::min<uint64_t>(chunk, toSend - sent));
                const void* data = generated ? static_cast<const void*>(bytes.data() + sent % kPatternPeriod)
                                             : static_cast<const void*>(response.body.data() + sent);
                if (!sendAll(fd, data, n)) return false;
                sent += n;
            }
        }
        if (!keepAlive) ::shutdown(fd, SHUT_WR);
        return keepAlive;
    }

    // Sleeps `ms`; false when the server is being stopped meanwhile.
    bool waitUnlessStopping(int ms) {
        std::unique_lock<std::mutex> lock(mutex);
        return !stopWake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping; });
    }
};

TestHttpServer::TestHttpServer(Handler handler) : impl_(new Impl) {
    impl_->handler = std::move(handler);
    impl_->listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (impl_->listenFd < 0) {
        delete impl_;
        throw std::runtime_error("socket() failed");
    }
    int one = 1;
    ::setsockopt(impl_->listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(impl_->listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(impl_->listenFd, 128) != 0 ||
        ::getsockname(impl_->listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(impl_->listenFd);
        delete impl_;
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
    impl_->acceptor = std::thread([impl = impl_] { impl->acceptLoop(); });
}

TestHttpServer::~TestHttpServer() {
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->stopping = true;
        // Wakes accept() and every recv()/send() in progress.
        ::shutdown(impl_->listenFd, SHUT_RDWR);
        for (auto& connection : impl_->connections) {
            if (connection.fd >= 0) ::shutdown(connection.fd, SHUT_RDWR);
        }
    }
    impl_->stopWake.notify_all();
    impl_->acceptor.join();
    // No new connections now; the list only shrinks under the acceptor.
    for (auto& connection : impl_->connections) connection.thread.join();
    ::close(impl_->listenFd);
    delete impl_;
}

std::string TestHttpServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<TestHttpServer::Request> TestHttpServer::requests() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->requests;
}

int TestHttpServer::unusedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket() failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(fd);
    if (port < 0) throw std::runtime_error("no free loopback port");
    return port;
}

uint8_t TestHttpServer::generatedByte(uint64_t offset) { return pattern()[offset % kPatternPeriod]; }

std::string TestHttpServer::generatedBody(uint64_t size) {
    std::string body(size, '\0');
    for (uint64_t i = 0; i < size; ++i) body[i] = static_cast<char>(generatedByte(i));
    return body;
}

}  // namespace zeltest
