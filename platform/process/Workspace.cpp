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
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/PropertyList.h"

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

// Process handles through the system calls themselves: glibc 2.36 declares
// its wrappers without C linkage for C++.
int openProcessHandle(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0u)); }
bool signalThroughHandle(int handle, int signal) {
    return syscall(SYS_pidfd_send_signal, handle, signal, nullptr, 0u) == 0;
}

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

// The words of Exec, read by the desktop-entry rules. GIO's own
// g_app_info_get_executable splits at the first space and so gets quoted
// paths ("/home/me/Applications/Demo Product.app/...") wrong.
std::vector<std::string> execWords(GDesktopAppInfo* info) {
    GCharPtr exec(g_desktop_app_info_get_string(info, G_KEY_FILE_DESKTOP_KEY_EXEC));
    if (!exec) return {};
    std::string line;
    for (const char* p = exec.get(); *p; ++p) {
        line += *p;
        if (p[0] == '%' && p[1] == '%') ++p;  // "%%" is a literal "%"
    }
    gint argc = 0;
    gchar** argv = nullptr;
    if (!g_shell_parse_argv(line.c_str(), &argc, &argv, nullptr)) return {};
    std::vector<std::string> words(argv, argv + argc);
    g_strfreev(argv);
    return words;
}

std::optional<std::string> execProgram(GDesktopAppInfo* info) {
    std::vector<std::string> words = execWords(info);
    if (words.empty()) return std::nullopt;
    return std::move(words.front());
}

std::optional<std::string> programOf(GDesktopAppInfo* info) {
    if (const auto program = execProgram(info)) {
        if (auto resolved = resolveProgram(program->c_str())) return resolved;
    }
    GCharPtr tryExec(g_desktop_app_info_get_string(info, G_KEY_FILE_DESKTOP_KEY_TRY_EXEC));
    return resolveProgram(tryExec.get());
}

