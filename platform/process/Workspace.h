// Launching and finding applications: stands in for NSWorkspace and
// NSRunningApplication.
//
// An application is known by its bundle identifier through the XDG desktop
// entry "<bundleId>.desktop" (looked up by GIO in the user's and the
// system's data directories). Its running copies are the processes whose
// executable is the entry's program.
#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "platform/foundation/Error.h"

namespace platform {

class RunningApplication {
public:
    explicit RunningApplication(pid_t pid, std::string executable = {})
        : pid_(pid), executable_(std::move(executable)) {}
    pid_t processIdentifier() const noexcept { return pid_; }
    const std::string& executablePath() const noexcept { return executable_; }
    // Asks the application to quit (SIGTERM); answers whether the request was sent.
    bool terminate() const;

private:
    pid_t pid_;
    std::string executable_;
};

class Workspace {
public:
    static Workspace& sharedWorkspace();

    // Launches the desktop entry "<bundleId>.desktop" asynchronously (the
    // call does not wait for the application). False and the error when
    // there is no such entry or it cannot be started.
    bool launchAppWithBundleIdentifier(const std::string& bundleId, Error* error = nullptr);

    // The running copies of the application, ordered by process id; the
    // calling process is never listed. Empty when there is no entry.
    std::vector<RunningApplication> runningApplicationsWithBundleIdentifier(const std::string& bundleId);

    // The absolute path of the program the entry runs (its Exec's first
    // word, or TryExec), when the entry exists.
    std::optional<std::string> executableForBundleIdentifier(const std::string& bundleId);
};

}  // namespace platform
