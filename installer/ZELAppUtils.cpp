#include "installer/ZELAppUtils.h"

#include <chrono>

#include "installer/ZELConstants.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Log.h"
#include "platform/ui/Application.h"
#include "platform/ui/Widgets.h"
#include "sentry/Sentry.h"

using platform::Value;

namespace {
std::string text(const Value& v) { return v.isString() ? v.stringValue() : v.description(); }
}  // namespace

void ZELAppUtils::quitApp() {
    static const int sender = 0;  // the class itself is the sender
    // The installer often quits within a second of starting, right after
    // launching the product: a start-up send still in flight gets a moment
    // to finish (its reports stay stored unless their requests completed).
    Sentry::waitForPendingSends(std::chrono::seconds(5));
    platform::Application::sharedApplication().terminate(&sender);
}

void ZELAppUtils::startAppWithBundleID(const Value& bundleId) {
    // The launch is asynchronous and its outcome is not examined.
    if (bundleId.isString()) platform::Workspace::sharedWorkspace().launchAppWithBundleIdentifier(bundleId.stringValue());
    quitApp();
}

void ZELAppUtils::closeRunningApplication(const platform::RunningApplication& application, const Value& productName) {
    platform::Alert alert;
    alert.setMessageText("Quit and continue installation");
    alert.setInformativeText(platform::format(
        "%@ is currently running. Please close the application to continue installation.", productName));
    alert.addButtonWithTitle("Quit & Install");
    alert.setAlertStyle(platform::AlertStyle::Informational);
    if (alert.runModal() == platform::kAlertFirstButtonReturn) application.terminate();
}

void ZELAppUtils::checkandCloseApplicationWithBundleID(const Value& bundleId, const Value& appName) {
    if (!bundleId.isString() || bundleId.stringValue().empty()) return;
    auto running = platform::Workspace::sharedWorkspace().runningApplicationsWithBundleIdentifier(bundleId.stringValue());
    if (!running.empty()) closeRunningApplication(running.front(), appName);
}

void ZELAppUtils::setupSentry() {
    Value dsn = ZELConstants::sentryURL();
    if (!dsn.isNil() && !(dsn.isString() && dsn.stringValue().empty())) Sentry::installWithDsn(text(dsn));
}
