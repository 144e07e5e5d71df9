#include "platform/process/Workspace.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/foundation/FileManager.h"

namespace platform {

namespace {

constexpr const char* kWorkspaceErrorDomain = kCocoaErrorDomain;
constexpr long kFileNoSuchFileError = 4;             // NSFileNoSuchFileError
constexpr long kExecutableNotLoadableError = 3584;   // NSExecutableNotLoadableError

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
using AppInfoPtr = std::unique_ptr<GDesktopAppInfo, GObjectUnref>;

struct GFree {
    void operator()(gpointer memory) const { g_free(memory); }
};
using GCharPtr = std::unique_ptr<gchar, GFree>;

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

class Dir {
public:
    explicit Dir(const char* path) : dir_(opendir(path)) {}
    ~Dir() {
        if (dir_) closedir(dir_);
    }
    Dir(const Dir&) = delete;
    Dir& operator=(const Dir&) = delete;
    DIR* get() const noexcept { return dir_; }

private:
    DIR* dir_;
};

// A bundle identifier names a file; nothing that could step out of the
// applications directory is one.
bool isUsableIdentifier(const std::string& bundleId) {
    return !bundleId.empty() && bundleId.front() != '.' && bundleId.find('/') == std::string::npos;
}

std::vector<std::string> splitSearchPath(const char* value, const char* fallback) {
    std::string text = value && *value ? value : fallback;
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(':', start);
        if (end == std::string::npos) end = text.size();
        std::string part = text.substr(start, end - start);
        // Relative entries are invalid in the XDG search path and ignored.
        if (!part.empty() && part.front() == '/') parts.push_back(std::move(part));
        start = end + 1;
    }
    return parts;
}

// GIO keeps a cache of the desktop entries it saw at start-up; an entry the
// installer wrote a moment ago may not be in it. So the file is located here,
// in the XDG order (the user's data directory first), and loaded by path.
std::string desktopEntryPath(const std::string& bundleId) {
    if (!isUsableIdentifier(bundleId)) return {};
    std::vector<std::string> directories{userDataDirectory()};
    for (std::string& dir : splitSearchPath(getenv("XDG_DATA_DIRS"), "/usr/local/share:/usr/share"))
        directories.push_back(std::move(dir));
    const std::string name = bundleId + ".desktop";
    for (const std::string& dir : directories) {
        std::string path = appendPathComponent(appendPathComponent(dir, "applications"), name);
        struct stat st{};
        // The first entry found hides the others, even when it is unusable.
        if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return path;
    }
    return {};
}

AppInfoPtr loadEntry(const std::string& bundleId) {
    const std::string path = desktopEntryPath(bundleId);
    if (path.empty()) return nullptr;
    return AppInfoPtr(g_desktop_app_info_new_from_filename(path.c_str()));
}

std::optional<std::string> resolveProgram(const char* program) {
    if (!program || !*program) return std::nullopt;
    if (program[0] == '/') return realPath(program);
    GCharPtr found(g_find_program_in_path(program));
    if (!found) return std::nullopt;
    return realPath(found.get());
}

// The first word of Exec, read by the desktop-entry rules. GIO's own
// g_app_info_get_executable splits at the first space and so gets quoted
// paths ("/home/me/Applications/Demo Product.app/...") wrong.
std::optional<std::string> execProgram(GDesktopAppInfo* info) {
    GCharPtr exec(g_desktop_app_info_get_string(info, G_KEY_FILE_DESKTOP_KEY_EXEC));
    if (!exec) return std::nullopt;
    std::string line;
    for (const char* p = exec.get(); *p; ++p) {
        line += *p;
        if (p[0] == '%' && p[1] == '%') ++p;  // "%%" is a literal "%"
    }
    gint argc = 0;
    gchar** argv = nullptr;
    if (!g_shell_parse_argv(line.c_str(), &argc, &argv, nullptr)) return std::nullopt;
    std::string program = argc > 0 ? argv[0] : "";
    g_strfreev(argv);
    return program;
}

std::optional<std::string> programOf(GDesktopAppInfo* info) {
    if (const auto program = execProgram(info)) {
        if (auto resolved = resolveProgram(program->c_str())) return resolved;
    }
    GCharPtr tryExec(g_desktop_app_info_get_string(info, G_KEY_FILE_DESKTOP_KEY_TRY_EXEC));
    return resolveProgram(tryExec.get());
}

// Runs in the launched program just before exec: its own session, so it
// outlives the installer and the terminal it may have been started from.
void detachChild(gpointer) {
    setsid();
}

}  // namespace

