// Application-wide operations of the installer: quitting, launching the
// installed product, closing a running copy of it, starting crash reporting.
#pragma once

#include <string>

#include "platform/foundation/Value.h"
#include "platform/process/Workspace.h"

class ZELAppUtils {
public:
    // Terminates the installer.
    static void quitApp();
    // Asks the workspace to launch the application, then quits.
    static void startAppWithBundleID(const platform::Value& bundleId);
    // The running-product alert; on confirmation asks that copy to quit.
    static void closeRunningApplication(const platform::RunningApplication& application,
                                        const platform::Value& productName);
    // Finds the first running copy and offers to close it.
    static void checkandCloseApplicationWithBundleID(const platform::Value& bundleId,
                                                     const platform::Value& appName);
    // Starts crash reporting when "SENTRY_URL" is set.
    static void setupSentry();
};
