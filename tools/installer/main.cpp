// installer: puts an application package into the user's ~/Applications and
// registers it with the desktop. Stands in for macOS's installer(8), with the
// command line the web installer uses:
//
//   installer [-dumplog] [-verbose] -pkg FILE -target CurrentUserHomeDirectory
//
// The package format is described in docs/package-format.md. Exit status:
// 0 installed, 1 failed (nothing changed), 2 usage error.

#include <archive.h>
#include <archive_entry.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/Value.h"

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// A failure that ends the install; the message is shown to the user.
struct InstallError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string errnoText(int err) { return std::strerror(err); }

class Reporter {
public:
    bool verbose = false;
    bool dumplog = false;

    void progress(const std::string& line) const {
        if (!verbose) return;
        std::fputs(("installer: " + line + "\n").c_str(), stdout);
        std::fflush(stdout);
    }
    void log(const std::string& line) const {
        if (!dumplog) return;
        std::fputs(("installer[" + std::to_string(getpid()) + "] <Debug>: " + line + "\n").c_str(), stderr);
    }
    void error(const std::string& message) const {
        std::fputs(("installer: Error - " + message + "\n").c_str(), stderr);
    }
};

// ---------------------------------------------------------------- resources

int removeEntry(const char* path, const struct stat*, int type, FTW*) {
    if (type == FTW_DP)
        rmdir(path);
    else
        unlink(path);
    return 0;  // keep going: remove as much as possible
}

// Removes a tree without following symbolic links; best effort.
void removeTree(const std::string& path) {
    struct stat st{};
    if (lstat(path.c_str(), &st) != 0) return;
    if (!S_ISDIR(st.st_mode)) {
        unlink(path.c_str());
        return;
    }
    nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

// The private staging folder next to the final location (same file system,
// so the final step is a rename); removed with everything in it.
class StagingFolder {
public:
    explicit StagingFolder(const std::string& parent) {
        std::string pattern = parent + "/.install-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (!mkdtemp(buffer.data()))
            throw InstallError("Cannot create a folder in " + parent + ": " + errnoText(errno));
        path_ = buffer.data();
    }
    ~StagingFolder() { removeTree(path_); }
    StagingFolder(const StagingFolder&) = delete;
    StagingFolder& operator=(const StagingFolder&) = delete;
    const std::string& path() const noexcept { return path_; }

private:
    std::string path_;
};

// Runs a stretch of code in another working directory: libarchive's checks
// against absolute paths only work with relative names.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::string& path) {
        saved_ = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (saved_ < 0 || chdir(path.c_str()) != 0) {
            const int err = errno;
            if (saved_ >= 0) close(saved_);
            throw InstallError("Cannot enter " + path + ": " + errnoText(err));
        }
    }
    ~WorkingDirectory() {
        if (fchdir(saved_) != 0) {
            // Nothing sensible to do; every later path is absolute.
        }
        close(saved_);
    }
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;

private:
    int saved_ = -1;
};

struct ArchiveReadFree {
    void operator()(archive* a) const { archive_read_free(a); }
};
struct ArchiveWriteFree {
    void operator()(archive* a) const { archive_write_free(a); }
};
using ArchiveReader = std::unique_ptr<archive, ArchiveReadFree>;
using ArchiveWriter = std::unique_ptr<archive, ArchiveWriteFree>;

std::string archiveError(archive* a) {
    const char* text = archive_error_string(a);
    return text ? text : "unknown archive error";
}

// ---------------------------------------------------------------- names

std::vector<std::string> splitPath(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::string joinPath(const std::vector<std::string>& parts) {
    std::string out;
    for (const std::string& part : parts) {
        if (!out.empty()) out += '/';
        out += part;
    }
    return out;
}

// The components of an archive member name, "." dropped. Absolute names and
// ".." are refused: nothing may land outside the staging folder.
std::vector<std::string> memberComponents(const char* raw, const char* what) {
    if (!raw) throw InstallError(std::string("The package has an unreadable ") + what + ".");
    const std::string name(raw);
    if (!name.empty() && name.front() == '/')
        throw InstallError(std::string("The package has an absolute ") + what + ": " + name);
    std::vector<std::string> parts;
    for (std::string& part : splitPath(name)) {
        if (part == ".") continue;
        if (part == "..") throw InstallError(std::string("The package has a ") + what + " with \"..\": " + name);
        parts.push_back(std::move(part));
    }
    return parts;
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool hasControlCharacters(const std::string& text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f) return true;
    return false;
}

// The identifier names the desktop entry file, so it is kept to a plain
// reverse-DNS-like form.
bool isValidIdentifier(const std::string& id) {
    if (id.empty() || id.size() > 200 || id.front() == '.' || id.back() == '.') return false;
    if (id.find("..") != std::string::npos) return false;
    for (char c : id) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                        c == '.' || c == '-' || c == '_';
        if (!ok) return false;
    }
    return true;
}

