#include "installer/ZELInstallerWindow.h"

#include <curl/curl.h>
#include <cstring>

#include "installer/ZELAppUtils.h"
#include "installer/ZELConstants.h"
#include "installer/ZELFeedLoader.h"
#include "installer/ZELStrings.h"
#include "installer/ZELTransferMeter.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Log.h"
#include "platform/ui/Widgets.h"
#include "sentry/Sentry.h"

using platform::Application;
using platform::OptionalError;
using platform::Value;

namespace {

std::string text(const Value& v) { return v.isString() ? v.stringValue() : (v.isNil() ? std::string() : v.description()); }

std::function<bool(const std::string&)>& classLookup() {
    static std::function<bool(const std::string&)> lookup = [](const std::string& name) {
        // The URL session API is there when the HTTP library speaks HTTP.
        if (name != "NSURLSession") return false;
        const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
        for (const char* const* p = info ? info->protocols : nullptr; p && *p; ++p)
            if (std::strcmp(*p, "http") == 0) return true;
        return false;
    };
    return lookup;
}

}  // namespace

ZELInstallerWindow::ZELInstallerWindow(const platform::WindowOutlets& outlets) : outlets_(outlets) {
    if (outlets_.quitButton) {
        // The quit button's action; the window lives as long as the run.
        outlets_.quitButton->setAction([this] { quitAction(outlets_.quitButton); });
    }
}

void ZELInstallerWindow::setClassLookup(std::function<bool(const std::string&)> lookup) {
    classLookup() = std::move(lookup);
}

void ZELInstallerWindow::setStatus(const Value& value) {
    if (outlets_.statusText) outlets_.statusText->setStringValue(text(value));
}

void ZELInstallerWindow::awakeFromNib() {
    ZELAppUtils::setupSentry();
    doCompatabilityCheck();
    if (Application::sharedApplication().isTerminating()) return;  // the unsupported alert quit the program

    auto& strings = ZELStrings::sharedInstance();
    setStatus(strings.loadingString());

    auto feedURL = ZELConstants::getFeedURL();
    Value iconName = ZELConstants::appIcon();
    if (outlets_.appIcon) {
        std::optional<std::string> image;
        if (iconName.isString() && !iconName.stringValue().empty())
            image = platform::Bundle::mainBundle().pathForImageResource(iconName.stringValue());
        outlets_.appIcon->setImage(image);
    }

    auto self = shared_from_this();
    ZELFeedLoader::loadFeedFromURL(feedURL, [self](std::shared_ptr<ZELFeedData> data, OptionalError error) {
        if (data) {
            self->feedLoadedWithData(data);
        } else {
            Sentry::logError(platform::format("Could not load feed with error: %@", error));
            self->showError(error);
        }
    });
}

void ZELInstallerWindow::doCompatabilityCheck() {
    if (classLookup()("NSURLSession")) return;
    auto& strings = ZELStrings::sharedInstance();
    auto alert = platform::Alert::legacyAlert(text(strings.alertTitle()), text(strings.alertOKButton()), "", "",
                                              platform::format("%@", strings.unsupportedBody()));
    Application::sharedApplication().setExitStatus(1);
    alert.runModal();
    ZELAppUtils::quitApp();
}

Value ZELInstallerWindow::productNameFromData(const ZELFeedData& data) const {
    const auto& darwin = data.platforms().darwin();
    if (darwin.options().displayVersion())
        return Value(platform::format("%@ - %@", darwin.product(), darwin.version()));
    return darwin.product();
}

