// File operations and the user's directories on POSIX calls.
#include "platform/foundation/FileManager.h"

#include "platform/foundation/UniqueFd.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "platform/foundation/FileManagerDetail.h"
#include "platform/foundation/URL.h"

namespace platform {

namespace {

// Foundation's file error codes (NSCocoaErrorDomain).
constexpr long kFileNoSuchFileError = 4;
constexpr long kFileReadUnknownError = 256;
constexpr long kFileReadNoPermissionError = 257;
constexpr long kFileReadNoSuchFileError = 260;
constexpr long kFileWriteUnknownError = 512;
constexpr long kFileWriteNoPermissionError = 513;
constexpr long kFileWriteFileExistsError = 516;
constexpr long kFileWriteOutOfSpaceError = 640;
constexpr long kFileWriteVolumeReadOnlyError = 642;


struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

// The first failure of a multi-step operation: errno and the path it hit.
struct Failure {
    int err = 0;
    std::string path;
    bool set(int e, const std::string& p) {
        if (err == 0) {
            err = e;
            path = p;
        }
        return false;
    }
};

long writeCode(int err) {
    switch (err) {
        case ENOENT: case ENOTDIR: return kFileNoSuchFileError;
        case EEXIST: case ENOTEMPTY: return kFileWriteFileExistsError;
        case EACCES: case EPERM: return kFileWriteNoPermissionError;
        case ENOSPC: case EDQUOT: return kFileWriteOutOfSpaceError;
        case EROFS: return kFileWriteVolumeReadOnlyError;
        default: return kFileWriteUnknownError;
    }
}

long readCode(int err) {
    switch (err) {
        case ENOENT: case ENOTDIR: return kFileReadNoSuchFileError;
        case EACCES: case EPERM: return kFileReadNoPermissionError;
        default: return kFileReadUnknownError;
    }
}

Error fileError(long code, int err, const std::string& action, const std::string& path) {
    Value info = Value::dictionary();
    info.setObject(Value(path), "NSFilePath");
    info.setObject(Value(err), "NSPOSIXErrorCode");
    return Error(kCocoaErrorDomain, code,
                 "Could not " + action + " \"" + path + "\": " + std::strerror(err), info);
}

bool report(Error* error, long code, int err, const std::string& action, const std::string& path) {
    if (error) *error = fileError(code, err, action, path);
    return false;
}

std::string stripTrailingSlashes(const std::string& path) {
    size_t end = path.find_last_not_of('/');
    if (end == std::string::npos) return path.empty() ? path : "/";
    return path.substr(0, end + 1);
}

// A name next to `path` that nobody else uses: "<dir>/.<name>.zel-<pid>-<n>".
std::string siblingTemporaryName(const std::string& path) {
    static std::atomic<unsigned> counter{0};
    std::string clean = stripTrailingSlashes(path);
    std::string dir = deletingLastPathComponent(clean);
    std::string base = lastPathComponentOfString(clean).substr(0, 200);  // stays below NAME_MAX
    return appendPathComponent(dir, "." + base + ".zel-" + std::to_string(::getpid()) + "-" +
                                        std::to_string(counter.fetch_add(1)));
}

// rename() that refuses to replace an existing destination.
int renameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return -1;
    // The file system lacks RENAME_NOREPLACE: check, then rename.
    struct stat st;
    if (::lstat(to.c_str(), &st) == 0) {
        errno = EEXIST;
        return -1;
    }
    return ::rename(from.c_str(), to.c_str());
}

bool writeAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

std::vector<std::string> listDirectory(int dirFd, int& err) {
    std::vector<std::string> names;
    // fdopendir takes the descriptor it is given; hand it a duplicate.
    int dupFd = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    if (dupFd < 0) {
        err = errno;
        return names;
    }
    DirPtr dir(::fdopendir(dupFd));
    if (!dir) {
        err = errno;
        ::close(dupFd);
        return names;
    }
    errno = 0;
    while (dirent* entry = ::readdir(dir.get())) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names.emplace_back(entry->d_name);
        }
        errno = 0;
    }
    err = errno;
    return names;
}

