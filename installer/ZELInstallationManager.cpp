// The download half of the installation manager.
#include "installer/ZELInstallationManager.h"

#include "installer/ZELConstants.h"
#include "installer/ZELPackageVerifier.h"
#include "installer/ZELRunFolder.h"
#include "installer/ZELServerAnswer.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/URL.h"

#include <sys/statvfs.h>

using platform::DispatchQueue;
using platform::Error;
using platform::FileManager;
using platform::OptionalError;

namespace {

std::chrono::milliseconds& stallLimit() {
    static std::chrono::milliseconds limit = std::chrono::seconds(15);
    return limit;
}

// The local name must stay a single file name inside the temporary
// directory whatever the feed says: no separators, no NUL, a sane length.
std::string safeFileComponent(const std::string& component) {
    std::string name;
    for (char c : component) {
        if (c == '/' || c == '\0') continue;
        name += c;
    }
    constexpr size_t kMaxLength = 200;  // leaves room for "tmp-" under NAME_MAX
    if (name.size() > kMaxLength) name.resize(kMaxLength);
    return name;
}

std::string installUrlString(const ZELFeedData& feed) {
    const auto& value = feed.platforms().darwin().installUrl();
    return value.isString() ? value.stringValue() : std::string();
}

}  // namespace

ZELInstallationManager::ZELInstallationManager(std::shared_ptr<ZELFeedData> feedData)
    : feedData_(std::move(feedData)) {}

std::shared_ptr<ZELInstallationManager> ZELInstallationManager::initWithFeedData(std::shared_ptr<ZELFeedData> feedData) {
    auto manager = std::make_shared<ZELInstallationManager>(std::move(feedData));
    auto configuration = platform::URLSessionConfiguration::defaultSessionConfiguration();
    configuration.downloadDirectory = downloadDirectory();
    configuration.timeoutIntervalForRequest = ZELConstants::requestTimeout();
    manager->backgroundSession_ = platform::URLSession::sessionWithConfiguration(configuration, manager);
    return manager;
}

std::string ZELInstallationManager::downloadDirectory() { return ZELRunFolder::path(); }

platform::OptionalError ZELInstallationManager::diskSpaceError(int64_t needed) {
    struct statvfs info;
    if (needed <= 0 || statvfs(downloadDirectory().c_str(), &info) != 0) return std::nullopt;
    const auto available = static_cast<unsigned long long>(info.f_bavail) * info.f_frsize;
    if (static_cast<unsigned long long>(needed) <= available) return std::nullopt;
    constexpr unsigned long long kMB = 1000 * 1000;
    const unsigned long long neededMB = (static_cast<unsigned long long>(needed) + kMB - 1) / kMB;
    return platform::Error(platform::kURLErrorDomain, platform::URLErrorCannotWriteToFile,
                           platform::format("Not enough disk space: %llu MB needed, %llu MB free.", neededMB,
                                            available / kMB));
}

std::string ZELInstallationManager::getInstallerPath() const {
    std::string path = downloadDirectory() + "tmp-" +
                       safeFileComponent(platform::lastPathComponentOfString(installUrlString(*feedData_)));
    platform::logFormat("path:%@", path);
    return path;
}

void ZELInstallationManager::removeInstallerIfExists() const {
    std::string path = getInstallerPath();
    auto& files = FileManager::defaultManager();
    if (files.fileExistsAtPath(path)) files.removeItemAtPath(path);
}

void ZELInstallationManager::startDownloadWithCompletion(DownloadCompletion completion, ProgressBlock progress) {
    removeInstallerIfExists();
    downloadCompletion_ = std::move(completion);
    progressBlock_ = std::move(progress);
    std::string urlString = installUrlString(*feedData_);
    platform::logFormat("Start download: %@", feedData_->platforms().darwin().installUrl());
    auto url = platform::URL::URLWithString(urlString);
    if (!url || url->scheme().empty() || url->host().empty()) {
        // A feed without a usable package address ends as a download error.
        reportCompletionWithURL(std::nullopt,
                                Error(platform::kURLErrorDomain, platform::URLErrorBadURL, "unsupported URL",
                                      platform::Value::dictionary({{"NSErrorFailingURLStringKey", urlString}})));
        return;
    }
    std::weak_ptr<ZELInstallationManager> weak = shared_from_this();
    std::lock_guard<std::mutex> lock(stallMutex_);
    stallWatch_ = std::make_unique<ZELStallWatch>(stallLimit(), [weak](bool stalled) {
        DispatchQueue::main().async([weak, stalled] {
            auto self = weak.lock();
            if (self && self->stallBlock_ && self->downloadCompletion_) self->stallBlock_(stalled);
        });
    });
    downloadTask_ = backgroundSession_->downloadTaskWithURL(*url);
    downloadTask_->resume();
}