// A single file name: no folders, nothing hidden, nothing unprintable.
bool isPlainFileName(const std::string& name) {
    return !name.empty() && name.size() <= 200 && name.front() != '.' &&
           name.find('/') == std::string::npos && !hasControlCharacters(name);
}

// ---------------------------------------------------------------- extraction

// Unpacks the package into `staging` and answers the application folder's
// name. Every member is checked before it is written.
std::string extractPackage(const std::string& packagePath, const std::string& staging, const Reporter& reporter) {
    ArchiveReader reader(archive_read_new());
    ArchiveWriter writer(archive_write_disk_new());
    if (!reader || !writer) throw InstallError("Out of memory.");
    archive_read_support_filter_gzip(reader.get());
    archive_read_support_format_tar(reader.get());
    if (archive_read_open_filename(reader.get(), packagePath.c_str(), 64 * 1024) != ARCHIVE_OK)
        throw InstallError("The package " + packagePath + " cannot be read: " + archiveError(reader.get()));

    archive_write_disk_set_options(writer.get(), ARCHIVE_EXTRACT_SECURE_NODOTDOT | ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                                                     ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS | ARCHIVE_EXTRACT_PERM |
                                                     ARCHIVE_EXTRACT_TIME);

    WorkingDirectory inStaging(staging);
    std::string appFolder;
    size_t members = 0;
    archive_entry* entry = nullptr;
    for (;;) {
        const int status = archive_read_next_header(reader.get(), &entry);
        if (status == ARCHIVE_EOF) break;
        if (status != ARCHIVE_OK && status != ARCHIVE_WARN)
            throw InstallError("The package is damaged: " + archiveError(reader.get()));

        // Copied: libarchive reuses the storage once the name is rewritten.
        const char* pathname = archive_entry_pathname(entry);
        std::vector<std::string> parts = memberComponents(pathname, "member name");
        const std::string rawName = pathname;
        if (parts.empty()) continue;  // "./" itself

        // Exactly one application folder at the top.
        const std::string& top = parts.front();
        if (!endsWith(top, ".app") || top.size() <= 4 || top.front() == '.')
            throw InstallError("The package holds \"" + rawName + "\" outside an application folder.");
        if (appFolder.empty()) {
            appFolder = top;
        } else if (top != appFolder) {
            throw InstallError("The package holds more than one application folder (" + appFolder + ", " + top + ").");
        }

        const mode_t type = archive_entry_filetype(entry);
        const bool isHardlink = archive_entry_hardlink(entry) != nullptr;
        if (isHardlink) {
            std::vector<std::string> target = memberComponents(archive_entry_hardlink(entry), "hard link");
            if (target.size() < 2 || target.front() != appFolder)
                throw InstallError("The package has a hard link leaving its application folder: " + rawName);
            archive_entry_set_hardlink(entry, joinPath(target).c_str());
        } else if (type == AE_IFLNK) {
            // A relative target without ".." can only point further down
            // from its own folder, so no chain of links can leave the app.
            const char* target = archive_entry_symlink(entry);
            const std::string text = target ? target : "";
            if (text.empty() || text.front() == '/')
                throw InstallError("The package has a symbolic link with an absolute target: " + rawName);
            for (const std::string& part : splitPath(text)) {
                if (part == "..")
                    throw InstallError("The package has a symbolic link pointing outside its folder: " +
                                       rawName + " -> " + text);
            }
        } else if (type == AE_IFDIR) {
            // Folders stay writable for us, so a later update can replace them.
            archive_entry_set_perm(entry, (archive_entry_perm(entry) & 0777) | 0700);
        } else if (type == AE_IFREG) {
            archive_entry_set_perm(entry, (archive_entry_perm(entry) & 0777) | 0600);
        } else {
            throw InstallError("The package has a special file (device, pipe or socket): " + rawName);
        }
        if (parts.size() == 1 && type != AE_IFDIR)
            throw InstallError("The package's \"" + appFolder + "\" is not a folder.");

        archive_entry_set_pathname(entry, joinPath(parts).c_str());
        archive_entry_set_uid(entry, getuid());
        archive_entry_set_gid(entry, getgid());

        if (archive_write_header(writer.get(), entry) < ARCHIVE_WARN)
            throw InstallError("Cannot install \"" + rawName + "\": " + archiveError(writer.get()));
        if (archive_entry_size(entry) > 0 && !isHardlink) {
            const void* block = nullptr;
            size_t size = 0;
            la_int64_t offset = 0;
            for (;;) {
                const int r = archive_read_data_block(reader.get(), &block, &size, &offset);
                if (r == ARCHIVE_EOF) break;
                if (r < ARCHIVE_WARN)
                    throw InstallError("The package is damaged: " + archiveError(reader.get()));
                if (archive_write_data_block(writer.get(), block, size, offset) < ARCHIVE_WARN)
                    throw InstallError("Cannot write \"" + rawName + "\": " + archiveError(writer.get()));
            }
        }
        if (archive_write_finish_entry(writer.get()) < ARCHIVE_WARN)
            throw InstallError("Cannot write \"" + rawName + "\": " + archiveError(writer.get()));
        ++members;
    }
    if (archive_write_close(writer.get()) < ARCHIVE_WARN)
        throw InstallError("Cannot finish writing the application: " + archiveError(writer.get()));
    if (appFolder.empty()) throw InstallError("The package contains no application folder.");
    reporter.log("Extracted " + std::to_string(members) + " members of " + appFolder);
    return appFolder;
}

