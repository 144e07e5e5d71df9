#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/FileManagerDetail.h"

using platform::Error;
using platform::FileManager;
using platform::Value;
namespace detail = platform::detail;

namespace {

FileManager& fm() { return FileManager::defaultManager(); }

// A scratch directory under `parent`, removed with everything in it.
struct TempDir {
    std::string path;
    explicit TempDir(const std::string& parent = "/tmp") {
        std::string pattern = parent + "/zel-fm-XXXXXX";
        if (mkdtemp(pattern.data())) path = pattern;
    }
    ~TempDir() {
        if (!path.empty()) fm().removeItemAtPath(path);
    }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

void writeText(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

std::string readText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    lstat(path.c_str(), &st);
    return st.st_mode;
}

Value::Bytes bytesOf(const std::string& s) { return Value::Bytes(s.begin(), s.end()); }

// A tree with a nested directory, an executable and a symbolic link.
void makeTree(const std::string& root) {
    ASSERT_TRUE(fm().createDirectoryAtPath(root + "/sub/deeper", true));
    writeText(root + "/top.txt", "top");
    writeText(root + "/sub/tool", "#!/bin/sh\n");
    chmod((root + "/sub/tool").c_str(), 0751);
    writeText(root + "/sub/deeper/leaf", "leaf");
    ASSERT_EQ(symlink("top.txt", (root + "/link").c_str()), 0);
    chmod((root + "/sub").c_str(), 0750);
}

void expectTree(const std::string& root) {
    EXPECT_EQ(readText(root + "/top.txt"), "top");
    EXPECT_EQ(readText(root + "/sub/deeper/leaf"), "leaf");
    EXPECT_EQ(modeOf(root + "/sub/tool") & 07777, 0751u);
    EXPECT_EQ(modeOf(root + "/sub") & 07777, 0750u);
    EXPECT_TRUE(S_ISLNK(modeOf(root + "/link")));
    EXPECT_EQ(readText(root + "/link"), "top");
}

// Environment for the directory decisions: only what the test sets.
detail::EnvironmentGetter environment(std::map<std::string, std::string> values) {
    return [values](const char* name) -> std::optional<std::string> {
        auto it = values.find(name);
        if (it == values.end()) return std::nullopt;
        return it->second;
    };
}

}  // namespace

TEST(FileManagerFiles, CreateReadAndOverwriteAtomically) {
    TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    std::string file = dir / "data.bin";
    Error error;
    ASSERT_TRUE(fm().createFileAtPath(file, bytesOf(std::string("a\0b", 3)), &error)) << error.localizedDescription;
    EXPECT_EQ(fm().contentsAtPath(file).dataValue(), bytesOf(std::string("a\0b", 3)));
    ASSERT_TRUE(fm().createFileAtPath(file, bytesOf("second")));
    EXPECT_EQ(fm().contentsAtPath(file).dataValue(), bytesOf("second"));
    ASSERT_TRUE(fm().createFileAtPath(dir / "empty", {}));
    EXPECT_TRUE(fm().contentsAtPath(dir / "empty").isData());
    // No temporary files are left behind.
    EXPECT_EQ(fm().contentsOfDirectoryAtPath(dir.path), (std::vector<std::string>{"data.bin", "empty"}));

    EXPECT_TRUE(fm().contentsAtPath(dir / "missing").isNil());
    EXPECT_TRUE(fm().contentsAtPath(dir.path).isNil());  // a directory is not a file
    EXPECT_FALSE(fm().createFileAtPath(dir / "no/such/dir/file", bytesOf("x"), &error));
    EXPECT_EQ(error.domain, "NSCocoaErrorDomain");
    EXPECT_EQ(error.code, 4);
}

TEST(FileManagerFiles, DirectoriesAndListing) {
    TempDir dir;
    bool isDirectory = true;
    EXPECT_FALSE(fm().fileExistsAtPath(dir / "a", &isDirectory));
    EXPECT_FALSE(isDirectory);
    ASSERT_TRUE(fm().createDirectoryAtPath(dir / "a/b/c", true));
    EXPECT_TRUE(fm().fileExistsAtPath(dir / "a/b/c", &isDirectory));
    EXPECT_TRUE(isDirectory);
    EXPECT_TRUE(fm().createDirectoryAtPath(dir / "a/b/c", true));  // already there is fine

    Error error;
    EXPECT_FALSE(fm().createDirectoryAtPath(dir / "a", false, &error));
    EXPECT_EQ(error.code, 516);
    EXPECT_FALSE(fm().createDirectoryAtPath(dir / "x/y", false, &error));
    EXPECT_EQ(error.code, 4);
    writeText(dir / "file", "x");
    EXPECT_FALSE(fm().createDirectoryAtPath(dir / "file/sub", true, &error));
    EXPECT_TRUE(fm().fileExistsAtPath(dir / "file", &isDirectory));
    EXPECT_FALSE(isDirectory);

    ASSERT_TRUE(fm().createDirectoryAtPath(dir / "private", false, nullptr, 0700));
    EXPECT_EQ(modeOf(dir / "private") & 0777, 0700u);

    writeText(dir / "B", "");
    writeText(dir / ".hidden", "");
    EXPECT_EQ(fm().contentsOfDirectoryAtPath(dir.path),
              (std::vector<std::string>{".hidden", "B", "a", "file", "private"}));
    EXPECT_TRUE(fm().contentsOfDirectoryAtPath(dir / "missing", &error).empty());
    EXPECT_EQ(error.code, 260);
}

TEST(FileManagerRemove, TreesWithoutFollowingLinks) {
    TempDir dir, outside;
    makeTree(dir / "tree");
    writeText(outside / "keep", "keep");
    ASSERT_EQ(symlink(outside.path.c_str(), (dir / "tree/sub/outside").c_str()), 0);

    Error error;
    ASSERT_TRUE(fm().removeItemAtPath(dir / "tree", &error)) << error.localizedDescription;
    EXPECT_FALSE(fm().fileExistsAtPath(dir / "tree"));
    EXPECT_EQ(readText(outside / "keep"), "keep");

    EXPECT_FALSE(fm().removeItemAtPath(dir / "tree", &error));
    EXPECT_EQ(error.domain, "NSCocoaErrorDomain");
    EXPECT_EQ(error.code, 4);
    EXPECT_NE(error.localizedDescription.find(dir / "tree"), std::string::npos);
    EXPECT_NE(error.localizedDescription.find(std::strerror(ENOENT)), std::string::npos);
    EXPECT_EQ(error.userInfo["NSFilePath"].stringValue(), dir / "tree");
}

TEST(FileManagerMove, WithinOneFileSystem) {
    TempDir dir;
    makeTree(dir / "src");
    Error error;
    ASSERT_TRUE(fm().moveItemAtPath(dir / "src", dir / "dst", &error)) << error.localizedDescription;
    EXPECT_FALSE(fm().fileExistsAtPath(dir / "src"));
    expectTree(dir / "dst");

    writeText(dir / "a", "A");
    writeText(dir / "b", "B");
    EXPECT_FALSE(fm().moveItemAtPath(dir / "a", dir / "b", &error));
    EXPECT_EQ(error.code, 516);
    EXPECT_EQ(readText(dir / "a"), "A");
    EXPECT_EQ(readText(dir / "b"), "B");
    EXPECT_FALSE(fm().moveItemAtPath(dir / "a", dir / "dst", &error));  // onto a directory too
    EXPECT_EQ(error.code, 516);

    EXPECT_FALSE(fm().moveItemAtPath(dir / "missing", dir / "c", &error));
    EXPECT_EQ(error.code, 4);
}

TEST(FileManagerMove, AcrossFileSystems) {
    struct stat tmp {}, shm {};
    if (stat("/tmp", &tmp) != 0 || stat("/dev/shm", &shm) != 0 || tmp.st_dev == shm.st_dev ||
        access("/dev/shm", W_OK) != 0) {
        GTEST_SKIP() << "needs /tmp and a writable /dev/shm on different file systems";
    }
    TempDir here, there("/dev/shm");
    ASSERT_FALSE(there.path.empty());
    makeTree(here / "tree");
    Error error;
    ASSERT_TRUE(fm().moveItemAtPath(here / "tree", there / "tree", &error)) << error.localizedDescription;
    EXPECT_FALSE(fm().fileExistsAtPath(here / "tree"));
    expectTree(there / "tree");
    EXPECT_EQ(fm().contentsOfDirectoryAtPath(there.path), std::vector<std::string>{"tree"});

    writeText(here / "single", "one");
    chmod((here / "single").c_str(), 0640);
    ASSERT_TRUE(fm().moveItemAtPath(here / "single", there / "single", &error));
    EXPECT_EQ(readText(there / "single"), "one");
    EXPECT_EQ(modeOf(there / "single") & 07777, 0640u);

    writeText(here / "again", "new");
    EXPECT_FALSE(fm().moveItemAtPath(here / "again", there / "single", &error));
    EXPECT_EQ(error.code, 516);
    EXPECT_EQ(readText(there / "single"), "one");
}

TEST(FileManagerCopy, TreesAndRefusals) {
    TempDir dir;
    makeTree(dir / "src");
    Error error;
    ASSERT_TRUE(fm().copyItemAtPath(dir / "src", dir / "copy", &error)) << error.localizedDescription;
    expectTree(dir / "src");
    expectTree(dir / "copy");
    EXPECT_FALSE(fm().copyItemAtPath(dir / "src", dir / "copy", &error));
    EXPECT_EQ(error.code, 516);
    EXPECT_FALSE(fm().copyItemAtPath(dir / "missing", dir / "other", &error));
    EXPECT_EQ(error.code, 260);
    EXPECT_EQ(fm().contentsOfDirectoryAtPath(dir.path), (std::vector<std::string>{"copy", "src"}));
}

TEST(FileManagerPaths, JoiningAndTrimming) {
    using platform::appendPathComponent;
    using platform::deletingLastPathComponent;
    EXPECT_EQ(appendPathComponent("/a", "b"), "/a/b");
    EXPECT_EQ(appendPathComponent("/a/", "/b"), "/a/b");
    EXPECT_EQ(appendPathComponent("/", "b"), "/b");
    EXPECT_EQ(appendPathComponent("a", ""), "a");
    EXPECT_EQ(appendPathComponent("", "b"), "b");
    EXPECT_EQ(deletingLastPathComponent("/a/b"), "/a");
    EXPECT_EQ(deletingLastPathComponent("/a/b/"), "/a");
    EXPECT_EQ(deletingLastPathComponent("/a"), "/");
    EXPECT_EQ(deletingLastPathComponent("/"), "/");
    EXPECT_EQ(deletingLastPathComponent("a"), ".");
    EXPECT_EQ(deletingLastPathComponent(""), ".");
    EXPECT_EQ(deletingLastPathComponent("a//b"), "a");
}

TEST(UserDirectories, HomeCachesAndData) {
    EXPECT_EQ(detail::homeDirectory(environment({{"HOME", "/home/me"}})), "/home/me");
    EXPECT_FALSE(detail::homeDirectory(environment({{"HOME", ""}})).empty());  // from the password database
    EXPECT_EQ(detail::userCachesDirectory(environment({{"HOME", "/home/me"}})), "/home/me/.cache");
    EXPECT_EQ(detail::userCachesDirectory(environment({{"HOME", "/home/me"}, {"XDG_CACHE_HOME", "rel"}})),
              "/home/me/.cache");
    EXPECT_EQ(detail::userCachesDirectory(environment({{"HOME", "/h"}, {"XDG_CACHE_HOME", "/c/"}})), "/c");
    EXPECT_EQ(detail::userDataDirectory(environment({{"HOME", "/h"}})), "/h/.local/share");
    EXPECT_EQ(detail::userDataDirectory(environment({{"HOME", "/h"}, {"XDG_DATA_HOME", "/d"}})), "/d");
}

TEST(TemporaryDirectory, TMPDIROnlyWhenPrivate) {
    TempDir base;
    std::string shared = base / "shared", mine = base / "mine", runtime = base / "runtime";
    ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
    chmod(shared.c_str(), 0777);
    ASSERT_EQ(mkdir(mine.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);

    // A world-writable TMPDIR is passed over, and left as it was.
    EXPECT_EQ(detail::chooseTemporaryDirectory(environment({{"TMPDIR", shared}, {"XDG_RUNTIME_DIR", runtime}})),
              runtime + "/tmp/");
    EXPECT_EQ(modeOf(shared) & 0777, 0777u);
    EXPECT_EQ(modeOf(runtime + "/tmp") & 0777, 0700u);

    EXPECT_EQ(detail::chooseTemporaryDirectory(environment({{"TMPDIR", mine}})), mine + "/");
    EXPECT_EQ(detail::chooseTemporaryDirectory(environment({{"TMPDIR", mine + "/"}})), mine + "/");
    // Relative, or a link to a private directory: not trusted.
    EXPECT_EQ(detail::chooseTemporaryDirectory(environment({{"TMPDIR", "mine"}, {"XDG_RUNTIME_DIR", runtime}})),
              runtime + "/tmp/");
    ASSERT_EQ(symlink(mine.c_str(), (base / "link").c_str()), 0);
    EXPECT_EQ(detail::chooseTemporaryDirectory(environment({{"TMPDIR", base / "link"}, {"XDG_RUNTIME_DIR", runtime}})),
              runtime + "/tmp/");
}

TEST(TemporaryDirectory, CandidatesWeOwnAreTightenedLinksSkipped) {
    TempDir base;
    std::string runtime = base / "runtime", caches = base / "caches";
    ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((runtime + "/tmp").c_str(), 0700), 0);
    chmod((runtime + "/tmp").c_str(), 0755);
    EXPECT_EQ(detail::chooseTemporaryDirectory(environment({{"XDG_RUNTIME_DIR", runtime}})), runtime + "/tmp/");
    EXPECT_EQ(modeOf(runtime + "/tmp") & 0777, 0700u);

    // A link planted at the runtime candidate is skipped; the caches one is made.
    fm().removeItemAtPath(runtime + "/tmp");
    ASSERT_EQ(symlink(base.path.c_str(), (runtime + "/tmp").c_str()), 0);
    EXPECT_EQ(detail::chooseTemporaryDirectory(environment({{"XDG_RUNTIME_DIR", runtime}, {"XDG_CACHE_HOME", caches}})),
              caches + "/tmp/");
    EXPECT_TRUE(S_ISLNK(modeOf(runtime + "/tmp")));
    EXPECT_EQ(modeOf(caches + "/tmp") & 0777, 0700u);

    // The caches default follows HOME.
    EXPECT_EQ(detail::chooseTemporaryDirectory(environment({{"HOME", base / "home"}})), base / "home/.cache/tmp/");
}

TEST(TemporaryDirectory, SomeoneElsesDirectoryIsSkipped) {
    if (geteuid() != 0) GTEST_SKIP() << "giving a directory to another user needs root";
    TempDir base;
    std::string runtime = base / "runtime", caches = base / "caches";
    ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((runtime + "/tmp").c_str(), 0700), 0);
    ASSERT_EQ(chown((runtime + "/tmp").c_str(), 65534, 65534), 0);
    ASSERT_EQ(mkdir((base / "theirs").c_str(), 0700), 0);
    ASSERT_EQ(chown((base / "theirs").c_str(), 65534, 65534), 0);
    EXPECT_EQ(detail::chooseTemporaryDirectory(environment(
                  {{"TMPDIR", base / "theirs"}, {"XDG_RUNTIME_DIR", runtime}, {"XDG_CACHE_HOME", caches}})),
              caches + "/tmp/");
}

TEST(TemporaryDirectory, LastResortIsAFreshPrivateDirectory) {
    TempDir fallback;
    // Nothing under /proc can be created, so every earlier candidate fails.
    std::string chosen = detail::chooseTemporaryDirectory(environment({{"HOME", "/proc/zel-no-home"}}), fallback.path);
    EXPECT_EQ(chosen.rfind(fallback.path + "/zel-", 0), 0u) << chosen;
    EXPECT_EQ(chosen.back(), '/');
    EXPECT_TRUE(detail::isPrivateDirectory(chosen, false));
}

TEST(TemporaryDirectory, ProcessWideAnswerIsPrivateAndStable) {
    std::string dir = platform::temporaryDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), '/');
    EXPECT_TRUE(detail::isPrivateDirectory(dir, false));
    EXPECT_EQ(platform::temporaryDirectory(), dir);
}