bool hasPrefix(const std::string& text, const std::string& prefix) {
    return text.size() > prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

bool isRegularFile(const std::string& path) {
    struct stat st{};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The "<Name>.app" folder directly inside `applications` that holds `path`.
std::optional<std::string> bundleHolding(const std::string& applications, const std::string& path) {
    const std::string base = applications + "/";
    if (!hasPrefix(path, base)) return std::nullopt;
    const size_t slash = path.find('/', base.size());
    if (slash == std::string::npos) return std::nullopt;
    const std::string folder = path.substr(base.size(), slash - base.size());
    // Hidden folders are the package installer's staging areas.
    if (folder.size() <= 4 || folder.front() == '.' || folder.compare(folder.size() - 4, 4, ".app") != 0)
        return std::nullopt;
    return base + folder;
}

// The bundle's CFBundleExecutable, when its Info.plist is this application's
// and the executable (links resolved) stays inside the bundle.
std::optional<std::string> bundleExecutable(const std::string& bundle, const std::string& bundleId) {
    const Value info = PropertyList::dictionaryWithContentsOfFile(bundle + "/Info.plist");
    const Value identifier = info["CFBundleIdentifier"];
    const Value name = info["CFBundleExecutable"];
    if (!identifier.isString() || identifier.stringValue() != bundleId) return std::nullopt;
    if (!name.isString() || name.stringValue().empty() || name.stringValue().find('/') != std::string::npos)
        return std::nullopt;
    std::optional<std::string> executable = realPath(bundle + "/" + name.stringValue());
    if (!executable || !hasPrefix(*executable, bundle + "/") || !isRegularFile(*executable)) return std::nullopt;
    return executable;
}

// The whole of a small file (a /proc entry), up to `limit` bytes.
std::optional<std::string> readSmallFile(const std::string& path, size_t limit = 64 * 1024) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    std::string text;
    char buffer[4096];
    while (text.size() < limit) {
        const ssize_t n = read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

// An interpreter that runs a script product, and where the kernel puts the
// script's path among its arguments.
struct Interpreter {
    std::string program;   // real path
    size_t scriptArgument;
};

// For a script ("#!interpreter [argument]"): the processes that run it.
// The kernel makes that [interpreter, argument if any, script, ...]; with
// "#!/usr/bin/env name", env then becomes [name, script, ...].
std::vector<Interpreter> interpretersOf(const std::string& executable) {
    const std::optional<std::string> head = readSmallFile(executable, 256);
    if (!head || head->compare(0, 2, "#!") != 0) return {};
    const size_t newline = head->find('\n');
    std::string line = head->substr(2, newline == std::string::npos ? std::string::npos : newline - 2);
    const auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
    const auto trim = [&](std::string text) {
        while (!text.empty() && isBlank(text.front())) text.erase(text.begin());
        while (!text.empty() && (isBlank(text.back()) || text.back() == '\r')) text.pop_back();
        return text;
    };
    line = trim(line);
    const size_t split = line.find_first_of(" \t");
    const std::string program = line.substr(0, split);
    const std::string argument = split == std::string::npos ? std::string() : trim(line.substr(split));
    if (program.empty() || program.front() != '/') return {};
    std::vector<Interpreter> interpreters;
    const std::optional<std::string> resolved = realPath(program);
    if (!resolved) return {};
    interpreters.push_back({*resolved, argument.empty() ? 1u : 2u});
    const bool viaEnv = program.size() >= 4 && program.compare(program.size() - 4, 4, "/env") == 0;
    if (viaEnv && !argument.empty() && argument.front() != '-' && argument.find_first_of(" \t=") == std::string::npos) {
        if (std::optional<std::string> named = resolveProgram(argument.c_str())) interpreters.push_back({*named, 1});
    }
    return interpreters;
}

// How a running copy of the installed product shows in /proc.
struct Product {
    std::string executable;
    std::vector<Interpreter> interpreters;  // empty unless it is a script
};

std::optional<uid_t> realUserOf(const std::string& procDir) {
    const std::optional<std::string> status = readSmallFile(procDir + "/status");
    if (!status) return std::nullopt;
    const size_t at = status->find("\nUid:");
    if (at == std::string::npos) return std::nullopt;
    char* end = nullptr;
    const unsigned long uid = strtoul(status->c_str() + at + 5, &end, 10);
    if (end == status->c_str() + at + 5) return std::nullopt;
    return static_cast<uid_t>(uid);
}

std::string executableOf(const std::string& procDir) {
    static const std::string kDeleted = " (deleted)";
    char target[4096];
    const ssize_t length = readlink((procDir + "/exe").c_str(), target, sizeof target - 1);
    if (length <= 0) return {};
    std::string exe(target, static_cast<size_t>(length));
    // A program replaced under a running copy (an update) shows this suffix.
    if (exe.size() > kDeleted.size() && exe.compare(exe.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0)
        exe.resize(exe.size() - kDeleted.size());
    return exe;
}

// Argument `index` of the process's command line, as a real path (a
// relative one taken from the process's working directory).
std::optional<std::string> argumentPath(const std::string& procDir, size_t index) {
    const std::optional<std::string> cmdline = readSmallFile(procDir + "/cmdline");
    if (!cmdline) return std::nullopt;
    size_t start = 0;
    for (size_t i = 0; i < index; ++i) {
        start = cmdline->find('\0', start);
        if (start == std::string::npos) return std::nullopt;
        ++start;
    }
    const size_t end = cmdline->find('\0', start);
    if (end == std::string::npos || end == start) return std::nullopt;
    const std::string argument = cmdline->substr(start, end - start);
    return realPath(argument.front() == '/' ? argument : procDir + "/cwd/" + argument);
}

bool runsProduct(const std::string& procDir, const Product& product) {
    const std::string exe = executableOf(procDir);
    if (exe.empty()) return false;
    if (exe == product.executable) return true;
    for (const Interpreter& interpreter : product.interpreters) {
        if (exe == interpreter.program && argumentPath(procDir, interpreter.scriptArgument) == product.executable)
            return true;
    }
    return false;
}

// Runs in the launched program just before exec: its own session, so it
// outlives the installer and the terminal it may have been started from.
void detachChild(gpointer) {
    setsid();
}

}  // namespace

RunningApplication::RunningApplication(pid_t pid, std::string executable)
    : pid_(pid), executable_(std::move(executable)), handle_(pid > 0 ? openProcessHandle(pid) : -1) {}

bool RunningApplication::isTerminated() const {
    if (!handle_) return true;
    // A process handle becomes readable when its process has ended.
    pollfd entry{handle_.get(), POLLIN, 0};
    int ready;
    do {
        ready = poll(&entry, 1, 0);
    } while (ready < 0 && errno == EINTR);
    return ready != 0;
}

bool RunningApplication::terminate() const {
    // Ended (even if not yet collected by its parent): there is no one to ask.
    if (isTerminated()) return false;
    return signalThroughHandle(handle_.get(), SIGTERM);
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
    UniqueFd devNull(open("/dev/null", O_RDWR | O_CLOEXEC));
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

std::optional<std::string> Workspace::installedExecutableForBundleIdentifier(const std::string& bundleId) {
    AppInfoPtr info = loadEntry(bundleId);
    if (!info) return std::nullopt;
    const std::optional<std::string> applications = realPath(appendPathComponent(homeDirectory(), "Applications"));
    if (!applications) return std::nullopt;

    // The entry may start the product through a shell or env, so every word
    // that names a file is a candidate; TryExec, the installer's plain path,
    // comes first.
    std::vector<std::string> candidates;
    GCharPtr tryExec(g_desktop_app_info_get_string(info.get(), G_KEY_FILE_DESKTOP_KEY_TRY_EXEC));
    if (auto program = resolveProgram(tryExec.get())) candidates.push_back(std::move(*program));
    const std::vector<std::string> words = execWords(info.get());
    for (size_t i = 0; i < words.size(); ++i) {
        if (i > 0 && (words[i].empty() || words[i].front() != '/')) continue;  // options, assignments, shell code
        if (auto path = i == 0 ? resolveProgram(words[i].c_str()) : realPath(words[i]))
            candidates.push_back(std::move(*path));
    }
    for (const std::string& candidate : candidates) {
        if (const auto bundle = bundleHolding(*applications, candidate)) {
            if (auto executable = bundleExecutable(*bundle, bundleId)) return executable;
        }
    }
    return std::nullopt;
}

std::vector<RunningApplication> Workspace::runningApplicationsWithBundleIdentifier(const std::string& bundleId) {
    std::vector<RunningApplication> running;
    std::optional<std::string> executable = installedExecutableForBundleIdentifier(bundleId);
    if (!executable) return running;
    Product product{std::move(*executable), {}};
    product.interpreters = interpretersOf(product.executable);

    const pid_t self = getpid();
    const uid_t user = getuid();
    Dir proc("/proc");
    if (!proc.get()) return running;
    while (dirent* entry = readdir(proc.get())) {
        char* end = nullptr;
        const long pid = strtol(entry->d_name, &end, 10);
        if (!end || *end != '\0' || pid <= 0 || pid == self) continue;
        // The handle first: what is read below by pid describes the process
        // it names only if that process is still there afterwards.
        UniqueFd handle(openProcessHandle(static_cast<pid_t>(pid)));
        if (!handle) continue;
        const std::string procDir = std::string("/proc/") + entry->d_name;
        // Other users' processes are theirs, even when we could signal them.
        if (realUserOf(procDir) != user) continue;
        if (!runsProduct(procDir, product)) continue;
        RunningApplication application(static_cast<pid_t>(pid), product.executable, std::move(handle));
        if (!application.isTerminated()) running.push_back(std::move(application));
    }
    std::sort(running.begin(), running.end(), [](const RunningApplication& a, const RunningApplication& b) {
        return a.processIdentifier() < b.processIdentifier();
    });
    return running;
}

}  // namespace platform
