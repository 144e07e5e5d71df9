#include "PackageExtractor.h"

#include <archive.h>
#include <archive_entry.h>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <vector>

#include "PathNames.h"
#include "platform/foundation/UniqueFd.h"

namespace installer {

using platform::UniqueFd;

namespace {

// Runs a stretch of code in another working directory: libarchive's checks
// against absolute paths only work with relative names.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::string& path) : saved_(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (!saved_ || chdir(path.c_str()) != 0) throw InstallError("Cannot enter " + path + ": " + errnoText(errno));
    }
    ~WorkingDirectory() {
        if (fchdir(saved_.get()) != 0) {
            // Nothing sensible to do; every later path is absolute.
        }
    }
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;

private:
    UniqueFd saved_;
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

}  // namespace

mode_t installedPermissions(mode_t type, mode_t permissions) {
    const mode_t kept = permissions & 0755;
    return type == AE_IFDIR ? kept | 0700 : kept | 0600;
}

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
            // A link only names a file already written: data of its own (pax
            // allows it) would make libarchive rewrite that file and give it
            // the link's mode.
            archive_entry_set_size(entry, 0);
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
        } else if (type == AE_IFDIR || type == AE_IFREG) {
            archive_entry_set_perm(entry, installedPermissions(type, archive_entry_perm(entry)));
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

}  // namespace installer
