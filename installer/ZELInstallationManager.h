// Downloads the package the feed names and installs it for the current user.
// One manager serves one download and one install.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "installer/ZELFeedData.h"
#include "installer/ZELStallWatch.h"

#include <chrono>
#include <mutex>
#include "platform/foundation/Error.h"
#include "platform/net/URLSession.h"

class ZELInstallationManager : public platform::URLSessionDelegate,
                               public std::enable_shared_from_this<ZELInstallationManager> {
public:
    using DownloadCompletion = std::function<void(std::optional<std::string> location, platform::OptionalError error)>;
    using ProgressBlock = std::function<void(double percentage)>;
    using InstallCompletion = std::function<void(platform::OptionalError error)>;
    // Beside the percentage: the bytes so far and the announced length
    // (kTransferSizeUnknown without one), and whether the server has stalled.
    using TransferBlock = std::function<void(int64_t written, int64_t expected)>;
    using StallBlock = std::function<void(bool stalled)>;

    // The environment variable that points the install step at another
    // package installer program (the demo and the tests).
    static constexpr const char* kInstallerPathVariable = "ZEL_PACKAGE_INSTALLER";
    static constexpr const char* kDefaultInstallerPath = "/usr/sbin/installer";

    // Makes a manager whose download session calls it back as its delegate.
    static std::shared_ptr<ZELInstallationManager> initWithFeedData(std::shared_ptr<ZELFeedData> feedData);

    // Download (main thread): removes a leftover package, starts the download
    // of "installUrl"; returns at once. The completion runs once on the main
    // queue; progress reports run there too, as percentages.
    void startDownloadWithCompletion(DownloadCompletion completion, ProgressBlock progress);
    // Set before the download starts; both run on the main queue.
    void setTransferBlock(TransferBlock block) { transferBlock_ = std::move(block); }
    void setStallBlock(StallBlock block) { stallBlock_ = std::move(block); }
    // How long without data counts as a stall (15 s); tests shorten it.
    static void setStallLimitForTesting(std::chrono::milliseconds limit);
    // The temporary directory + "tmp-" + the last path component of "installUrl".
    std::string getInstallerPath() const;
    // The private folder on disk that downloads go to: this run's own folder
    // under the user's caches (see ZELRunFolder). Ends in "/".
    static std::string downloadDirectory();
    // "Not enough disk space: N MB needed, M MB free." when `needed` bytes do
    // not fit in the download folder's file system, else nothing.
    static platform::OptionalError diskSpaceError(int64_t needed);
    void removeInstallerIfExists() const;
    void reportCompletionWithURL(std::optional<std::string> location, platform::OptionalError error);

    // Install (main thread): asks a running copy of the product to quit,
    // then runs the package installer in the background. The completion
    // runs at most once, on the main queue.
    void startInstallWithCompletion(InstallCompletion completion);
    void runInstaller();
    // Runs "/usr/bin/env" with `args`, waits, answers the exit status.
    static long long runShellWithArgs(const std::vector<std::string>& args);
    void reportInstallCompletionWithError(platform::OptionalError error);
    // The seven arguments handed to "/usr/bin/env".
    std::vector<std::string> installerArguments() const;

    // Session delegate.
    void didWriteData(platform::URLSession& session, platform::URLSessionTask& task, int64_t bytesWritten,
                      int64_t totalBytesWritten, int64_t totalBytesExpectedToWrite) override;
    void didFinishDownloadingToURL(platform::URLSession& session, platform::URLSessionTask& task,
                                   const std::string& location) override;
    void didCompleteWithError(platform::URLSession& session, platform::URLSessionTask& task,
                              const platform::OptionalError& error) override;
    void didBecomeInvalidWithError(platform::URLSession& session, const platform::OptionalError& error) override;

    // Properties.
    const std::shared_ptr<ZELFeedData>& feedData() const noexcept { return feedData_; }
    void setFeedData(std::shared_ptr<ZELFeedData> feedData) { feedData_ = std::move(feedData); }
    const std::shared_ptr<platform::URLSession>& backgroundSession() const noexcept { return backgroundSession_; }
    const std::shared_ptr<platform::URLSessionTask>& downloadTask() const noexcept { return downloadTask_; }
    const DownloadCompletion& downloadCompletion() const noexcept { return downloadCompletion_; }
    void setDownloadCompletion(DownloadCompletion c) { downloadCompletion_ = std::move(c); }
    const ProgressBlock& progressBlock() const noexcept { return progressBlock_; }
    void setProgressBlock(ProgressBlock b) { progressBlock_ = std::move(b); }
    const InstallCompletion& installCompletion() const noexcept { return installCompletion_; }
    void setInstallCompletion(InstallCompletion c) { installCompletion_ = std::move(c); }

    explicit ZELInstallationManager(std::shared_ptr<ZELFeedData> feedData);

private:
    std::shared_ptr<ZELFeedData> feedData_;
    std::shared_ptr<platform::URLSession> backgroundSession_;
    std::shared_ptr<platform::URLSessionTask> downloadTask_;
    DownloadCompletion downloadCompletion_;
    ProgressBlock progressBlock_;
    InstallCompletion installCompletion_;
    TransferBlock transferBlock_;
    StallBlock stallBlock_;
    std::mutex stallMutex_;  // the watch is fed on the delegate queue and ended on the main one
    std::unique_ptr<ZELStallWatch> stallWatch_;
    bool spaceChecked_ = false;  // delegate queue only
    int resumeAttempts_ = 0;     // delegate queue only
};

// The error of a failed install: domain "some_domain", code 100.
platform::Error ZELInstallError();