bool RunningApplication::terminate() const {
    if (pid_ <= 0) return false;
    return kill(pid_, SIGTERM) == 0;
}

Workspace& Workspace::sharedWorkspace() {
    static Workspace workspace;
    return workspace;
}

bool Workspace::launchAppWithBundleIdentifier(const std::string& bundleId, Error* error) {
    AppInfoPtr info = loadEntry(bundleId);
    if (!info) {
        if (error) {
            *error = Error(kWorkspaceErrorDomain, kFileNoSuchFileError,
                           "No application with the identifier \"" + bundleId + "\" was found.");
        }
        return false;
    }

    // The application gets nothing of ours: no pipe our caller might be
    // reading to its end, no terminal. Without G_SPAWN_DO_NOT_REAP_CHILD,
    // GLib starts it through an intermediate child, so it is not our child
    // either and keeps running after we quit.
    Fd devNull(open("/dev/null", O_RDWR | O_CLOEXEC));
    if (devNull.get() < 0) {
        if (error) *error = posixError(errno, "/dev/null");
        return false;
    }
    GError* gerror = nullptr;
    const gboolean launched = g_desktop_app_info_launch_uris_as_manager_with_fds(
        info.get(), nullptr, nullptr, G_SPAWN_SEARCH_PATH, detachChild, nullptr, nullptr, nullptr,
        devNull.get(), devNull.get(), devNull.get(), &gerror);
    if (!launched) {
        std::string message = gerror && gerror->message ? gerror->message : "unknown failure";
        if (gerror) g_error_free(gerror);
        if (error) {
            *error = Error(kWorkspaceErrorDomain, kExecutableNotLoadableError,
                           "The application \"" + bundleId + "\" could not be launched: " + message);
        }
        return false;
    }
    return true;
}

std::optional<std::string> Workspace::executableForBundleIdentifier(const std::string& bundleId) {
    AppInfoPtr info = loadEntry(bundleId);
    if (!info) return std::nullopt;
    return programOf(info.get());
}

std::vector<RunningApplication> Workspace::runningApplicationsWithBundleIdentifier(const std::string& bundleId) {
    std::vector<RunningApplication> running;
    const std::optional<std::string> program = executableForBundleIdentifier(bundleId);
    if (!program) return running;

    static const std::string kDeleted = " (deleted)";
    const pid_t self = getpid();
    Dir proc("/proc");
    if (!proc.get()) return running;
    while (dirent* entry = readdir(proc.get())) {
        char* end = nullptr;
        const long pid = strtol(entry->d_name, &end, 10);
        if (!end || *end != '\0' || pid <= 0 || pid == self) continue;
        const std::string link = std::string("/proc/") + entry->d_name + "/exe";
        char target[4096];
        // Other users' processes, kernel threads, processes gone meanwhile: skipped.
        const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
        if (length <= 0) continue;
        std::string exe(target, static_cast<size_t>(length));
        if (exe.size() > kDeleted.size() && exe.compare(exe.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0)
            exe.resize(exe.size() - kDeleted.size());
        if (exe == *program) running.emplace_back(static_cast<pid_t>(pid), exe);
    }
    std::sort(running.begin(), running.end(), [](const RunningApplication& a, const RunningApplication& b) {
        return a.processIdentifier() < b.processIdentifier();
    });
    return running;
}

}  // namespace platform