// Removes `name` under `parentFd`, depth first. Descriptors keep the walk
// inside the tree even if a directory is swapped for a symbolic link.
bool removeAt(int parentFd, const std::string& name, const std::string& fullPath, Failure& f) {
    struct stat st;
    if (::fstatat(parentFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return f.set(errno, fullPath);
    if (!S_ISDIR(st.st_mode)) {
        if (::unlinkat(parentFd, name.c_str(), 0) != 0) return f.set(errno, fullPath);
        return true;
    }
    {
        UniqueFd dirFd(::openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!dirFd) return f.set(errno, fullPath);
        int err = 0;
        std::vector<std::string> children = listDirectory(dirFd.get(), err);
        if (err != 0) return f.set(err, fullPath);
        for (const std::string& child : children) {
            if (!removeAt(dirFd.get(), child, appendPathComponent(fullPath, child), f)) return false;
        }
    }
    if (::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) != 0) return f.set(errno, fullPath);
    return true;
}

bool copyFileContents(const std::string& from, const std::string& to, const struct stat& st, Failure& f) {
    UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!in) return f.set(errno, from);
    UniqueFd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!out) return f.set(errno, to);
    std::vector<uint8_t> buffer(128 * 1024);
    for (;;) {
        ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return f.set(errno, from);
        }
        if (n == 0) break;
        if (!writeAll(out.get(), buffer.data(), static_cast<size_t>(n))) return f.set(errno, to);
    }
    if (::fchmod(out.get(), st.st_mode & 07777) != 0) return f.set(errno, to);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(out.get(), times);  // best effort, as cp -p
    if (!out.close()) return f.set(errno, to);
    return true;
}

// Copies `from` to `to` (which must not exist): files with their mode bits,
// directories recursively, symbolic links as links.
bool copyNode(const std::string& from, const std::string& to, Failure& f) {
    struct stat st;
    if (::lstat(from.c_str(), &st) != 0) return f.set(errno, from);
    if (S_ISLNK(st.st_mode)) {
        std::vector<char> target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1);
        ssize_t n = ::readlink(from.c_str(), target.data(), target.size());
        if (n < 0) return f.set(errno, from);
        if (::symlink(std::string(target.data(), static_cast<size_t>(n)).c_str(), to.c_str()) != 0) {
            return f.set(errno, to);
        }
        return true;
    }
    if (S_ISREG(st.st_mode)) return copyFileContents(from, to, st, f);
    if (!S_ISDIR(st.st_mode)) return f.set(ENOTSUP, from);  // fifos, sockets, devices

    if (::mkdir(to.c_str(), 0700) != 0) return f.set(errno, to);
    {
        UniqueFd dirFd(::open(from.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!dirFd) return f.set(errno, from);
        int err = 0;
        std::vector<std::string> children = listDirectory(dirFd.get(), err);
        if (err != 0) return f.set(err, from);
        for (const std::string& child : children) {
            if (!copyNode(appendPathComponent(from, child), appendPathComponent(to, child), f)) return false;
        }
    }
    // The final mode last, so read-only directories could be filled first.
    if (::chmod(to.c_str(), st.st_mode & 07777) != 0) return f.set(errno, to);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::utimensat(AT_FDCWD, to.c_str(), times, AT_SYMLINK_NOFOLLOW);
    return true;
}

void removeQuietly(const std::string& path) {
    Failure ignored;
    removeAt(AT_FDCWD, path, path, ignored);
}

// Copies under a temporary name next to `to`, then renames it into place,
// so `to` never shows a half copy.
bool copyIntoPlace(const std::string& from, const std::string& to, Error* error, const char* action) {
    struct stat st;
    if (::lstat(from.c_str(), &st) != 0) return report(error, readCode(errno), errno, action, from);
    if (::lstat(to.c_str(), &st) == 0) return report(error, kFileWriteFileExistsError, EEXIST, action, to);

    std::string temporary;
    Failure f;
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = siblingTemporaryName(to);
        f = Failure{};
        if (copyNode(from, temporary, f)) break;
        if (!(f.err == EEXIST && f.path == temporary)) {
            // Only a clash on the temporary name itself is worth another try.
            removeQuietly(temporary);
            if (f.path.compare(0, temporary.size(), temporary) == 0) {
                // Name the destination the caller asked for, not our temporary.
                return report(error, writeCode(f.err), f.err, action, to + f.path.substr(temporary.size()));
            }
            return report(error, readCode(f.err), f.err, action, f.path);
        }
    }
    if (f.err != 0) return report(error, writeCode(f.err), f.err, action, to);
    if (renameNoReplace(temporary, to) != 0) {
        int err = errno;
        removeQuietly(temporary);
        return report(error, writeCode(err), err, action, to);
    }
    return true;
}

std::optional<std::string> nonEmpty(const detail::EnvironmentGetter& env, const char* name) {
    std::optional<std::string> value = env(name);
    if (value && value->empty()) return std::nullopt;
    return value;
}

std::optional<std::string> absoluteEnvironmentPath(const detail::EnvironmentGetter& env, const char* name) {
    std::optional<std::string> value = nonEmpty(env, name);
    if (!value || (*value)[0] != '/') return std::nullopt;
    return stripTrailingSlashes(*value);
}

std::string withTrailingSlash(const std::string& path) {
    return path.empty() || path.back() != '/' ? path + "/" : path;
}

}  // namespace

// --- FileManager -----------------------------------------------------------

FileManager& FileManager::defaultManager() {
    static FileManager manager;
    return manager;
}