void ZELInstallerWindow::feedLoadedWithData(const std::shared_ptr<ZELFeedData>& data) {
    platform::logFormat("product: %@", productNameFromData(*data));
    const auto& darwin = data->platforms().darwin();
    const std::string productKey = darwin.bundleId().isString() && !darwin.bundleId().stringValue().empty()
                                       ? darwin.bundleId().stringValue()
                                       : text(darwin.product());
    instanceLock_ = ZELInstanceLock::acquire(productKey);
    if (!instanceLock_) {
        showError(platform::Error("ZELInstallerErrorDomain", 1,
                                  platform::format("Another installer of %@ is already running.", darwin.product())));
        return;
    }
    setStatus(ZELStrings::sharedInstance().downloadingStringWithProduct(productNameFromData(*data)));
    Application::sharedApplication().activateIgnoringOtherApps(true);

    installManager_ = ZELInstallationManager::initWithFeedData(data);
    auto self = shared_from_this();
    auto meter = std::make_shared<ZELTransferMeter>();
    const Value downloading = ZELStrings::sharedInstance().downloadingStringWithProduct(productNameFromData(*data));
    installManager_->setTransferBlock([self, meter](int64_t written, int64_t expected) {
        auto* progress = self->outlets_.progressView;
        if (!progress) return;
        if (expected < 0 && !progress->isIndeterminate()) {
            // No length: the bar pulses and the bytes received are shown.
            progress->setIndeterminate(true);
            progress->startAnimation();
        }
        progress->setDetailText(meter->detailFor(written, expected, ZELTransferMeter::Clock::now()));
    });
    installManager_->setStallBlock([self, downloading](bool stalled) {
        self->setStatus(stalled ? Value("Waiting for the server\u2026") : downloading);
    });
    installManager_->startDownloadWithCompletion(
        [self, data](std::optional<std::string>, OptionalError error) { self->downloadFinished(data, error); },
        [self](double percentage) {
            platform::logFormat("Progress is %.2f", percentage);
            if (self->outlets_.progressView) {
                self->outlets_.progressView->setDoubleValue(percentage);
                self->outlets_.progressView->updateLayer();
            }
        });
}

void ZELInstallerWindow::downloadFinished(const std::shared_ptr<ZELFeedData>& data, const OptionalError& error) {
    platform::systemLog("Downloaded");
    if (error) {
        Sentry::logError(platform::format("Could not download installer with error: %@", error));
        showError(error);
        return;
    }
    if (outlets_.progressView) outlets_.progressView->setDetailText("");
    animateProgress(true);
    const auto& darwin = data->platforms().darwin();
    setStatus(ZELStrings::sharedInstance().installingStringWithProduct(darwin.product()));
    // Closing the window now would leave the package installer running
    // unwatched: the install finishes first, then the wish is honoured.
    Application::sharedApplication().setTerminationDeferred(true);
    auto self = shared_from_this();
    installManager_->startInstallWithCompletion(
        [self, data](OptionalError installError) { self->installFinished(data, installError); });
}

void ZELInstallerWindow::installFinished(const std::shared_ptr<ZELFeedData>& data, const OptionalError& error) {
    auto& app = Application::sharedApplication();
    app.setTerminationDeferred(false);
    if (app.isTerminationRequested()) {
        // The window was closed during the install: nothing more to show.
        if (error) {
            Sentry::logError(platform::format("Could not install with error: %@", error));
            app.setExitStatus(1);
        }
        platform::logFormat(error ? "Install failed after the window was closed"
                                  : "Install complete after the window was closed");
        ZELAppUtils::quitApp();
        return;
    }
    app.requestUserAttention(platform::kCriticalRequest);
    if (error) {
        Sentry::logError(platform::format("Could not install with error: %@", error));
        showError(error);
        return;
    }
    app.requestUserAttention(platform::kCriticalRequest);
    const auto& darwin = data->platforms().darwin();
    auto& strings = ZELStrings::sharedInstance();
    if (darwin.options().autoLaunch()) {
        setStatus(strings.launchingStringWithProduct(darwin.product()));
        ZELAppUtils::startAppWithBundleID(darwin.bundleId());
    } else {
        setStatus(strings.installedStringWithProduct(darwin.product()));
        if (outlets_.quitButton) outlets_.quitButton->setTitle(text(strings.quitButtonTitle()));
        if (outlets_.progressView) outlets_.progressView->setHidden(true);
        if (outlets_.quitButton) outlets_.quitButton->setHidden(false);
    }
    platform::systemLog("Install complete");
}

void ZELInstallerWindow::animateProgress(bool animate) {
    auto* progress = outlets_.progressView;
    if (!progress) return;
    progress->setIndeterminate(true);
    progress->setUsesThreadedAnimation(true);
    if (animate)
        progress->startAnimation();
    else
        progress->stopAnimation();
}

void ZELInstallerWindow::showError(const OptionalError& error) {
    auto& strings = ZELStrings::sharedInstance();
    platform::Alert alert;
    alert.setMessageText(text(strings.errorTitle()));
    alert.setInformativeText(text(strings.errorBodyWithError(error)));
    alert.addButtonWithTitle(text(strings.errorQuitButton()));
    alert.setAlertStyle(platform::AlertStyle::Warning);
    // However the alert goes away, the run has failed.
    Application::sharedApplication().setExitStatus(1);
    if (alert.runModal() == platform::kAlertFirstButtonReturn) ZELAppUtils::quitApp();
}

void ZELInstallerWindow::quitAction(const void*) { ZELAppUtils::quitApp(); }
