// Runs a program for a test: its own environment, standard input from
// /dev/null, standard output and error captured, and a time limit after
// which it is killed.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zeltest {

struct ChildResult {
    bool exited = false;     // ended by exit()
    int exitStatus = -1;     // when exited
    int signal = 0;          // when killed by a signal
    bool timedOut = false;   // killed for running too long
    std::string out, err;
};

// The value that removes a variable from a child's environment.
inline constexpr const char* kUnset = "\x01unset";

// `environment` is added to (and overrides) the test's own environment.
ChildResult runChild(const std::vector<std::string>& argv,
                     const std::map<std::string, std::string>& environment = {},
                     std::chrono::milliseconds limit = std::chrono::seconds(60));

// Starts a program in the background (output discarded); the caller ends it.
pid_t startChild(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment = {});

}  // namespace zeltest
