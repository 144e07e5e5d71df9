// Launching and finding applications: stands in for NSWorkspace and
// NSRunningApplication.
//
// An application is known by its bundle identifier through the XDG desktop
// entry "<bundleId>.desktop" (looked up by GIO in the user's and the
// system's data directories). Its running copies are the current user's
// processes that run the installed product's own executable, the one inside
// its "~/Applications/<Name>.app" folder, and not merely whatever program
// the entry happens to start first (a shell, env).
#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/UniqueFd.h"

namespace platform {

// One running process, held by a process handle (pidfd) taken when it was
// found: the handle keeps naming that process, so whatever gets its pid
// after it ended is never mistaken for it.
class RunningApplication {
public:
    // Takes the handle of `pid` now; without one (no such process) the
    // application counts as terminated.
    explicit RunningApplication(pid_t pid, std::string executable = {});
    RunningApplication(pid_t pid, std::string executable, UniqueFd handle)
        : pid_(pid), executable_(std::move(executable)), handle_(std::move(handle)) {}

    pid_t processIdentifier() const noexcept { return pid_; }
    // The product's executable it runs (for a script, the script).
    const std::string& executablePath() const noexcept { return executable_; }
    // Asks the application to quit (SIGTERM) through the handle; answers
    // whether the request was sent. Nothing is sent once it has ended.
    bool terminate() const;
    // Whether the process has ended (exited, or was never found).
    bool isTerminated() const;

private:
    pid_t pid_;
    std::string executable_;
    UniqueFd handle_;
};

class Workspace {
public:
    static Workspace& sharedWorkspace();

    // Launches the desktop entry "<bundleId>.desktop" asynchronously (the
    // call does not wait for the application). False and the error when
    // there is no such entry or it cannot be started.
    bool launchAppWithBundleIdentifier(const std::string& bundleId, Error* error = nullptr);

    // The running copies of the installed application, ordered by process
    // id: processes of our real user id that run its executable, or, for a
    // script, its interpreter with the script as the argument the kernel
    // gives it. The calling process is never listed. Empty when the
    // application is not installed.
    std::vector<RunningApplication> runningApplicationsWithBundleIdentifier(const std::string& bundleId);

    // The absolute path of the program the entry runs (its Exec's first
    // word, or TryExec), when the entry exists.
    std::optional<std::string> executableForBundleIdentifier(const std::string& bundleId);

    // The installed application's own executable (real path): the entry's
    // TryExec or one of its Exec words must name a file inside a
    // "<Name>.app" folder of ~/Applications whose Info.plist carries this
    // identifier; the executable is that folder's CFBundleExecutable.
    std::optional<std::string> installedExecutableForBundleIdentifier(const std::string& bundleId);
};

}  // namespace platform