// ---------------------------------------------------------------- validation

struct Application {
    std::string identifier;
    std::string executable;  // file name inside the .app folder
    std::string name;
    std::string version;
    std::string iconFile;  // relative to the .app folder; empty when none
};

std::string stringFor(const platform::Value& info, const char* key) {
    const platform::Value value = info[key];
    return value.isString() ? value.stringValue() : std::string();
}

bool isRegularFile(const std::string& path, struct stat* out = nullptr) {
    struct stat st{};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (out) *out = st;
    return true;
}

Application validate(const std::string& appDir, const Reporter& reporter) {
    struct stat st{};
    if (lstat(appDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw InstallError("The package's application folder is missing.");
    const std::string plistPath = appDir + "/Info.plist";
    if (lstat(plistPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        throw InstallError("The application has no Info.plist.");
    platform::Error error;
    const platform::Value info = platform::PropertyList::readFile(plistPath, &error);
    if (!info.isDictionary())
        throw InstallError("The application's Info.plist cannot be read: " +
                           (error.localizedDescription.empty() ? std::string("not a dictionary")
                                                               : error.localizedDescription));

    Application app;
    app.identifier = stringFor(info, "CFBundleIdentifier");
    app.executable = stringFor(info, "CFBundleExecutable");
    app.name = stringFor(info, "CFBundleName");
    app.version = stringFor(info, "CFBundleShortVersionString");
    const std::string icon = stringFor(info, "CFBundleIconFile");

    if (app.identifier.empty()) throw InstallError("The application's Info.plist has no CFBundleIdentifier.");
    if (!isValidIdentifier(app.identifier))
        throw InstallError("The bundle identifier \"" + app.identifier +
                           "\" is not valid (letters, digits, \".\", \"-\" and \"_\" only).");
    if (app.executable.empty()) throw InstallError("The application's Info.plist has no CFBundleExecutable.");
    if (!isPlainFileName(app.executable))
        throw InstallError("The executable name \"" + app.executable + "\" is not a plain file name.");
    if (app.name.empty()) throw InstallError("The application's Info.plist has no CFBundleName.");
    if (!isPlainFileName(app.name)) throw InstallError("The application name \"" + app.name + "\" is not usable as a folder name.");
    // GIO checks that an entry's program exists before it expands "%%", so
    // a path with "%" in it would never be found or launched.
    if (app.name.find('%') != std::string::npos || app.executable.find('%') != std::string::npos)
        throw InstallError("The application name and executable name must not contain \"%\".");

    const std::string executablePath = appDir + "/" + app.executable;
    if (!isRegularFile(executablePath, &st))
        throw InstallError("The application's executable \"" + app.executable + "\" is missing or not a file.");
    if ((st.st_mode & 0111) == 0)
        throw InstallError("The application's executable \"" + app.executable + "\" is not executable.");

    if (!icon.empty()) {
        bool usable = icon.front() != '/' && !hasControlCharacters(icon);
        for (const std::string& part : splitPath(icon)) usable = usable && part != "..";
        // Like Finder, accept the icon's name without its extension.
        for (const char* suffix : {"", ".png", ".svg"}) {
            if (usable && isRegularFile(appDir + "/" + icon + suffix)) {
                app.iconFile = icon + suffix;
                break;
            }
        }
        if (app.iconFile.empty()) reporter.log("Icon file \"" + icon + "\" not found; installing without an icon");
    }
    return app;
}

// ---------------------------------------------------------------- desktop entry

// A string value in a desktop entry file.
std::string escapeValue(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case ' ': out += i == 0 ? "\\s" : " "; break;
        default: out += c;
        }
    }
    return out;
}

// One argument of an Exec line: quoted when it holds a reserved character,
// with ", `, $ and \ escaped inside the quotes; "%" doubled (field codes).
std::string quoteExecArgument(const std::string& argument) {
    static const char* kReserved = " \t\n\"'\\><~|&;$*?#()`";
    std::string body;
    for (char c : argument) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') body += '\\';
        body += c;
    }
    std::string quoted = argument.find_first_of(kReserved) != std::string::npos || argument.empty()
                             ? "\"" + body + "\""
                             : argument;
    std::string out;
    for (char c : quoted) {
        out += c;
        if (c == '%') out += '%';
    }
    return out;
}

std::string desktopEntryText(const Application& app, const std::string& executablePath, const std::string& iconPath) {
    std::string text = "[Desktop Entry]\n";
    text += "Type=Application\n";
    text += "Version=1.0\n";
    text += "Name=" + escapeValue(app.name) + "\n";
    text += "Exec=" + escapeValue(quoteExecArgument(executablePath)) + "\n";
    text += "TryExec=" + escapeValue(executablePath) + "\n";
    if (!iconPath.empty()) text += "Icon=" + escapeValue(iconPath) + "\n";
    text += "Terminal=false\n";
    text += "X-Bundle-Identifier=" + app.identifier + "\n";
    if (!app.version.empty() && !hasControlCharacters(app.version))
        text += "X-Bundle-Version=" + escapeValue(app.version) + "\n";
    return text;
}

void writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw InstallError("Cannot write the desktop entry: " + errnoText(errno));
        done += static_cast<size_t>(n);
    }
}

