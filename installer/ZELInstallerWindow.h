// The installer's one window and its flow: feed -> download -> install ->
// launch or the finished state. Everything here runs on the main thread;
// the window reaches its controls only through the outlets.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "installer/ZELFeedData.h"
#include "installer/ZELInstallationManager.h"
#include "installer/ZELInstanceLock.h"
#include "platform/foundation/Error.h"
#include "platform/ui/Application.h"

class ZELInstallerWindow : public std::enable_shared_from_this<ZELInstallerWindow> {
public:
    explicit ZELInstallerWindow(const platform::WindowOutlets& outlets);

    // Starts the flow once the window is loaded.
    void awakeFromNib();
    // Quits with the unsupported alert when the HTTP layer is missing.
    void doCompatabilityCheck();
    void feedLoadedWithData(const std::shared_ptr<ZELFeedData>& data);
    void animateProgress(bool animate);
    void showError(const platform::OptionalError& error);
    void quitAction(const void* sender);
    platform::Value productNameFromData(const ZELFeedData& data) const;

    // Stand-in for NSClassFromString: whether a platform class exists.
    // Tests replace it to play a platform without the URL session API.
    static void setClassLookup(std::function<bool(const std::string&)> lookup);

    // Properties.
    const std::shared_ptr<ZELInstallationManager>& installManager() const noexcept { return installManager_; }
    void setInstallManager(std::shared_ptr<ZELInstallationManager> m) { installManager_ = std::move(m); }
    platform::ProgressIndicator* progressView() const noexcept { return outlets_.progressView; }
    void setProgressView(platform::ProgressIndicator* v) noexcept { outlets_.progressView = v; }
    platform::TextField* statusText() const noexcept { return outlets_.statusText; }
    void setStatusText(platform::TextField* v) noexcept { outlets_.statusText = v; }
    platform::ImageView* appIcon() const noexcept { return outlets_.appIcon; }
    void setAppIcon(platform::ImageView* v) noexcept { outlets_.appIcon = v; }
    platform::Button* quitButton() const noexcept { return outlets_.quitButton; }
    void setQuitButton(platform::Button* v) noexcept { outlets_.quitButton = v; }

private:
    void downloadFinished(const std::shared_ptr<ZELFeedData>& data, const platform::OptionalError& error);
    void installFinished(const std::shared_ptr<ZELFeedData>& data, const platform::OptionalError& error);
    void setStatus(const platform::Value& text);

    std::shared_ptr<ZELInstallationManager> installManager_;
    std::unique_ptr<ZELInstanceLock> instanceLock_;  // held from the download to the end of the run
    platform::WindowOutlets outlets_;
};
