// The application's entry to crash reporting: sets up the Sentry
// installation on top of the crash recorder once per process, keeps
// breadcrumbs of what the application did (the newest of them go into a
// crash report), forwards user information to the report, and sends the
// reports of earlier runs.
//
// Nothing here throws or holds the caller up: an unusable DSN or breadcrumb
// directory leaves reporting off (logged), and sends run asynchronously.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/foundation/Value.h"

class MaydayInstallationSentry;

class Sentry {
public:
    // Sets up crash reporting for the DSN, once per process; later calls do
    // nothing, whatever DSN they pass. An invalid DSN is logged as
    // "Sentry: Invalid DSN" (never the DSN itself) and leaves reporting off.
    static void installWithDsn(const std::string& dsn);
    // The installation once reporting is on; null before, or when it stayed off.
    static std::shared_ptr<MaydayInstallationSentry> installation();

    // Creates the directory (with its parents) when nothing is at `path`.
    static bool ensureDirectoryExists(const std::string& path);
    // Points the breadcrumb store at <user caches>/Breadcrumbs/<CFBundleName,
    // or "Unknown">, creating it. False (logged) when it cannot be used.
    static bool initializeBreadcrumbs();

    // Writes the next breadcrumb; every argument may be nil. Dropped while
    // the store is not set up.
    static void addBreadcrumbOfCategory(const platform::Value& category, const platform::Value& level,
                                        const platform::Value& message, const platform::Value& data);
    static void logNavigationFrom(const platform::Value& from, const platform::Value& to, const platform::Value& level);
    static void logUIEventOfType(const platform::Value& type, const platform::Value& target,
                                 const platform::Value& level);
    static void logMessage(const platform::Value& message, const platform::Value& level);
    static void logDebug(const platform::Value& message);
    static void logInfo(const platform::Value& message);
    static void logWarning(const platform::Value& message);
    static void logError(const platform::Value& message);
    static void logFatal(const platform::Value& message);

    // Hands the exception to the crash recorder, then sends (unless the
    // program was terminated).
    static void reportUserException(const platform::Value& name, const platform::Value& reason,
                                    const platform::Value& platform, const platform::Value& lineOfCode,
                                    const platform::Value& stackTrace, bool terminateProgram);
    // Sends the stored reports; logs "Sentry: %lu reports sent" (delivered
    // ones only) or "Sentry: Failed to send reports: %@".
    static void sendQueuedEvents();
    // Waits until no send is in flight, at most `limit`; on the main thread
    // the main queue is drained meanwhile (the send needs it). Answers
    // whether nothing was left in flight. A report whose request did not
    // complete stays stored.
    static bool waitForPendingSends(std::chrono::milliseconds limit);

    // User information for the crash report ("user"); nothing before
    // reporting is on. A nil value removes the key.
    static void addCrashUserInfoWithKey(const std::string& key, const platform::Value& value);
    static void setCrashUserID(const platform::Value& identifier, const platform::Value& name,
                               const platform::Value& email, const platform::Value& extra);
    static void setCrashTags(const platform::Value& tags);
    static void setCrashExtra(const platform::Value& extra);
};