void ZELInstallationManager::setStallLimitForTesting(std::chrono::milliseconds limit) { stallLimit() = limit; }

void ZELInstallationManager::didWriteData(platform::URLSession&, platform::URLSessionTask& task, int64_t,
                                          int64_t totalBytesWritten, int64_t totalBytesExpectedToWrite) {
    if (!spaceChecked_) {
        // The announced length must fit before it is fetched.
        spaceChecked_ = true;
        if (auto error = diskSpaceError(totalBytesExpectedToWrite - totalBytesWritten)) {
            task.cancel();
            reportCompletionWithURL(std::nullopt, error);
            return;
        }
    }
    {
        std::lock_guard<std::mutex> lock(stallMutex_);
        if (stallWatch_) stallWatch_->dataArrived();
    }
    auto self = shared_from_this();
    DispatchQueue::main().async([self, totalBytesWritten, totalBytesExpectedToWrite] {
        if (self->transferBlock_ && self->downloadCompletion_)
            self->transferBlock_(totalBytesWritten, totalBytesExpectedToWrite);
        if (self->progressBlock_)
            self->progressBlock_(static_cast<double>(totalBytesWritten) /
                                 static_cast<double>(totalBytesExpectedToWrite) * 100.0);
    });
}

void ZELInstallationManager::didFinishDownloadingToURL(platform::URLSession&, platform::URLSessionTask& task,
                                                       const std::string& location) {
    // An error page is not a package: nothing is moved into place or kept
    // (the session deletes its temporary file when this returns).
    if (auto response = task.response()) {
        if (auto answer = ZELServerAnswer::errorForResponse(*response)) {
            reportCompletionWithURL(std::nullopt, answer);
            return;
        }
    }
    std::string path = getInstallerPath();
    Error moveError;
    if (!FileManager::defaultManager().moveItemAtPath(location, path, &moveError)) {
        // A package that never reached its place is a failed download, not a success.
        reportCompletionWithURL(std::nullopt, moveError);
        return;
    }
    const auto& darwin = feedData_->platforms().darwin();
    if (auto rejected = ZELPackageVerifier::verifyPackage(path, darwin.sha256(), darwin.signature(),
                                                          ZELConstants::updatePublicKey())) {
        platform::logFormat("Package rejected: %@", rejected);
        FileManager::defaultManager().removeItemAtPath(path);
        reportCompletionWithURL(std::nullopt, rejected);
        return;
    }
    const platform::Value publisherKey = ZELConstants::updatePublicKey();
    if (publisherKey.isString() && !publisherKey.stringValue().empty())
        platform::systemLog("Package verified: signed by the publisher");
    reportCompletionWithURL(getInstallerPath(), std::nullopt);
}

void ZELInstallationManager::didCompleteWithError(platform::URLSession& session, platform::URLSessionTask&,
                                                  const OptionalError& error) {
    if (!error) return;
    // A dropped connection: the download goes on from the bytes already on
    // disk, a few times, while the server still sends the same package.
    constexpr int kMaxResumeAttempts = 3;
    const platform::Value resumeData = error->userInfo.objectForKey("NSURLSessionDownloadTaskResumeData");
    if (resumeData.isDictionary() && resumeAttempts_ < kMaxResumeAttempts) {
        resumeAttempts_++;
        platform::logFormat("Download interrupted (%@); resuming at %@ bytes", error->localizedDescription,
                            resumeData.objectForKey("offset"));
        downloadTask_ = session.downloadTaskWithResumeData(resumeData);
        downloadTask_->resume();
        return;
    }
    reportCompletionWithURL(std::nullopt, error);
    platform::logFormat("pkg failed with error %@", error);
}

void ZELInstallationManager::didBecomeInvalidWithError(platform::URLSession&, const OptionalError& error) {
    platform::logFormat("Failed with error: %@", error);
    reportCompletionWithURL(std::nullopt, error);
}

void ZELInstallationManager::reportCompletionWithURL(std::optional<std::string> location, OptionalError error) {
    auto self = shared_from_this();
    DispatchQueue::main().async([self, location = std::move(location), error = std::move(error)] {
        if (!self->downloadCompletion_) return;
        auto completion = std::move(self->downloadCompletion_);
        self->downloadCompletion_ = nullptr;
        completion(location, error);
        // Progress reports were queued before this one, so none can follow;
        // dropping the block also releases what it holds.
        self->progressBlock_ = nullptr;
        self->transferBlock_ = nullptr;
        self->stallBlock_ = nullptr;
        std::unique_ptr<ZELStallWatch> watch;
        {
            std::lock_guard<std::mutex> lock(self->stallMutex_);
            watch = std::move(self->stallWatch_);
        }
        watch.reset();  // joined outside the lock: its thread never takes it
        self->backgroundSession_->invalidateAndCancel();
    });
}
