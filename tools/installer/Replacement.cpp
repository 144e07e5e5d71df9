#include "Replacement.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>

#include "TestingHooks.h"

namespace installer {

namespace {

int exchangePaths(const std::string& a, const std::string& b) {
    if (testing::failureInjected("exchange")) {
        errno = EINVAL;
        return -1;
    }
    return renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
}

bool exists(const std::string& path) {
    struct stat st{};
    return lstat(path.c_str(), &st) == 0;
}

}  // namespace

Replacement::Replacement(const std::string& staged, const std::string& finalPath, StagingFolder& staging,
                         const Reporter& reporter)
    : staged_(staged), final_(finalPath), aside_(staging.path() + "/" + kSetAsideName), staging_(staging),
      reporter_(reporter) {
    if (!exists(final_)) {
        if (rename(staged_.c_str(), final_.c_str()) != 0)
            throw InstallError("Cannot move the application to " + final_ + ": " + errnoText(errno));
        kind_ = Kind::Fresh;
        return;
    }
    if (exchangePaths(staged_, final_) == 0) {
        kind_ = Kind::Exchanged;
        reporter_.log("Exchanged the installed copy for the new one");
        return;
    }
    if (errno != EINVAL && errno != ENOSYS)
        throw InstallError("Cannot replace the installed " + final_ + ": " + errnoText(errno));

    reporter_.log("The file system cannot exchange " + final_ + " with the new copy; moving the installed copy aside");
    if (rename(final_.c_str(), aside_.c_str()) != 0)
        throw InstallError("Cannot move the installed " + final_ + " aside: " + errnoText(errno));
    if (rename(staged_.c_str(), final_.c_str()) != 0) {
        const int err = errno;
        if (rename(aside_.c_str(), final_.c_str()) != 0) {
            staging_.keep();
            reporter_.error("Cannot put the previous copy back; it is in " + aside_ + ": " + errnoText(errno));
        }
        throw InstallError("Cannot move the application to " + final_ + ": " + errnoText(err));
    }
    kind_ = Kind::MovedAside;
}

Replacement::~Replacement() {
    if (kept_) return;
    const std::string failed = staging_.path() + "/failed";
    switch (kind_) {
    case Kind::Exchanged:
        // The new copy goes back into the staging folder, removed with it.
        if (exchangePaths(staged_, final_) != 0) {
            staging_.keep();
            reporter_.error("Cannot put the previous copy of " + final_ + " back; it is in " + staged_ + ": " +
                            errnoText(errno));
        }
        break;
    case Kind::MovedAside:
        if (rename(final_.c_str(), failed.c_str()) != 0 || rename(aside_.c_str(), final_.c_str()) != 0) {
            staging_.keep();
            reporter_.error("Cannot put the previous copy of " + final_ + " back; it is in " + aside_ + ": " +
                            errnoText(errno));
        }
        break;
    case Kind::Fresh:
        if (rename(final_.c_str(), failed.c_str()) != 0)
            reporter_.error("Cannot remove " + final_ + ": " + errnoText(errno));
        break;
    }
}

}  // namespace installer
