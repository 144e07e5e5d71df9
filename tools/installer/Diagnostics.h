// How the installer tells the user what it does and why it stopped.
#pragma once

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace installer {

// A failure that ends the install; the message is shown to the user.
struct InstallError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

inline std::string errnoText(int err) { return std::strerror(err); }

class Reporter {
public:
    bool verbose = false;
    bool dumplog = false;

    void progress(const std::string& line) const {
        if (!verbose) return;
        std::fputs(("installer: " + line + "\n").c_str(), stdout);
        std::fflush(stdout);
    }
    void log(const std::string& line) const {
        if (!dumplog) return;
        std::fputs(("installer[" + std::to_string(getpid()) + "] <Debug>: " + line + "\n").c_str(), stderr);
    }
    void error(const std::string& message) const {
        std::fputs(("installer: Error - " + message + "\n").c_str(), stderr);
    }
};

}  // namespace installer
