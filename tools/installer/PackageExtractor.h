// Unpacking a package into the staging folder, every member checked first.
#pragma once

#include <string>
#include <sys/types.h>

#include "Diagnostics.h"

namespace installer {

// The permission bits a member of type `type` (AE_IFDIR, AE_IFREG) is
// installed with: nothing another user may write, no set-ID or sticky bits;
// the owner keeps read and write access (folders: search too), so a later
// update can replace the application.
mode_t installedPermissions(mode_t type, mode_t permissions);

// Unpacks the package into `staging` and answers the application folder's
// name. Refuses the whole package as soon as one member is not allowed.
std::string extractPackage(const std::string& packagePath, const std::string& staging, const Reporter& reporter);

}  // namespace installer
