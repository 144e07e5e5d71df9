#include "installer/ZELInstanceLock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"

namespace {

// A file name whatever the feed says.
std::string safeName(const std::string& key) {
    std::string name;
    for (char c : key.substr(0, 200)) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                           c == '-' || c == '_';
        name += plain ? c : '_';
    }
    if (name.empty() || name[0] == '.') name = "_" + name;
    return name;
}

}  // namespace

std::string ZELInstanceLock::lockPath(const std::string& productKey) {
    return platform::userCachesDirectory() + "/WebInstaller/" + safeName(productKey) + ".lock";
}

std::unique_ptr<ZELInstanceLock> ZELInstanceLock::acquire(const std::string& productKey) {
    platform::privateDirectory(platform::userCachesDirectory() + "/WebInstaller");
    const std::string path = lockPath(productKey);
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        platform::logFormat("Cannot make the installer lock %@", path);
        return std::unique_ptr<ZELInstanceLock>(new ZELInstanceLock(-1));
    }
    int result;
    do {
        result = flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        close(fd);
        return nullptr;
    }
    return std::unique_ptr<ZELInstanceLock>(new ZELInstanceLock(fd));
}

ZELInstanceLock::~ZELInstanceLock() {
    if (fd_ >= 0) close(fd_);
}
