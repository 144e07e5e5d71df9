#include "NetTestSupport.h"

#include <dirent.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>

#include "platform/foundation/FileManager.h"
#include "tests/support/TempDir.h"

namespace nettest {

namespace {

// Points TMPDIR at a directory of this test program before the session
// code first asks for it, so leftover download files can be counted and
// nothing is left behind. Proxies from the environment are ignored: the
// tests only talk to 127.0.0.1.
class PrivateTemporaryDirectory : public ::testing::Environment {
public:
    void SetUp() override {
        for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
            ::unsetenv(name);
        directory_ = std::make_unique<zeltest::TempDir>();
        ::setenv("TMPDIR", directory_->path().c_str(), 1);
        ASSERT_EQ(platform::temporaryDirectory(), directory_->path() + "/");
    }
    void TearDown() override { directory_.reset(); }

private:
    std::unique_ptr<zeltest::TempDir> directory_;
};

[[maybe_unused]] ::testing::Environment* const registered =
    ::testing::AddGlobalTestEnvironment(new PrivateTemporaryDirectory);

}  // namespace

std::vector<std::string> leftoverDownloads() {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(platform::temporaryDirectory(), ec)) {
        std::string name = entry.path().filename().string();
        if (name.rfind("CFNetworkDownload_", 0) == 0) names.push_back(name);
    }
    return names;
}

void RecordingDelegate::record(platform::URLSession& session, const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!session.delegateQueue().isCurrent()) allOnDelegateQueue = false;
    events_.push_back(name);
    changed_.notify_all();
}

void RecordingDelegate::didWriteData(platform::URLSession& session, platform::URLSessionTask&, int64_t bytesWritten,
                                     int64_t totalBytesWritten, int64_t totalBytesExpectedToWrite) {
    bool first;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        first = progress_.empty();
        progress_.push_back({bytesWritten, totalBytesWritten, totalBytesExpectedToWrite});
    }
    if (first && onFirstProgress) onFirstProgress(session);
    record(session, "progress");
}

void RecordingDelegate::didFinishDownloadingToURL(platform::URLSession& session, platform::URLSessionTask&,
                                                  const std::string& path) {
    location = path;
    contentAtFinish = zeltest::readFile(path);
    record(session, "finish");
}

void RecordingDelegate::didCompleteWithError(platform::URLSession& session, platform::URLSessionTask&,
                                             const platform::OptionalError& error) {
    fileExistedAtCompletion = !location.empty() && zeltest::fileExists(location);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        error_ = error;
    }
    record(session, "complete");
}

void RecordingDelegate::didBecomeInvalidWithError(platform::URLSession& session, const platform::OptionalError& error) {
    if (error) invalidatedWithError = true;
    record(session, "invalid");
    this->session.reset();  // the product's delegates let go of the session here
}

bool RecordingDelegate::waitFor(const std::string& name, size_t count, std::chrono::seconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] {
        return static_cast<size_t>(std::count(events_.begin(), events_.end(), name)) >= count;
    });
}

std::vector<std::string> RecordingDelegate::events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

std::vector<Progress> RecordingDelegate::progress() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return progress_;
}

platform::OptionalError RecordingDelegate::completionError() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

}  // namespace nettest
