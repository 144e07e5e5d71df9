#include "StagingFolder.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "TestingHooks.h"

namespace installer {

namespace {

constexpr const char* kPrefix = ".install-";
constexpr size_t kNameLength = 15;  // the prefix and mkdtemp's six characters

struct DirectoryClose {
    void operator()(DIR* dir) const { closedir(dir); }
};
using DirectoryStream = std::unique_ptr<DIR, DirectoryClose>;

std::string failure(const std::string& shown, int err) { return shown + ": " + errnoText(err); }

// The names in the folder open as `dirFd`, read in full before anything is
// removed, so no removal can disturb the reading.
std::optional<std::vector<std::string>> namesIn(int dirFd) {
    UniqueFd copy(dup(dirFd));  // the stream owns and closes its descriptor
    if (!copy) return std::nullopt;
    DirectoryStream stream(fdopendir(copy.get()));
    if (!stream) return std::nullopt;
    copy.release();
    std::vector<std::string> names;
    errno = 0;
    while (dirent* item = readdir(stream.get())) {
        const std::string name = item->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    if (errno != 0) return std::nullopt;
    return names;
}

// Removes `name` in the folder open as `parentFd`; `shown` is its full path.
std::optional<std::string> removeAt(int parentFd, const std::string& name, const std::string& shown) {
    struct stat st{};
    if (fstatat(parentFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? std::nullopt : std::optional(failure(shown, errno));
    if (!S_ISDIR(st.st_mode)) {
        if (testing::failureInjected("remove")) return failure(shown, EPERM);
        if (unlinkat(parentFd, name.c_str(), 0) == 0 || errno == ENOENT) return std::nullopt;
        return failure(shown, errno);
    }
    // Without write and search access its entries cannot go; when that
    // cannot be fixed, opening or removing them says why.
    if ((st.st_mode & S_IRWXU) != S_IRWXU && st.st_uid == geteuid())
        (void)fchmodat(parentFd, name.c_str(), (st.st_mode & 07777) | S_IRWXU, 0);

    std::optional<std::string> first;
    {
        const UniqueFd fd(openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd) return failure(shown, errno);
        const std::optional<std::vector<std::string>> names = namesIn(fd.get());
        if (!names) return failure(shown, errno);
        for (const std::string& child : *names) {
            std::optional<std::string> problem = removeAt(fd.get(), child, shown + "/" + child);
            if (problem && !first) first = std::move(problem);
        }
    }
    if (unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT) return std::nullopt;
    return first ? first : failure(shown, errno);
}

// The lock a running install holds on its staging folder; another process
// gets it only once that install has ended, however it ended.
UniqueFd lockFolder(const std::string& path) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd && flock(fd.get(), LOCK_EX | LOCK_NB) != 0) fd.reset();
    return fd;
}

}  // namespace

std::optional<std::string> removeTree(const std::string& path) { return removeAt(AT_FDCWD, path, path); }

void removeAbandonedStagingFolders(const std::string& parent, const Reporter& reporter) {
    const UniqueFd parentFd(open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const std::optional<std::vector<std::string>> names = parentFd ? namesIn(parentFd.get()) : std::nullopt;
    if (!names) return;
    for (const std::string& name : *names) {
        if (name.size() != kNameLength || name.rfind(kPrefix, 0) != 0) continue;
        const std::string path = parent + "/" + name;
        const UniqueFd lock = lockFolder(path);
        if (!lock) continue;  // still in use, or not a folder of ours
        struct stat st{};
        if (fstat(lock.get(), &st) != 0 || st.st_uid != geteuid()) continue;
        // The only copy of an application, set aside by an install killed
        // between its two renames, is left for the user to recover.
        if (fstatat(lock.get(), kSetAsideName, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            reporter.log("Leaving " + path + ": it holds a previous copy of an application");
            continue;
        }
        if (const std::optional<std::string> remains = removeTree(path))
            reporter.log("Cannot remove the abandoned " + path + ": " + *remains);
        else
            reporter.log("Removed the abandoned " + path);
    }
}

StagingFolder::StagingFolder(const std::string& parent, const Reporter& reporter) : reporter_(reporter) {
    // Another install clearing abandoned folders may take a new one before
    // its lock is held; then a fresh one is made.
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::string pattern = parent + "/" + kPrefix + "XXXXXX";
        if (!mkdtemp(pattern.data()))
            throw InstallError("Cannot create a folder in " + parent + ": " + errnoText(errno));
        lock_ = lockFolder(pattern);
        struct stat st{};
        if (lock_ && fstat(lock_.get(), &st) == 0 && st.st_nlink > 0) {
            path_ = pattern;
            return;
        }
        lock_.reset();
    }
    throw InstallError("Cannot create a folder of our own in " + parent + ".");
}

StagingFolder::~StagingFolder() {
    if (done_) return;
    if (const std::optional<std::string> remains = remove())
        reporter_.error("Cannot remove the staging folder " + path_ + ": " + *remains);
}

std::optional<std::string> StagingFolder::remove() {
    done_ = true;
    std::optional<std::string> remains = removeTree(path_);
    if (!remains) reporter_.log("Removed " + path_);
    return remains;
}

}  // namespace installer