bool FileManager::fileExistsAtPath(const std::string& path) const {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

bool FileManager::fileExistsAtPath(const std::string& path, bool* isDirectory) const {
    struct stat st;
    bool exists = ::stat(path.c_str(), &st) == 0;
    if (isDirectory) *isDirectory = exists && S_ISDIR(st.st_mode);
    return exists;
}

bool FileManager::removeItemAtPath(const std::string& path, Error* error) const {
    if (path.empty()) return report(error, kFileNoSuchFileError, ENOENT, "remove", path);
    Failure f;
    if (!removeAt(AT_FDCWD, path, path, f)) return report(error, writeCode(f.err), f.err, "remove", f.path);
    return true;
}

bool FileManager::moveItemAtPath(const std::string& from, const std::string& to, Error* error) const {
    struct stat st;
    if (::lstat(from.c_str(), &st) != 0) return report(error, writeCode(errno), errno, "move", from);
    if (::lstat(to.c_str(), &st) == 0) return report(error, kFileWriteFileExistsError, EEXIST, "move", to);
    if (renameNoReplace(from, to) == 0) return true;
    if (errno != EXDEV) return report(error, writeCode(errno), errno, "move", to);

    // Another file system: copy, then delete the source. If the delete
    // fails the copy stays, and the error names the source.
    if (!copyIntoPlace(from, to, error, "move")) return false;
    Failure f;
    if (!removeAt(AT_FDCWD, from, from, f)) return report(error, writeCode(f.err), f.err, "move", f.path);
    return true;
}

bool FileManager::copyItemAtPath(const std::string& from, const std::string& to, Error* error) const {
    return copyIntoPlace(from, to, error, "copy");
}

bool FileManager::createDirectoryAtPath(const std::string& path, bool withIntermediateDirectories,
                                        Error* error, unsigned mode) const {
    if (path.empty()) return report(error, kFileNoSuchFileError, ENOENT, "create the directory", path);
    if (!withIntermediateDirectories) {
        if (::mkdir(path.c_str(), mode) != 0) {
            return report(error, writeCode(errno), errno, "create the directory", path);
        }
        return true;
    }
    bool isDirectory = false;
    if (fileExistsAtPath(path, &isDirectory) && isDirectory) return true;

    // Create every missing ancestor, shortest first.
    size_t pos = 0;
    for (;;) {
        pos = path.find('/', pos + 1);
        std::string prefix = path.substr(0, pos);
        if (!prefix.empty() && prefix.back() != '/') {
            if (::mkdir(prefix.c_str(), mode) != 0) {
                int err = errno;
                bool existingDirectory = false;
                if (err != EEXIST || !fileExistsAtPath(prefix, &existingDirectory) || !existingDirectory) {
                    return report(error, writeCode(err), err, "create the directory", prefix);
                }
            }
        }
        if (pos == std::string::npos) break;
    }
    return true;
}

std::vector<std::string> FileManager::contentsOfDirectoryAtPath(const std::string& path, Error* error) const {
    UniqueFd dirFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dirFd) {
        report(error, readCode(errno), errno, "list the directory", path);
        return {};
    }
    int err = 0;
    std::vector<std::string> names = listDirectory(dirFd.get(), err);
    if (err != 0) {
        report(error, readCode(err), err, "list the directory", path);
        return {};
    }
    std::sort(names.begin(), names.end());
    return names;
}

Value FileManager::contentsAtPath(const std::string& path) const {
    Value::Bytes bytes;
    int err = 0;
    if (!detail::readFileBytes(path, bytes, err)) return {};
    return Value::data(std::move(bytes));
}

bool FileManager::createFileAtPath(const std::string& path, const Value::Bytes& contents, Error* error) const {
    if (path.empty()) return report(error, kFileNoSuchFileError, ENOENT, "write", path);
    std::string temporary;
    UniqueFd fd;
    for (int attempt = 0; attempt < 100 && !fd; ++attempt) {
        temporary = siblingTemporaryName(path);
        fd = UniqueFd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666));
        if (!fd && errno != EEXIST) break;
    }
    if (!fd) return report(error, writeCode(errno), errno, "write", path);

    // fsync before the rename: after a power loss the file is either the
    // old one or the complete new one.
    if (!writeAll(fd.get(), contents.data(), contents.size()) || ::fsync(fd.get()) != 0 || !fd.close()) {
        int err = errno;
        ::unlink(temporary.c_str());
        return report(error, writeCode(err), err, "write", path);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        int err = errno;
        ::unlink(temporary.c_str());
        return report(error, writeCode(err), err, "write", path);
    }
    return true;
}

// --- directories -----------------------------------------------------------

