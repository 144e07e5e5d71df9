// Download throughput of a URLSession download task against the curl
// command line, both fetching the same generated body from a loopback
// server into the same temporary directory. Rounds alternate between the
// two; the best round of each is compared.
//
//   http_download_bench [size in MiB, default 512]
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "TestHttpServer.h"
#include "platform/foundation/FileManager.h"
#include "platform/net/URLSession.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 3;

// Records when the file was handed over and whether it was whole.
class TimingDelegate : public platform::URLSessionDelegate {
public:
    explicit TimingDelegate(uint64_t expectedSize) : expectedSize_(expectedSize) {}

    void didFinishDownloadingToURL(platform::URLSession&, platform::URLSessionTask&,
                                   const std::string& location) override {
        const auto now = Clock::now();
        struct stat info {};
        const bool whole = ::stat(location.c_str(), &info) == 0 && static_cast<uint64_t>(info.st_size) == expectedSize_;
        std::lock_guard<std::mutex> lock(mutex_);
        finishedAt_ = now;
        whole_ = whole;
    }
    void didCompleteWithError(platform::URLSession&, platform::URLSessionTask&,
                              const platform::OptionalError& error) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (error) error_ = error->description();
        done_ = true;
        changed_.notify_all();
    }

    // The time the download finished, or nothing when it failed.
    std::optional<Clock::time_point> wait(std::string* failure) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return done_; });
        if (!error_.empty()) {
            *failure = error_;
            return std::nullopt;
        }
        if (!finishedAt_ || !whole_) {
            *failure = "the downloaded file is incomplete";
            return std::nullopt;
        }
        return finishedAt_;
    }

private:
    const uint64_t expectedSize_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool done_ = false;
    bool whole_ = false;
    std::optional<Clock::time_point> finishedAt_;
    std::string error_;
};

// Seconds for one URLSession download, or a negative number on failure.
double timeSession(const std::string& url, uint64_t size) {
    auto delegate = std::make_shared<TimingDelegate>(size);
    auto session = platform::URLSession::sessionWithConfiguration(
        platform::URLSessionConfiguration::defaultSessionConfiguration(), delegate);
    auto task = session->downloadTaskWithURL(*platform::URL::URLWithString(url));
    const auto start = Clock::now();
    task->resume();
    std::string failure;
    auto finished = delegate->wait(&failure);
    session->finishTasksAndInvalidate();
    if (!finished) {
        std::fprintf(stderr, "URLSession download failed: %s\n", failure.c_str());
        return -1;
    }
    return std::chrono::duration<double>(*finished - start).count();
}

// Seconds for `curl -s -o <file> <url>`, or a negative number on failure.
double timeCurl(const std::string& url, const std::string& file, uint64_t size) {
    std::vector<std::string> arguments{"curl", "-s", "-o", file, url};
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const auto start = Clock::now();
    pid_t pid = 0;
    if (::posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(), environ) != 0) {
        std::fprintf(stderr, "cannot start curl\n");
        return -1;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
    }
    const auto end = Clock::now();
    struct stat info {};
    const bool whole = ::stat(file.c_str(), &info) == 0 && static_cast<uint64_t>(info.st_size) == size;
    ::unlink(file.c_str());
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !whole) {
        std::fprintf(stderr, "curl download failed (status %d)\n", status);
        return -1;
    }
    return std::chrono::duration<double>(end - start).count();
}

double megabytesPerSecond(uint64_t size, double seconds) { return static_cast<double>(size) / 1e6 / seconds; }

}  // namespace

int main(int argc, char** argv) {
    uint64_t mebibytes = 512;
    if (argc > 1) {
        mebibytes = std::strtoull(argv[1], nullptr, 10);
        if (mebibytes == 0) {
            std::fprintf(stderr, "usage: %s [size in MiB]\n", argv[0]);
            return 2;
        }
    }
    const uint64_t size = mebibytes << 20;
    zeltest::TestHttpServer server([size](const zeltest::TestHttpServer::Request&) {
        zeltest::TestHttpServer::Response response;
        response.generatedBodySize = size;
        return response;
    });
    const std::string url = server.url("/bench.bin");
    const std::string curlFile = platform::temporaryDirectory() + "http_download_bench.curl";
    std::printf("downloading %llu MiB from %s into %s, %d rounds each\n", static_cast<unsigned long long>(mebibytes),
                url.c_str(), platform::temporaryDirectory().c_str(), kRounds);

    double bestSession = 0, bestCurl = 0;
    for (int round = 1; round <= kRounds; ++round) {
        const double sessionSeconds = timeSession(url, size);
        const double curlSeconds = timeCurl(url, curlFile, size);
        if (sessionSeconds <= 0 || curlSeconds <= 0) return 1;
        const double sessionRate = megabytesPerSecond(size, sessionSeconds);
        const double curlRate = megabytesPerSecond(size, curlSeconds);
        bestSession = std::max(bestSession, sessionRate);
        bestCurl = std::max(bestCurl, curlRate);
        std::printf("round %d: URLSession %8.1f MB/s   curl %8.1f MB/s\n", round, sessionRate, curlRate);
    }
    std::printf("best:    URLSession %8.1f MB/s   curl %8.1f MB/s   ratio %.3f\n", bestSession, bestCurl,
                bestSession / bestCurl);
    return 0;
}