// Written beside its final name and renamed, so the desktop never sees half an entry.
void writeDesktopEntry(const std::string& directory, const std::string& identifier, const std::string& text) {
    platform::Error error;
    if (!platform::FileManager::defaultManager().createDirectoryAtPath(directory, true, &error))
        throw InstallError("Cannot create " + directory + ": " + error.localizedDescription);
    const std::string finalPath = directory + "/" + identifier + ".desktop";
    std::string pattern = directory + "/." + identifier + ".desktop.XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    const int fd = mkostemp(buffer.data(), O_CLOEXEC);
    if (fd < 0) throw InstallError("Cannot write in " + directory + ": " + errnoText(errno));
    const std::string tempPath = buffer.data();
    try {
        writeAll(fd, text);
        if (fchmod(fd, 0644) != 0 || fsync(fd) != 0)
            throw InstallError("Cannot write the desktop entry: " + errnoText(errno));
    } catch (...) {
        close(fd);
        unlink(tempPath.c_str());
        throw;
    }
    if (close(fd) != 0) {
        const int err = errno;
        unlink(tempPath.c_str());
        throw InstallError("Cannot write the desktop entry: " + errnoText(err));
    }
    if (rename(tempPath.c_str(), finalPath.c_str()) != 0) {
        const int err = errno;
        unlink(tempPath.c_str());
        throw InstallError("Cannot write " + finalPath + ": " + errnoText(err));
    }
}

// ---------------------------------------------------------------- install

bool exists(const std::string& path) {
    struct stat st{};
    return lstat(path.c_str(), &st) == 0;
}

