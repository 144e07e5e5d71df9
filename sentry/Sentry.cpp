#include "sentry/Sentry.h"

#include <condition_variable>
#include <exception>
#include <mutex>

#include "Mayday/Recording/Mayday.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "sentry/MaydayInstallationSentry.h"
#include "sentry/SentryBreadcrumbs.h"
#include "sentry/SentryRequest.h"

using platform::Value;

namespace {

struct SentryState {
    std::once_flag installOnce;
    std::mutex mutex;  // installation and userInfo
    std::shared_ptr<MaydayInstallationSentry> installation;
    Value userInfo;  // a dictionary once reporting is on

    std::mutex pendingMutex;
    std::condition_variable pendingChanged;
    int pendingSends = 0;
};

SentryState& state() {
    // Never destroyed: a send may complete while the process exits.
    static SentryState* shared = new SentryState();
    return *shared;
}

void installOnce(const std::string& dsn) {
    std::string cleaned;
    try {
        cleaned = SentryRequest::cleanupDSN(Value(dsn));
    } catch (const std::exception&) {
        // Checked before anything is set up, so nothing half-made is left.
        platform::systemLog("Sentry: Invalid DSN");
        return;
    }
    auto installation = std::make_shared<MaydayInstallationSentry>();
    if (!Sentry::initializeBreadcrumbs()) {
        platform::systemLog("Sentry: Error initializing breadcrumbs. Crash logging disabled.");
        return;
    }
    installation->setDsn(cleaned);
    installation->setOnCrash(SentryBreadcrumbs::writeToReport);
    installation->install();
    {
        SentryState& shared = state();
        std::lock_guard<std::mutex> guard(shared.mutex);
        shared.userInfo = Value::dictionary();
        shared.installation = installation;
    }
    Sentry::sendQueuedEvents();
}

void sendFinished() {
    SentryState& shared = state();
    {
        std::lock_guard<std::mutex> guard(shared.pendingMutex);
        shared.pendingSends--;
    }
    shared.pendingChanged.notify_all();
    // A waiter on the main thread sleeps until the main queue has work.
    platform::DispatchQueue::main().async([] {});
}

}  // namespace

void Sentry::installWithDsn(const std::string& dsn) {
    std::call_once(state().installOnce, [&dsn] { installOnce(dsn); });
}

std::shared_ptr<MaydayInstallationSentry> Sentry::installation() {
    SentryState& shared = state();
    std::lock_guard<std::mutex> guard(shared.mutex);
    return shared.installation;
}

// ---- Breadcrumbs.

bool Sentry::ensureDirectoryExists(const std::string& path) {
    auto& files = platform::FileManager::defaultManager();
    if (files.fileExistsAtPath(path)) return true;
    platform::Error error;
    if (files.createDirectoryAtPath(path, true, &error)) return true;
    platform::logFormat("Sentry: Could not create directory %@: %@.", path, error);
    return false;
}

bool Sentry::initializeBreadcrumbs() {
    const Value name = platform::Bundle::mainBundle().objectForInfoDictionaryKey("CFBundleName");
    const std::string appName = name.isString() && !name.stringValue().empty() ? name.stringValue() : "Unknown";
    const std::string caches = platform::userCachesDirectory();
    if (caches.empty()) {
        platform::systemLog("Sentry: Could not locate cache directory path.");
        return false;
    }
    const std::string directory =
        platform::appendPathComponent(platform::appendPathComponent(caches, "Breadcrumbs"), appName);
    if (directory.empty()) {
        platform::systemLog("Sentry: Could not determine report files path.");
        return false;
    }
    if (!ensureDirectoryExists(directory)) return false;
    // A path too long for the crash-time buffer turns breadcrumbs off
    // (logged there); crash reports are still worth having without them.
    SentryBreadcrumbs::setDirectory(directory);
    return true;
}

void Sentry::addBreadcrumbOfCategory(const Value& category, const Value& level, const Value& message,
                                     const Value& data) {
    SentryBreadcrumbs::add(category, level, message, data);
}

