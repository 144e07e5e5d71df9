// A private X server for tests that open real windows.
#pragma once

#include <string>
#include <sys/types.h>

namespace zeltest {

// The full path of `program` on $PATH, or empty.
std::string findInPath(const std::string& program);

// A private Xvfb display (-displayfd, no TCP), stopped when this goes away.
class Xvfb {
public:
    // Starts `program`; error() tells why when it did not come up.
    explicit Xvfb(const std::string& program);
    ~Xvfb();
    Xvfb(const Xvfb&) = delete;
    Xvfb& operator=(const Xvfb&) = delete;

    const std::string& display() const { return display_; }
    const std::string& error() const { return error_; }

private:
    pid_t pid_ = -1;
    std::string display_;
    std::string error_;
};

}  // namespace zeltest
