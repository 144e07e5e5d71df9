// Child processes: stands in for NSTask (posix_spawn and waitpid).
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

#include "platform/foundation/Error.h"

namespace platform {

class Task {
public:
    void setLaunchPath(std::string path) { launchPath_ = std::move(path); }
    void setArguments(std::vector<std::string> arguments) { arguments_ = std::move(arguments); }
    const std::string& launchPath() const noexcept { return launchPath_; }
    const std::vector<std::string>& arguments() const noexcept { return arguments_; }

    // Starts the program with the inherited environment, standard streams
    // and working directory; no other descriptor of ours reaches it, and it
    // runs at the process's priority even when the calling thread runs at
    // another (a background queue's). False (and the error) when it cannot
    // start.
    bool launch(Error* error = nullptr);
    // Waits until the child has exited (retries on EINTR). Returns at once
    // when it was never launched.
    void waitUntilExit();
    bool isRunning() const;
    pid_t processIdentifier() const noexcept { return pid_; }
    // The exit status; for a child ended by a signal, 128 + the signal
    // number (a shell's convention); -1 before it ended or when it never ran.
    int terminationStatus() const noexcept { return status_; }

    ~Task();  // reaps a child that has already exited; never blocks

private:
    std::string launchPath_;
    std::vector<std::string> arguments_;
    pid_t pid_ = -1;
    int status_ = -1;
    bool reaped_ = false;
};

}  // namespace platform