namespace detail {

EnvironmentGetter processEnvironment() {
    return [](const char* name) -> std::optional<std::string> {
        const char* value = std::getenv(name);
        if (!value) return std::nullopt;
        return std::string(value);
    };
}

std::string homeDirectory(const EnvironmentGetter& env) {
    if (std::optional<std::string> home = nonEmpty(env, "HOME")) return *home;
    long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 16384);
    for (;;) {
        struct passwd entry;
        struct passwd* found = nullptr;
        int rc = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found);
        if (rc == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc == 0 && found && found->pw_dir && found->pw_dir[0] != '\0') return found->pw_dir;
        return "/";
    }
}

std::string userCachesDirectory(const EnvironmentGetter& env) {
    if (std::optional<std::string> dir = absoluteEnvironmentPath(env, "XDG_CACHE_HOME")) return *dir;
    return appendPathComponent(homeDirectory(env), ".cache");
}

std::string userDataDirectory(const EnvironmentGetter& env) {
    if (std::optional<std::string> dir = absoluteEnvironmentPath(env, "XDG_DATA_HOME")) return *dir;
    return appendPathComponent(homeDirectory(env), ".local/share");
}

bool isPrivateDirectory(const std::string& path, bool tighten) {
    // Work on a descriptor: what is checked is what gets tightened, even if
    // the name is swapped meanwhile; O_NOFOLLOW refuses a symbolic link.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return false;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) return false;
    if ((st.st_mode & 0777) == 0700) return true;
    if (!tighten) return false;
    return ::fchmod(fd.get(), 0700) == 0;
}

std::string chooseTemporaryDirectory(const EnvironmentGetter& env, const std::string& fallbackParent) {
    if (std::optional<std::string> tmpdir = absoluteEnvironmentPath(env, "TMPDIR")) {
        // The user's own choice is used as it is, never altered.
        if (isPrivateDirectory(*tmpdir, false)) return withTrailingSlash(*tmpdir);
    }
    if (std::optional<std::string> runtime = absoluteEnvironmentPath(env, "XDG_RUNTIME_DIR")) {
        std::string candidate = appendPathComponent(*runtime, "tmp");
        ::mkdir(candidate.c_str(), 0700);
        if (isPrivateDirectory(candidate, true)) return withTrailingSlash(candidate);
    }
    {
        std::string caches = userCachesDirectory(env);
        FileManager::defaultManager().createDirectoryAtPath(caches, true, nullptr, 0700);
        std::string candidate = appendPathComponent(caches, "tmp");
        ::mkdir(candidate.c_str(), 0700);
        if (isPrivateDirectory(candidate, true)) return withTrailingSlash(candidate);
    }
    std::string pattern = appendPathComponent(fallbackParent, "zel-XXXXXX");
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data())) return withTrailingSlash(buffer.data());
    // Nothing private could be made; the shared directory is all there is.
    return withTrailingSlash(fallbackParent);
}

bool readFileBytes(const std::string& path, std::vector<uint8_t>& bytes, int& err) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        err = errno;
        return false;
    }
    struct stat st;
    if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        bytes.reserve(static_cast<size_t>(st.st_size));
    }
    uint8_t buffer[64 * 1024];
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            err = errno;
            return false;
        }
        if (n == 0) return true;
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
}

}  // namespace detail

std::string homeDirectory() { return detail::homeDirectory(detail::processEnvironment()); }

std::string userCachesDirectory() { return detail::userCachesDirectory(detail::processEnvironment()); }

std::string userDataDirectory() { return detail::userDataDirectory(detail::processEnvironment()); }

std::optional<std::string> privateDirectory(const std::string& path) {
    FileManager::defaultManager().createDirectoryAtPath(path, true, nullptr, 0700);
    if (!detail::isPrivateDirectory(path, true)) return std::nullopt;
    return withTrailingSlash(path);
}

std::string temporaryDirectory() {
    static const std::string directory = detail::chooseTemporaryDirectory(detail::processEnvironment());
    return directory;
}

std::string appendPathComponent(const std::string& path, const std::string& component) {
    if (path.empty()) return component;
    if (component.empty()) return path;
    std::string head = stripTrailingSlashes(path);
    size_t start = component.find_first_not_of('/');
    if (start == std::string::npos) return head;
    if (head == "/") return "/" + component.substr(start);
    return head + "/" + component.substr(start);
}

std::string deletingLastPathComponent(const std::string& path) {
    std::string clean = stripTrailingSlashes(path);
    if (clean.empty()) return ".";
    if (clean == "/") return "/";
    size_t slash = clean.rfind('/');
    if (slash == std::string::npos) return ".";
    std::string head = stripTrailingSlashes(clean.substr(0, slash));
    return head.empty() ? "/" : head;
}

std::optional<std::string> realPath(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved) return std::nullopt;
    std::string result(resolved);
    free(resolved);
    return result;
}

}  // namespace platform