void Sentry::logNavigationFrom(const Value& from, const Value& to, const Value& level) {
    Value data = Value::dictionary();
    data.setObject(to, "to");
    data.setObject(from, "from");
    addBreadcrumbOfCategory("navigation", level, Value(), data);
}

void Sentry::logUIEventOfType(const Value& type, const Value& target, const Value& level) {
    Value data = Value::dictionary();
    data.setObject(type, "type");
    data.setObject(target, "target");
    addBreadcrumbOfCategory("ui_event", level, Value(), data);
}

void Sentry::logMessage(const Value& message, const Value& level) {
    addBreadcrumbOfCategory("log", level, message, Value());
}

void Sentry::logDebug(const Value& message) { logMessage(message, "debug"); }
void Sentry::logInfo(const Value& message) { logMessage(message, "info"); }
void Sentry::logWarning(const Value& message) { logMessage(message, "warning"); }
void Sentry::logError(const Value& message) { logMessage(message, "error"); }
void Sentry::logFatal(const Value& message) { logMessage(message, "fatal"); }

// ---- Reports.

void Sentry::reportUserException(const Value& name, const Value& reason, const Value& platform,
                                 const Value& lineOfCode, const Value& stackTrace, bool terminateProgram) {
    if (!installation()) return;
    if (Mayday* mayday = Mayday::sharedInstance())
        mayday->reportUserException(name, reason, platform, lineOfCode, stackTrace, false, terminateProgram);
    sendQueuedEvents();
}

void Sentry::sendQueuedEvents() {
    std::shared_ptr<MaydayInstallationSentry> current = installation();
    if (!current) return;
    SentryState& shared = state();
    {
        std::lock_guard<std::mutex> guard(shared.pendingMutex);
        shared.pendingSends++;
    }
    std::weak_ptr<MaydayInstallationSentry> weak = current;
    current->sendAllReportsWithCompletion([weak](Value reports, bool completed, platform::OptionalError error) {
        // The refused ones are counted (and forgotten) whatever the outcome.
        auto owner = weak.lock();
        const size_t delivered = owner ? owner->deliveredReportCount(reports) : reports.count();
        if (completed) {
            platform::logFormat("Sentry: %lu reports sent", static_cast<unsigned long>(delivered));
        } else {
            platform::logFormat("Sentry: Failed to send reports: %@", error);
        }
        sendFinished();
    });
}

bool Sentry::waitForPendingSends(std::chrono::milliseconds limit) {
    SentryState& shared = state();
    auto nothingPending = [&shared] {
        std::lock_guard<std::mutex> guard(shared.pendingMutex);
        return shared.pendingSends == 0;
    };
    if (platform::MainLoop::isMainThread()) {
        // The reachability step runs on the main queue: keep it going.
        return platform::MainLoop::runUntil(nothingPending, limit);
    }
    std::unique_lock<std::mutex> lock(shared.pendingMutex);
    return shared.pendingChanged.wait_for(lock, limit, [&shared] { return shared.pendingSends == 0; });
}

// ---- User information.

void Sentry::addCrashUserInfoWithKey(const std::string& key, const Value& value) {
    SentryState& shared = state();
    // Held while the recorder takes the dictionary, so that concurrent
    // changes reach it in the order they were made.
    std::lock_guard<std::mutex> guard(shared.mutex);
    if (!shared.installation) return;
    shared.userInfo.setObject(value, key);
    if (Mayday* mayday = Mayday::sharedInstance()) mayday->setUserInfo(shared.userInfo.deepCopy());
}

void Sentry::setCrashUserID(const Value& identifier, const Value& name, const Value& email, const Value& extra) {
    Value user = extra.isDictionary() ? extra.deepCopy() : Value::dictionary();
    // An absent one is left out; the extra entries keep their own then.
    if (!identifier.isNil()) user.setObject(identifier, "id");
    if (!name.isNil()) user.setObject(name, "username");
    if (!email.isNil()) user.setObject(email, "email");
    addCrashUserInfoWithKey("sentry_user", user);
}

void Sentry::setCrashTags(const Value& tags) { addCrashUserInfoWithKey("tags", tags); }

void Sentry::setCrashExtra(const Value& extra) { addCrashUserInfoWithKey("extra", extra); }
