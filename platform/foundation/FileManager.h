// Files and the user's directories: stands in for NSFileManager,
// NSTemporaryDirectory, NSHomeDirectory and NSSearchPathForDirectoriesInDomains.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace platform {

class FileManager {
public:
    static FileManager& defaultManager();

    bool fileExistsAtPath(const std::string& path) const;
    bool fileExistsAtPath(const std::string& path, bool* isDirectory) const;
    // Removes a file, or a directory with everything in it. Errors in the
    // Cocoa domain with the POSIX reason in the description.
    bool removeItemAtPath(const std::string& path, Error* error = nullptr) const;
    // Moves a file or directory; fails when something exists at `to`
    // already (as NSFileManager does). Across file systems it copies and
    // then deletes the source, keeping the mode bits.
    bool moveItemAtPath(const std::string& from, const std::string& to, Error* error = nullptr) const;
    bool copyItemAtPath(const std::string& from, const std::string& to, Error* error = nullptr) const;
    bool createDirectoryAtPath(const std::string& path, bool withIntermediateDirectories,
                               Error* error = nullptr, unsigned mode = 0755) const;
    // Names (not paths) of the entries of a directory, sorted; empty on failure.
    std::vector<std::string> contentsOfDirectoryAtPath(const std::string& path, Error* error = nullptr) const;
    // The whole file; nil on failure.
    Value contentsAtPath(const std::string& path) const;
    // Writes atomically (a temporary file in the same directory, then rename).
    bool createFileAtPath(const std::string& path, const Value::Bytes& contents, Error* error = nullptr) const;
};

// NSHomeDirectory: $HOME, else the password database's entry.
std::string homeDirectory();
// The user caches directory: $XDG_CACHE_HOME when absolute, else ~/.cache. No trailing "/".
std::string userCachesDirectory();
// The user's data directory: $XDG_DATA_HOME when absolute, else ~/.local/share.
std::string userDataDirectory();
// NSTemporaryDirectory: a directory private to the user (mode 0700, owned
// by the user, never a symbolic link), always ending in "/". Tried in order:
// $TMPDIR when it already is such a directory; "$XDG_RUNTIME_DIR/tmp/";
// the user caches directory + "/tmp/"; last, a fresh mkdtemp directory in
// /tmp made once per process. Decided once per process.
std::string temporaryDirectory();

// `path` made (with its parents) as a directory private to the user: mode
// 0700, owned by the user, not a symbolic link. The path with a trailing "/",
// or nothing when it cannot be made so.
std::optional<std::string> privateDirectory(const std::string& path);

// The absolute path with every symbolic link resolved (realpath); nothing
// when the path does not exist. Stands in for stringByResolvingSymlinksInPath.
std::optional<std::string> realPath(const std::string& path);

// Joins path components with exactly one "/" between them.
std::string appendPathComponent(const std::string& path, const std::string& component);
// Everything before the last component ("." when none).
std::string deletingLastPathComponent(const std::string& path);

}  // namespace platform
