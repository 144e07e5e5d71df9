// Shared pieces of the network tests: a private temporary directory for the
// whole test program, a delegate that records what it is told, and waiting.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/net/URLSession.h"

namespace nettest {

// Download files whose names the session chose, left in the temporary directory.
std::vector<std::string> leftoverDownloads();

struct Progress {
    int64_t written;
    int64_t total;
    int64_t expected;
};

class RecordingDelegate : public platform::URLSessionDelegate {
public:
    void didWriteData(platform::URLSession& session, platform::URLSessionTask& task, int64_t bytesWritten,
                      int64_t totalBytesWritten, int64_t totalBytesExpectedToWrite) override;
    void didFinishDownloadingToURL(platform::URLSession& session, platform::URLSessionTask& task,
                                   const std::string& location) override;
    void didCompleteWithError(platform::URLSession& session, platform::URLSessionTask& task,
                              const platform::OptionalError& error) override;
    void didBecomeInvalidWithError(platform::URLSession& session, const platform::OptionalError& error) override;

    // Waits (up to a generous limit) until `count` events named `name` were seen.
    bool waitFor(const std::string& name, size_t count = 1, std::chrono::seconds limit = std::chrono::seconds(30));

    std::vector<std::string> events() const;
    std::vector<Progress> progress() const;
    platform::OptionalError completionError() const;

    // Set before the transfer starts; called on the delegate queue.
    std::function<void(platform::URLSession&)> onFirstProgress;
    // Holds the session, as the product's delegates do (a reference cycle
    // until the session is invalidated).
    std::shared_ptr<platform::URLSession> session;

    // Filled in by didFinishDownloadingToURL.
    std::string location;
    std::string contentAtFinish;
    bool fileExistedAtCompletion = false;
    bool allOnDelegateQueue = true;
    bool invalidatedWithError = false;

private:
    void record(platform::URLSession& session, const std::string& name);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> events_;
    std::vector<Progress> progress_;
    platform::OptionalError error_;
};

}  // namespace nettest
