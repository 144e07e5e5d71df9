#include "platform/process/Workspace.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "tests/support/TempDir.h"
#include "platform/process/Task.h"

using platform::RunningApplication;
using platform::Task;
using platform::Workspace;

namespace {

// Sets an environment variable for the scope, restoring the old value.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = getenv(name)) saved_ = old;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (saved_)
            setenv(name_, saved_->c_str(), 1);
        else
            unsetenv(name_);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> saved_;
};

std::string realPath(const std::string& path) {
    char buffer[4096];
    return realpath(path.c_str(), buffer) ? std::string(buffer) : std::string();
}

void copyExecutable(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    zeltest::writeFile(to, content.str(), 0755);
}

// Kills and collects the copies a test started, whatever happens.
class Children {
public:
    ~Children() {
        for (auto& task : tasks_) {
            if (task->isRunning()) kill(task->processIdentifier(), SIGKILL);
            task->waitUntilExit();
        }
    }
    Task& start(const std::string& program, std::vector<std::string> arguments) {
        tasks_.push_back(std::make_unique<Task>());
        Task& task = *tasks_.back();
        task.setLaunchPath(program);
        task.setArguments(std::move(arguments));
        EXPECT_TRUE(task.launch());
        return task;
    }

private:
    std::vector<std::unique_ptr<Task>> tasks_;
};

// Waits (up to ten seconds) until `path` has `lines` lines.
std::string waitForLines(const std::string& path, size_t lines) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::string text;
    while (std::chrono::steady_clock::now() < deadline) {
        text = zeltest::readFile(path);
        if (static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) >= lines) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return text;
}

// The running process's executable path appears once /proc shows it.
bool waitUntilExecuting(pid_t pid, const std::string& program) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    while (std::chrono::steady_clock::now() < deadline) {
        char target[4096];
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<size_t>(n)).rfind(program, 0) == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

std::vector<pid_t> pidsOf(const std::vector<RunningApplication>& apps) {
    std::vector<pid_t> pids;
    for (const auto& app : apps) pids.push_back(app.processIdentifier());
    return pids;
}

// Started with ZEL_WORKSPACE_HELPER_STAY set (by CallingProcessIsNeverListed),
// this program is a second copy of itself that stays until it is killed,
// before any test runs.
const bool kStayAsHelper = [] {
    if (getenv("ZEL_WORKSPACE_HELPER_STAY"))
        for (;;) pause();
    return false;
}();

// Started with ZEL_WORKSPACE_HELPER_LIST=<file> and ZEL_WORKSPACE_HELPER_ID,
// this program is a copy that writes its own pid and then the pids of the
// running copies it finds to the file, and exits before any test runs.
class ListingHelper : public ::testing::Environment {
public:
    void SetUp() override {
        std::string text = std::to_string(getpid()) + "\n";
        for (const auto& app :
             Workspace::sharedWorkspace().runningApplicationsWithBundleIdentifier(getenv("ZEL_WORKSPACE_HELPER_ID")))
            text += std::to_string(app.processIdentifier()) + "\n";
        zeltest::writeFile(getenv("ZEL_WORKSPACE_HELPER_LIST"), text);
        _exit(0);
    }
};
const bool kListAsHelper = [] {
    if (!getenv("ZEL_WORKSPACE_HELPER_LIST")) return false;
    ::testing::AddGlobalTestEnvironment(new ListingHelper);
    return true;
}();

bool contains(const std::vector<pid_t>& pids, pid_t pid) {
    return std::find(pids.begin(), pids.end(), pid) != pids.end();
}

