// Putting a new copy of an application in the place of the installed one,
// and undoing that when a later step fails.
#pragma once

#include <string>

#include "Diagnostics.h"
#include "StagingFolder.h"

namespace installer {

// Renames the staged copy to `finalPath`. An installed copy there is
// exchanged with it in one step, so the application is never missing from
// its place; the installed copy then lies in the staging folder until the
// folder is removed. Only where the file system cannot exchange does the
// installed copy move aside first.
class Replacement {
public:
    Replacement(const std::string& staged, const std::string& finalPath, StagingFolder& staging,
                const Reporter& reporter);
    // Unless kept, puts back what was there before. When the previous copy
    // cannot be put back, the staging folder holding it is kept.
    ~Replacement();
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;

    void keep() noexcept { kept_ = true; }

private:
    enum class Kind { Fresh, Exchanged, MovedAside };

    std::string staged_;
    std::string final_;
    std::string aside_;
    StagingFolder& staging_;
    const Reporter& reporter_;
    Kind kind_ = Kind::Fresh;
    bool kept_ = false;
};

}  // namespace installer
