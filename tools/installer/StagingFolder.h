// The private staging folders in ~/Applications: one per running install,
// locked while it runs, and the removal of what they hold.
#pragma once

#include <optional>
#include <string>

#include "Diagnostics.h"
#include "platform/foundation/UniqueFd.h"

namespace installer {

using platform::UniqueFd;

// Where the installed copy waits in the staging folder while the new one is
// renamed into place, on file systems that cannot exchange the two at once.
constexpr const char* kSetAsideName = "previous";

// Removes `path` and everything in it, never following a symbolic link.
// Folders of our own are made writable first, since a product may have made
// some of its folders read-only. Answers what remains and why, if anything.
std::optional<std::string> removeTree(const std::string& path);

// Removes the staging folders in `parent` that no running install holds: an
// install that was killed leaves its folder behind, sometimes with the
// previous copy of an application in it.
void removeAbandonedStagingFolders(const std::string& parent, const Reporter& reporter);

// A new staging folder `.install-XXXXXX` next to the final location (same
// file system, so the final step is a rename), locked until it is removed.
class StagingFolder {
public:
    StagingFolder(const std::string& parent, const Reporter& reporter);
    // Removes the folder unless remove() or keep() came first; what cannot
    // be removed is reported.
    ~StagingFolder();
    StagingFolder(const StagingFolder&) = delete;
    StagingFolder& operator=(const StagingFolder&) = delete;

    const std::string& path() const noexcept { return path_; }
    // Removes the folder now; answers what remains, if anything.
    std::optional<std::string> remove();
    // Leaves the folder where it is: it holds something that must not be lost.
    void keep() noexcept { done_ = true; }

private:
    std::string path_;
    UniqueFd lock_;
    const Reporter& reporter_;
    bool done_ = false;
};

}  // namespace installer