// The file name /proc shows as a process's executable, "" once it is gone.
std::string executableOf(pid_t pid) {
    char target[4096];
    const ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

// Waits until the process shows `count` arguments (the shell that runs a
// script has them once the kernel has read its first line).
bool waitForArguments(pid_t pid, size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string args = zeltest::readFile("/proc/" + std::to_string(pid) + "/cmdline");
        if (static_cast<size_t>(std::count(args.begin(), args.end(), '\0')) >= count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

class WorkspaceTest : public ::testing::Test {
protected:
    zeltest::TempDir root;
    // A private desktop: our user data directory and system data directories.
    ScopedEnv dataHome{"XDG_DATA_HOME", root.file("data home")};
    ScopedEnv dataDirs{"XDG_DATA_DIRS", root.file("system one") + ":" + root.file("system two")};
    // Products are installed into this home's Applications folder.
    ScopedEnv home{"HOME", root.file("home")};
    Workspace& workspace = Workspace::sharedWorkspace();

    // Puts an application into ~/Applications as our package installer does:
    // "<name>.app" with its Info.plist and executable, and the user's desktop
    // entry (quoted Exec, TryExec). Answers the executable's real path.
    std::string installProduct(const std::string& name, const std::string& id, const std::string& executable,
                               const std::string& contents) {
        const std::string app = root.file("home/Applications/" + name + ".app");
        zeltest::writeFile(app + "/Info.plist",
                           "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                           "<key>CFBundleIdentifier</key><string>" + id + "</string>"
                           "<key>CFBundleExecutable</key><string>" + executable + "</string>"
                           "<key>CFBundleName</key><string>" + name + "</string></dict></plist>\n");
        zeltest::writeFile(app + "/" + executable, contents, 0755);
        const std::string program = realPath(app + "/" + executable);
        writeUserEntry(id, "Exec=\"" + program + "\"\nTryExec=" + program + "\n");
        return program;
    }
    std::string installCopyOf(const std::string& source, const std::string& name, const std::string& id,
                              const std::string& executable) {
        std::ifstream in(source, std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        return installProduct(name, id, executable, content.str());
    }

    // A copy of sleep under a name with a space: its own path, so only the
    // copies this test starts run it.
    std::string sleeper() {
        const std::string path = root.file("bin/test sleeper");
        if (!zeltest::fileExists(path)) copyExecutable("/bin/sleep", path);
        return realPath(path);
    }

    void writeEntry(const std::string& dataDir, const std::string& id, const std::string& body) {
        zeltest::writeFile(dataDir + "/applications/" + id + ".desktop",
                           "[Desktop Entry]\nType=Application\nName=Test\n" + body);
    }
    void writeUserEntry(const std::string& id, const std::string& body) {
        writeEntry(root.file("data home"), id, body);
    }
};

}  // namespace

TEST_F(WorkspaceTest, UnknownIdentifierFindsNothing) {
    EXPECT_EQ(workspace.executableForBundleIdentifier("com.example.nothing"), std::nullopt);
    EXPECT_TRUE(workspace.runningApplicationsWithBundleIdentifier("com.example.nothing").empty());
    platform::Error error;
    EXPECT_FALSE(workspace.launchAppWithBundleIdentifier("com.example.nothing", &error));
    EXPECT_FALSE(error.domain.empty());
    EXPECT_NE(error.localizedDescription.find("com.example.nothing"), std::string::npos);

    // Identifiers that are not plain file names never reach the file system.
    writeUserEntry("com.example.app", "Exec=/bin/true\n");
    for (const char* id : {"../applications/com.example.app", "", ".hidden"})
        EXPECT_EQ(workspace.executableForBundleIdentifier(id), std::nullopt) << id;
}

TEST_F(WorkspaceTest, ExecutableIsTheExecProgramResolved) {
    const std::string program = sleeper();
    // Quoted, with a space (GIO's own first-word split gets this wrong).
    writeUserEntry("com.example.quoted", "Exec=\"" + program + "\" 1000\n");
    EXPECT_EQ(workspace.executableForBundleIdentifier("com.example.quoted"), program);
    // Through a symbolic link.
    ASSERT_EQ(symlink(program.c_str(), root.file("bin/alias").c_str()), 0);
    writeUserEntry("com.example.alias", "Exec=" + root.file("bin/alias") + "\n");
    EXPECT_EQ(workspace.executableForBundleIdentifier("com.example.alias"), program);
    // A bare name, searched in PATH.
    ASSERT_EQ(symlink(program.c_str(), root.file("bin/zel-sleeper").c_str()), 0);
    ScopedEnv path("PATH", root.file("bin") + ":/usr/bin:/bin");
    writeUserEntry("com.example.relative", "Exec=zel-sleeper 5\n");
    EXPECT_EQ(workspace.executableForBundleIdentifier("com.example.relative"), program);
}

TEST_F(WorkspaceTest, EntryWrittenAfterAFirstLookupIsFound) {
    EXPECT_EQ(workspace.executableForBundleIdentifier("com.example.late"), std::nullopt);
    writeUserEntry("com.example.late", "Exec=/bin/true\n");
    EXPECT_EQ(workspace.executableForBundleIdentifier("com.example.late"), realPath("/bin/true"));
}

TEST_F(WorkspaceTest, UserEntryHidesSystemEntriesAndFirstSystemDirectoryWins) {
    writeEntry(root.file("system two"), "com.example.layered", "Exec=/bin/false\n");
    EXPECT_EQ(workspace.executableForBundleIdentifier("com.example.layered"), realPath("/bin/false"));
    writeEntry(root.file("system one"), "com.example.layered", "Exec=/bin/echo\n");
    EXPECT_EQ(workspace.executableForBundleIdentifier("com.example.layered"), realPath("/bin/echo"));
    writeUserEntry("com.example.layered", "Exec=/bin/true\n");
    EXPECT_EQ(workspace.executableForBundleIdentifier("com.example.layered"), realPath("/bin/true"));
}

TEST_F(WorkspaceTest, RunningCopiesListedInPidOrder) {
    const std::string program = installCopyOf("/bin/sleep", "Test Sleeper", "com.example.sleeper", "test sleeper");
    EXPECT_TRUE(workspace.runningApplicationsWithBundleIdentifier("com.example.sleeper").empty());

    Children children;
    std::vector<pid_t> started;
    for (int i = 0; i < 3; ++i) {
        Task& task = children.start(program, {"1000"});
        started.push_back(task.processIdentifier());
        ASSERT_TRUE(waitUntilExecuting(task.processIdentifier(), program));
    }
    // An unrelated program is not a copy.
    Task& other = children.start("/bin/sleep", {"1000"});
    ASSERT_TRUE(waitUntilExecuting(other.processIdentifier(), realPath("/bin/sleep")));

    std::sort(started.begin(), started.end());
    const auto running = workspace.runningApplicationsWithBundleIdentifier("com.example.sleeper");
    EXPECT_EQ(pidsOf(running), started);
    for (const auto& app : running) EXPECT_EQ(app.executablePath(), program);
}

TEST_F(WorkspaceTest, CallingProcessIsNeverListed) {
    // Two copies of this program run from the product's bundle: one stays,
    // the other lists the running copies and reports them.
    const std::string product = installCopyOf(realPath("/proc/self/exe"), "Self", "com.example.self", "self");
    Children children;
    pid_t staying;
    {
        ScopedEnv stay("ZEL_WORKSPACE_HELPER_STAY", "1");
        staying = children.start(product, {}).processIdentifier();
    }
    ASSERT_TRUE(waitUntilExecuting(staying, product));
    const std::string report = root.file("listed.txt");
    {
        ScopedEnv list("ZEL_WORKSPACE_HELPER_LIST", report);
        ScopedEnv id("ZEL_WORKSPACE_HELPER_ID", "com.example.self");
        Task& lister = children.start(product, {});
        lister.waitUntilExit();
        ASSERT_EQ(lister.terminationStatus(), 0);
    }
    std::vector<pid_t> pids;
    std::istringstream lines(zeltest::readFile(report));
    for (long pid; lines >> pid;) pids.push_back(static_cast<pid_t>(pid));
    ASSERT_FALSE(pids.empty());
    const pid_t lister = pids.front();
    pids.erase(pids.begin());
    EXPECT_EQ(pids, std::vector<pid_t>{staying});
    EXPECT_FALSE(contains(pids, lister));
}

TEST_F(WorkspaceTest, CopyWhoseProgramWasReplacedIsStillListed) {
    // An update replaces the file under a running copy; /proc then shows
    // the old path with " (deleted)" appended.
    const std::string program = installCopyOf("/bin/sleep", "Test Sleeper", "com.example.sleeper", "test sleeper");
    Children children;
    Task& task = children.start(program, {"1000"});
    ASSERT_TRUE(waitUntilExecuting(task.processIdentifier(), program));
    ASSERT_EQ(unlink(program.c_str()), 0);
    copyExecutable("/bin/sleep", program);
    const auto running = workspace.runningApplicationsWithBundleIdentifier("com.example.sleeper");
    EXPECT_EQ(pidsOf(running), std::vector<pid_t>{task.processIdentifier()});
}

TEST_F(WorkspaceTest, TerminateSendsSigterm) {
    const std::string program = installCopyOf("/bin/sleep", "Test Sleeper", "com.example.sleeper", "test sleeper");
    Children children;
    Task& task = children.start(program, {"1000"});
    ASSERT_TRUE(waitUntilExecuting(task.processIdentifier(), program));
    const auto running = workspace.runningApplicationsWithBundleIdentifier("com.example.sleeper");
    ASSERT_EQ(running.size(), 1u);
    EXPECT_TRUE(running[0].terminate());
    task.waitUntilExit();
    EXPECT_EQ(task.terminationStatus(), 128 + SIGTERM);
    EXPECT_FALSE(RunningApplication(-1).terminate());
    EXPECT_TRUE(RunningApplication(-1).isTerminated());
}

TEST_F(WorkspaceTest, LaunchStartsTheProgramDetached) {
    // The program notes its pid, parent, session and standard output.
    const std::string marker = root.file("marker.txt");
    const std::string script = root.file("bin/launch me.sh");
    zeltest::writeFile(script,
                       "#!/bin/sh\n"
                       "echo \"pid $$\" >> \"$ZEL_MARKER\"\n"
                       "echo \"ppid $PPID\" >> \"$ZEL_MARKER\"\n"
                       "echo \"sid $(sed 's/.*) //' /proc/$$/stat | cut -d' ' -f4)\" >> \"$ZEL_MARKER\"\n"
                       "echo \"stdout $(readlink /proc/$$/fd/1)\" >> \"$ZEL_MARKER\"\n",
                       0755);
    ScopedEnv markerEnv("ZEL_MARKER", marker);
    writeUserEntry("com.example.launchme", "Exec=\"" + script + "\"\n");

    platform::Error error;
    ASSERT_TRUE(workspace.launchAppWithBundleIdentifier("com.example.launchme", &error)) << error.localizedDescription;
    const std::string text = waitForLines(marker, 4);
    ASSERT_NE(text.find("stdout "), std::string::npos) << text;
    EXPECT_EQ(text.find("ppid " + std::to_string(getpid()) + "\n"), std::string::npos) << text;
    // Leader of a session of its own.
    ASSERT_EQ(text.rfind("pid ", 0), 0u) << text;
    const std::string pid = text.substr(4, text.find('\n') - 4);
    EXPECT_NE(text.find("\nsid " + pid + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find("stdout /dev/null\n"), std::string::npos) << text;
}

TEST_F(WorkspaceTest, LaunchOfMissingProgramFails) {
    writeUserEntry("com.example.broken", "Exec=" + root.file("bin/not-there") + "\n");
    platform::Error error;
    EXPECT_FALSE(workspace.launchAppWithBundleIdentifier("com.example.broken", &error));
    EXPECT_FALSE(error.localizedDescription.empty());
}

// What our package installer registers must be what the workspace finds
// and launches, whatever characters the application's path holds.
TEST_F(WorkspaceTest, FindsAndLaunchesWhatTheInstallerRegistered) {
    const std::string installer = std::string(ZEL_BINARY_DIR) + "/tools/installer/installer";
    ASSERT_TRUE(zeltest::fileExists(installer)) << installer << " is missing; build the `installer` target";
    const std::string name = "Odd $5 `app` \"a\\b\" 'x'";
    const std::string marker = root.file("installed-marker.txt");
    zeltest::writeFile(root.file("pkg/Odd.app/Info.plist"),
                       "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                       "<key>CFBundleIdentifier</key><string>com.example.odd</string>"
                       "<key>CFBundleExecutable</key><string>run me</string>"
                       "<key>CFBundleName</key><string>" + name + "</string></dict></plist>\n");
    zeltest::writeFile(root.file("pkg/Odd.app/run me"), "#!/bin/sh\nprintf '%s\\n' \"$0\" > \"$ZEL_MARKER\"\n", 0755);
    Task tar;
    tar.setLaunchPath("/bin/tar");
    tar.setArguments({"-C", root.file("pkg"), "-czf", root.file("odd.pkg"), "Odd.app"});
    ASSERT_TRUE(tar.launch());
    tar.waitUntilExit();
    ASSERT_EQ(tar.terminationStatus(), 0);

    ScopedEnv home("HOME", root.file("home dir"));
    ASSERT_EQ(mkdir(root.file("home dir").c_str(), 0755), 0);
    Task install;
    install.setLaunchPath(installer);
    install.setArguments({"-pkg", root.file("odd.pkg"), "-target", "CurrentUserHomeDirectory"});
    ASSERT_TRUE(install.launch());
    install.waitUntilExit();
    ASSERT_EQ(install.terminationStatus(), 0);

    const std::string program = realPath(root.file("home dir/Applications/" + name + ".app/run me"));
    ASSERT_FALSE(program.empty());
    EXPECT_EQ(workspace.executableForBundleIdentifier("com.example.odd"), program);
    EXPECT_EQ(workspace.installedExecutableForBundleIdentifier("com.example.odd"), program);
    ScopedEnv markerEnv("ZEL_MARKER", marker);
    platform::Error error;
    ASSERT_TRUE(workspace.launchAppWithBundleIdentifier("com.example.odd", &error)) << error.localizedDescription;
    EXPECT_EQ(waitForLines(marker, 1), program + "\n");
}

// An entry that starts its product through a shell or env names that tool
// first; a shell or env running for something else is no copy of the product.
TEST_F(WorkspaceTest, ShellOrEnvNamedFirstInTheEntryIsNotACopy) {
    const std::string program = installCopyOf("/bin/sleep", "Test Sleeper", "com.example.sleeper", "test sleeper");
    Children children;
    Task& copy = children.start(program, {"1000"});
    ASSERT_TRUE(waitUntilExecuting(copy.processIdentifier(), program));

    // An unrelated shell, waiting in open() on a FIFO (so it has no child to
    // leave behind), and an env that stays env: it blocks printing the
    // environment (over 64 KiB of it) into a pipe nobody reads.
    const std::string fifo = root.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Task& shell = children.start("/bin/sh", {"-c", "read line < \"$0\"", fifo});
    ASSERT_TRUE(waitUntilExecuting(shell.processIdentifier(), realPath("/bin/sh")));
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    struct ReadEnd {
        int fd;
        ~ReadEnd() { close(fd); }
    } readEnd{fds[0]};
    const int savedStdout = dup(STDOUT_FILENO);
    pid_t envPid;
    {
        ScopedEnv filler("ZEL_WORKSPACE_FILLER", std::string(100000, 'x'));
        ASSERT_EQ(dup2(fds[1], STDOUT_FILENO), STDOUT_FILENO);
        envPid = children.start("/usr/bin/env", {}).processIdentifier();
        dup2(savedStdout, STDOUT_FILENO);
        close(savedStdout);
        close(fds[1]);
    }
    ASSERT_TRUE(waitUntilExecuting(envPid, realPath("/usr/bin/env")));

    // The product inside shell code cannot be told; named as a word, it can.
    const std::string quoted = "'\"" + program + "\"'";
    const std::vector<std::pair<std::string, std::optional<std::string>>> entries{
        {"sh -c " + quoted + "' 1000'", std::nullopt},
        {"env ZEL_FROM_ENTRY=1 \"" + program + "\" 1000", program},
        {"/bin/sh -c 'exec \"$0\" 1000' \"" + program + "\"", program}};
    for (const auto& [exec, product] : entries) {
        SCOPED_TRACE(exec);
        writeUserEntry("com.example.sleeper", "Exec=" + exec + "\n");
        EXPECT_EQ(workspace.installedExecutableForBundleIdentifier("com.example.sleeper"), product);
        const std::vector<pid_t> pids = pidsOf(workspace.runningApplicationsWithBundleIdentifier("com.example.sleeper"));
        EXPECT_FALSE(contains(pids, shell.processIdentifier()));
        EXPECT_FALSE(contains(pids, envPid));
    }
    // With the product named after env, the copy itself is still found, and
    // terminating what was found leaves the shell and env alone.
    writeUserEntry("com.example.sleeper", "Exec=env ZEL_FROM_ENTRY=1 \"" + program + "\" 1000\n");
    const auto running = workspace.runningApplicationsWithBundleIdentifier("com.example.sleeper");
    ASSERT_EQ(pidsOf(running), std::vector<pid_t>{copy.processIdentifier()});
    EXPECT_TRUE(running[0].terminate());
    copy.waitUntilExit();
    EXPECT_EQ(copy.terminationStatus(), 128 + SIGTERM);
    EXPECT_TRUE(shell.isRunning());
    EXPECT_EQ(executableOf(envPid), realPath("/usr/bin/env"));
}

TEST_F(WorkspaceTest, ProgramOutsideTheApplicationsFolderIsNoProduct) {
    // The entry's program runs, but it is not an installed application.
    const std::string program = sleeper();
    writeUserEntry("com.example.loose", "Exec=\"" + program + "\" 1000\n");
    Children children;
    Task& task = children.start(program, {"1000"});
    ASSERT_TRUE(waitUntilExecuting(task.processIdentifier(), program));
    EXPECT_EQ(workspace.executableForBundleIdentifier("com.example.loose"), program);
    EXPECT_EQ(workspace.installedExecutableForBundleIdentifier("com.example.loose"), std::nullopt);
    EXPECT_TRUE(workspace.runningApplicationsWithBundleIdentifier("com.example.loose").empty());
}

TEST_F(WorkspaceTest, InstalledExecutableIsTheBundlesOwn) {
    const std::string program = installCopyOf("/bin/sleep", "Test Sleeper", "com.example.sleeper", "test sleeper");
    const std::string app = root.file("home/Applications/Test Sleeper.app");
    EXPECT_EQ(workspace.installedExecutableForBundleIdentifier("com.example.sleeper"), program);
    // An entry naming another file of the bundle still means its executable.
    zeltest::writeFile(app + "/helper", "#!/bin/sh\n", 0755);
    writeUserEntry("com.example.sleeper", "Exec=\"" + app + "/helper\"\n");
    EXPECT_EQ(workspace.installedExecutableForBundleIdentifier("com.example.sleeper"), program);
    // An entry for another identifier does not make this bundle its own.
    writeUserEntry("com.example.other", "Exec=\"" + program + "\"\n");
    EXPECT_EQ(workspace.installedExecutableForBundleIdentifier("com.example.other"), std::nullopt);
    // The package installer's staging folders hold no installed application.
    const std::string staged = root.file("home/Applications/.install-abc123/Test Sleeper.app");
    zeltest::writeFile(staged + "/Info.plist", zeltest::readFile(app + "/Info.plist"));
    copyExecutable("/bin/sleep", staged + "/test sleeper");
    writeUserEntry("com.example.sleeper", "Exec=\"" + staged + "/test sleeper\"\n");
    EXPECT_EQ(workspace.installedExecutableForBundleIdentifier("com.example.sleeper"), std::nullopt);
    // Nor does an executable that leads out of the bundle.
    ASSERT_EQ(unlink(program.c_str()), 0);
    ASSERT_EQ(symlink(realPath("/bin/sleep").c_str(), program.c_str()), 0);
    writeUserEntry("com.example.sleeper", "Exec=\"" + app + "/helper\"\n");
    EXPECT_EQ(workspace.installedExecutableForBundleIdentifier("com.example.sleeper"), std::nullopt);
}

TEST_F(WorkspaceTest, RunningDemoProductIsFoundAndTerminated) {
    const std::string demo = std::string(ZEL_BINARY_DIR) + "/tools/demo/demo-product";
    ASSERT_TRUE(zeltest::fileExists(demo)) << demo << " is missing; build the `demo-product` target";
    const std::string program = installCopyOf(demo, "Demo Product", "com.example.demoproduct", "demo-product");
    const std::string marker = root.file("demo-marker.txt");
    ScopedEnv markerEnv("ZEL_DEMO_MARKER", marker);
    ScopedEnv stay("ZEL_DEMO_STAY", "1");
    Children children;
    Task& copy = children.start(program, {});
    ASSERT_NE(waitForLines(marker, 1).find("launched"), std::string::npos);

    const auto running = workspace.runningApplicationsWithBundleIdentifier("com.example.demoproduct");
    ASSERT_EQ(pidsOf(running), std::vector<pid_t>{copy.processIdentifier()});
    EXPECT_EQ(running[0].executablePath(), program);
    EXPECT_TRUE(running[0].terminate());
    EXPECT_NE(waitForLines(marker, 2).find("terminated " + std::to_string(copy.processIdentifier())),
              std::string::npos);
    copy.waitUntilExit();
    EXPECT_EQ(copy.terminationStatus(), 0);
}

// A product whose executable is a script runs as its interpreter's process.
TEST_F(WorkspaceTest, ScriptProductIsFoundByItsInterpreter) {
    // The script waits in open() on a FIFO: no child process, no CPU.
    const std::string fifo = root.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ScopedEnv fifoEnv("ZEL_TEST_FIFO", fifo);
    const std::string body = "read line < \"$ZEL_TEST_FIFO\"\n";
    for (const char* shebang : {"#!/bin/sh\n", "#!/bin/sh -e\n", "#!/usr/bin/env sh\n"}) {
        SCOPED_TRACE(shebang);
        const std::string program = installProduct("Script", "com.example.script", "run script", shebang + body);
        Children children;
        Task& copy = children.start(program, {});
        // The shell running something else with the script's path as its $0 is not a copy.
        Task& other = children.start("/bin/sh", {"-c", "read line < \"$ZEL_TEST_FIFO\"", program});
        const std::string shell = realPath("/bin/sh");
        ASSERT_TRUE(waitUntilExecuting(copy.processIdentifier(), shell));
        ASSERT_TRUE(waitForArguments(copy.processIdentifier(), 2));
        ASSERT_TRUE(waitUntilExecuting(other.processIdentifier(), shell));

        const auto running = workspace.runningApplicationsWithBundleIdentifier("com.example.script");
        EXPECT_EQ(pidsOf(running), std::vector<pid_t>{copy.processIdentifier()});
        if (running.size() != 1) continue;
        EXPECT_TRUE(running[0].terminate());
        copy.waitUntilExit();
        EXPECT_EQ(copy.terminationStatus(), 128 + SIGTERM);
        EXPECT_TRUE(other.isRunning());
    }
}

// The copy is named by a process handle taken when it was found: once it is
// gone, nothing is signalled, whoever has its pid by then.
TEST_F(WorkspaceTest, CopyThatEndedAfterItWasFoundIsNeverSignalled) {
    const std::string program = installCopyOf("/bin/sleep", "Test Sleeper", "com.example.sleeper", "test sleeper");
    Children children;
    Task& copy = children.start(program, {"1000"});
    const pid_t pid = copy.processIdentifier();
    ASSERT_TRUE(waitUntilExecuting(pid, program));
    const auto running = workspace.runningApplicationsWithBundleIdentifier("com.example.sleeper");
    ASSERT_EQ(pidsOf(running), std::vector<pid_t>{pid});
    EXPECT_FALSE(running[0].isTerminated());

    // Ended, not yet collected: the pid still names the dead process.
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);
    EXPECT_TRUE(running[0].isTerminated());
    EXPECT_FALSE(running[0].terminate());
    // Collected: the pid is free for any new process.
    copy.waitUntilExit();
    EXPECT_EQ(copy.terminationStatus(), 128 + SIGKILL);
    EXPECT_TRUE(running[0].isTerminated());
    EXPECT_FALSE(running[0].terminate());
}

TEST_F(WorkspaceTest, CopyRunByAnotherUserIsNotListed) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to start a process under another user";
    const std::string program = installCopyOf("/bin/sleep", "Test Sleeper", "com.example.sleeper", "test sleeper");
    Children children;
    // Only the real user id differs; the program stays readable for it.
    Task& foreign = children.start("/usr/bin/setpriv", {"--ruid", "65534", program, "1000"});
    Task& own = children.start(program, {"1000"});
    ASSERT_TRUE(waitUntilExecuting(foreign.processIdentifier(), program));
    ASSERT_TRUE(waitUntilExecuting(own.processIdentifier(), program));
    const std::vector<pid_t> pids = pidsOf(workspace.runningApplicationsWithBundleIdentifier("com.example.sleeper"));
    EXPECT_EQ(pids, std::vector<pid_t>{own.processIdentifier()});
}