void install(const std::string& packagePath, const Reporter& reporter) {
    const std::string home = platform::homeDirectory();
    if (home.empty() || home.front() != '/') throw InstallError("The home folder is unknown.");
    const std::string applications = home + "/Applications";
    if (applications.find('%') != std::string::npos)
        throw InstallError("Applications cannot be registered under " + applications + " (it contains \"%\").");
    struct stat st{};
    // A symbolic link to a folder elsewhere is fine: staging happens inside it.
    if (stat(applications.c_str(), &st) != 0) {
        if (mkdir(applications.c_str(), 0755) != 0 && errno != EEXIST)
            throw InstallError("Cannot create " + applications + ": " + errnoText(errno));
    } else if (!S_ISDIR(st.st_mode)) {
        throw InstallError(applications + " is not a folder.");
    }
    reporter.log("Package " + packagePath);

    StagingFolder staging(applications);
    reporter.log("Staging in " + staging.path());
    const std::string appFolder = extractPackage(packagePath, staging.path(), reporter);
    const std::string stagedApp = staging.path() + "/" + appFolder;
    const Application app = validate(stagedApp, reporter);
    reporter.log("Bundle " + app.identifier + " version " + (app.version.empty() ? "(none)" : app.version));

    reporter.progress("Package name is " + app.name);
    reporter.progress("Installing at base path " + applications);

    // The new copy goes in with renames only; the old one is kept until
    // the new one is registered, so a failure puts it back.
    const std::string finalApp = applications + "/" + app.name + ".app";
    const std::string previous = staging.path() + "/previous";
    const bool replacing = exists(finalApp);
    if (replacing) {
        if (rename(finalApp.c_str(), previous.c_str()) != 0)
            throw InstallError("Cannot move the installed " + finalApp + " aside: " + errnoText(errno));
        reporter.log("Moved the installed copy aside");
    }
    auto restorePrevious = [&] {
        if (replacing && rename(previous.c_str(), finalApp.c_str()) != 0)
            reporter.error("Cannot restore the previous copy of " + finalApp + ": " + errnoText(errno));
    };
    if (rename(stagedApp.c_str(), finalApp.c_str()) != 0) {
        const int err = errno;
        restorePrevious();
        throw InstallError("Cannot move the application to " + finalApp + ": " + errnoText(err));
    }

    try {
        const std::optional<std::string> executable = platform::realPath(finalApp + "/" + app.executable);
        if (!executable) throw InstallError("The installed executable cannot be found: " + errnoText(errno));
        std::string icon;
        if (!app.iconFile.empty()) icon = platform::realPath(finalApp + "/" + app.iconFile).value_or(std::string());
        const std::string entries = platform::userDataDirectory() + "/applications";
        writeDesktopEntry(entries, app.identifier, desktopEntryText(app, *executable, icon));
        reporter.log("Registered " + entries + "/" + app.identifier + ".desktop");
    } catch (...) {
        if (rename(finalApp.c_str(), (staging.path() + "/failed").c_str()) != 0)
            reporter.error("Cannot remove " + finalApp + ": " + errnoText(errno));
        restorePrevious();
        throw;
    }
    reporter.progress("The install was successful.");
}

// ---------------------------------------------------------------- command line

int usage(const std::string& problem) {
    std::fputs(("installer: " + problem + "\n").c_str(), stderr);
    std::fputs("usage: installer [-dumplog] [-verbose] -pkg <path> -target CurrentUserHomeDirectory\n", stderr);
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    Reporter reporter;
    std::optional<std::string> package;
    std::optional<std::string> target;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "-verbose" || argument == "-verboseR") {
            reporter.verbose = true;
        } else if (argument == "-dumplog") {
            reporter.dumplog = true;
        } else if (argument == "-pkg" || argument == "-package" || argument == "-target" || argument == "-tgt") {
            if (i + 1 >= argc) return usage("missing value for " + argument);
            std::optional<std::string>& slot = argument == "-pkg" || argument == "-package" ? package : target;
            if (slot) return usage(argument + " given twice");
            slot = argv[++i];
        } else {
            return usage("unknown option " + argument);
        }
    }
    if (!package || package->empty()) return usage("no package given (-pkg)");
    if (!target) return usage("no target given (-target)");
    if (*target != "CurrentUserHomeDirectory")
        return usage("the only supported target is CurrentUserHomeDirectory, not " + *target);

    try {
        install(*package, reporter);
    } catch (const InstallError& error) {
        reporter.error(error.what());
        return kExitFailure;
    } catch (const std::exception& error) {
        reporter.error(std::string("Unexpected failure: ") + error.what());
        return kExitFailure;
    }
    return kExitSuccess;
}
