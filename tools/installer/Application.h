// The application a package brings, as its Info.plist describes it.
#pragma once

#include <string>

#include "Diagnostics.h"

namespace installer {

struct Application {
    std::string identifier;
    std::string executable;  // file name inside the .app folder
    std::string name;
    std::string version;
    std::string iconFile;  // relative to the .app folder; empty when none
};

// Reads and checks the Info.plist and the executable of the unpacked
// application folder `appDir`.
Application validate(const std::string& appDir, const Reporter& reporter);

}  // namespace installer
