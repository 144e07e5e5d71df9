#include "platform/process/Workspace.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <sstream>
#include <sys/stat.h>
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

class WorkspaceTest : public ::testing::Test {
protected:
    zeltest::TempDir root;
    // A private desktop: our user data directory and system data directories.
    ScopedEnv dataHome{"XDG_DATA_HOME", root.file("data home")};
    ScopedEnv dataDirs{"XDG_DATA_DIRS", root.file("system one") + ":" + root.file("system two")};
    Workspace& workspace = Workspace::sharedWorkspace();

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
    const std::string program = sleeper();
    writeUserEntry("com.example.sleeper", "Exec=\"" + program + "\" 1000\n");
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
    const std::string self = realPath("/proc/self/exe");
    writeUserEntry("com.example.self", "Exec=\"" + self + "\"\n");
    Children children;
    pid_t copy;
    {
        ScopedEnv stay("ZEL_WORKSPACE_HELPER_STAY", "1");
        copy = children.start(self, {}).processIdentifier();
    }
    ASSERT_TRUE(waitUntilExecuting(copy, self));
    // Other copies (parallel test runs) may be listed too; we never are.
    const auto running = workspace.runningApplicationsWithBundleIdentifier("com.example.self");
    const std::vector<pid_t> pids = pidsOf(running);
    EXPECT_NE(std::find(pids.begin(), pids.end(), copy), pids.end());
    EXPECT_EQ(std::find(pids.begin(), pids.end(), getpid()), pids.end());
    EXPECT_TRUE(std::is_sorted(pids.begin(), pids.end()));
}

TEST_F(WorkspaceTest, CopyWhoseProgramWasReplacedIsStillListed) {
    // An update replaces the file under a running copy; /proc then shows
    // the old path with " (deleted)" appended.
    const std::string program = sleeper();
    writeUserEntry("com.example.sleeper", "Exec=\"" + program + "\" 1000\n");
    Children children;
    Task& task = children.start(program, {"1000"});
    ASSERT_TRUE(waitUntilExecuting(task.processIdentifier(), program));
    ASSERT_EQ(unlink(program.c_str()), 0);
    copyExecutable("/bin/sleep", program);
    const auto running = workspace.runningApplicationsWithBundleIdentifier("com.example.sleeper");
    EXPECT_EQ(pidsOf(running), std::vector<pid_t>{task.processIdentifier()});
}

TEST_F(WorkspaceTest, TerminateSendsSigterm) {
    const std::string program = sleeper();
    writeUserEntry("com.example.sleeper", "Exec=\"" + program + "\" 1000\n");
    Children children;
    Task& task = children.start(program, {"1000"});
    ASSERT_TRUE(waitUntilExecuting(task.processIdentifier(), program));
    const auto running = workspace.runningApplicationsWithBundleIdentifier("com.example.sleeper");
    ASSERT_EQ(running.size(), 1u);
    EXPECT_TRUE(running[0].terminate());
    task.waitUntilExit();
    EXPECT_EQ(task.terminationStatus(), 128 + SIGTERM);
    EXPECT_FALSE(RunningApplication(-1).terminate());
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
    ScopedEnv markerEnv("ZEL_MARKER", marker);
    platform::Error error;
    ASSERT_TRUE(workspace.launchAppWithBundleIdentifier("com.example.odd", &error)) << error.localizedDescription;
    EXPECT_EQ(waitForLines(marker, 1), program + "\n");
}
