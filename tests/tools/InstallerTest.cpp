// The package installer program, run as the web installer runs it, on
// packages built here.

#include <algorithm>
#include <archive.h>
#include <archive_entry.h>
#include <csignal>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/TempDir.h"

extern char** environ;

namespace {

const std::string kInstaller = std::string(ZEL_BINARY_DIR) + "/tools/installer/installer";
const std::string kMakeDemoPackage = std::string(ZEL_SOURCE_DIR) + "/tools/demo/make-demo-package.sh";

// Writes a .tar.gz member by member, including the members a hostile
// package would hold.
class PackageBuilder {
public:
    explicit PackageBuilder(const std::string& path) : archive_(archive_write_new()) {
        archive_write_add_filter_gzip(archive_.get());
        archive_write_set_format_pax_restricted(archive_.get());
        EXPECT_EQ(archive_write_open_filename(archive_.get(), path.c_str()), ARCHIVE_OK);
    }
    ~PackageBuilder() { close(); }

    PackageBuilder& directory(const std::string& name, unsigned mode = 0755) {
        return add(name, AE_IFDIR, mode, {}, [](archive_entry*) {});
    }
    PackageBuilder& file(const std::string& name, const std::string& contents, unsigned mode = 0644) {
        return add(name, AE_IFREG, mode, contents, [](archive_entry*) {});
    }
    PackageBuilder& symlink(const std::string& name, const std::string& target) {
        return add(name, AE_IFLNK, 0777, {}, [&](archive_entry* e) { archive_entry_set_symlink(e, target.c_str()); });
    }
    PackageBuilder& hardlink(const std::string& name, const std::string& target) {
        return add(name, AE_IFREG, 0644, {}, [&](archive_entry* e) { archive_entry_set_hardlink(e, target.c_str()); });
    }
    PackageBuilder& device(const std::string& name) {
        return add(name, AE_IFCHR, 0644, {}, [](archive_entry* e) { archive_entry_set_rdev(e, makedev(1, 3)); });
    }
    void close() {
        if (!archive_) return;
        EXPECT_EQ(archive_write_close(archive_.get()), ARCHIVE_OK);
        archive_.reset();
    }

private:
    struct Free {
        void operator()(archive* a) const { archive_write_free(a); }
    };
    struct EntryFree {
        void operator()(archive_entry* e) const { archive_entry_free(e); }
    };

    template <typename Extra>
    PackageBuilder& add(const std::string& name, unsigned type, unsigned mode, const std::string& contents, Extra extra) {
        std::unique_ptr<archive_entry, EntryFree> entry(archive_entry_new());
        archive_entry_set_pathname(entry.get(), name.c_str());
        archive_entry_set_filetype(entry.get(), type);
        archive_entry_set_perm(entry.get(), mode);
        archive_entry_set_size(entry.get(), static_cast<la_int64_t>(contents.size()));
        archive_entry_set_mtime(entry.get(), 1700000000, 0);
        extra(entry.get());
        EXPECT_EQ(archive_write_header(archive_.get(), entry.get()), ARCHIVE_OK) << archive_error_string(archive_.get());
        if (!contents.empty()) {
            EXPECT_EQ(archive_write_data(archive_.get(), contents.data(), contents.size()),
                      static_cast<la_ssize_t>(contents.size()));
        }
        return *this;
    }

    std::unique_ptr<archive, Free> archive_;
};

// One member of a plain tar, written by hand: libarchive's writers never give
// a hard link data of its own, which pax allows and a hostile package may do.
std::string tarMember(const std::string& name, char type, unsigned mode, const std::string& data,
                      const std::string& link = {}) {
    std::string header(512, '\0');
    auto put = [&](size_t offset, const std::string& value) { header.replace(offset, value.size(), value); };
    auto octal = [](unsigned long long value, int digits) {
        char text[32];
        std::snprintf(text, sizeof text, "%0*llo", digits, value);
        return std::string(text);
    };
    put(0, name);
    put(100, octal(mode, 7));
    put(108, octal(0, 7));
    put(116, octal(0, 7));
    put(124, octal(data.size(), 11));
    put(136, octal(1700000000, 11));
    put(148, std::string(8, ' '));
    header[156] = type;
    put(157, link);
    put(257, "ustar");
    put(263, "00");
    unsigned sum = 0;
    for (unsigned char c : header) sum += c;
    put(148, octal(sum, 6));
    header[154] = '\0';
    std::string member = header + data;
    member.resize((member.size() + 511) / 512 * 512, '\0');
    return member;
}

std::string infoPlist(const std::string& id, const std::string& executable, const std::string& name,
                      const std::string& version = "1.0", const std::string& icon = {}) {
    std::string text =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n<dict>\n";
    auto add = [&](const char* key, const std::string& value) {
        if (value.empty()) return;
        std::string escaped;
        for (char c : value) {
            if (c == '&') {
                escaped += "&amp;";
            } else if (c == '<') {
                escaped += "&lt;";
            } else {
                escaped += c;
            }
        }
        text += std::string("  <key>") + key + "</key>\n  <string>" + escaped + "</string>\n";
    };
    add("CFBundleIdentifier", id);
    add("CFBundleExecutable", executable);
    add("CFBundleName", name);
    add("CFBundleShortVersionString", version);
    add("CFBundleIconFile", icon);
    return text + "</dict>\n</plist>\n";
}

const std::string kProgram = "#!/bin/sh\necho hello\n";

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

std::vector<std::string> listDirectory(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(path.c_str())) {
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

unsigned modeOf(const std::string& path) {
    struct stat st{};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0u;
}

// Everything under `top` (itself included) that another user could write, or
// that carries a set-ID or sticky bit; symbolic links have no modes of their own.
std::vector<std::string> writableByOthers(const std::string& top) {
    std::vector<std::string> found;
    auto check = [&](const std::string& path) {
        struct stat st{};
        if (lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode) && (st.st_mode & 07022) != 0) found.push_back(path);
    };
    check(top);
    for (const auto& item : std::filesystem::recursive_directory_iterator(top)) check(item.path());
    return found;
}

struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

class InstallerTest : public ::testing::Test {
protected:
    zeltest::TempDir root;
    // A home with a space in it, so every path the installer writes needs quoting.
    const std::string home = root.file("home dir");
    const std::string dataHome = root.file("data");
    const std::string applications = home + "/Applications";
    const std::string entries = dataHome + "/applications";
    const std::string outside = root.file("outside");

    void SetUp() override {
        ASSERT_TRUE(zeltest::fileExists(kInstaller)) << kInstaller << " is missing; build the `installer` target";
        ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    }

    std::string package(const std::string& name) const { return root.file(name); }

    // Runs a program with HOME and XDG_DATA_HOME pointing into the test's folder,
    // and `extraEnv` ("NAME=value") added.
    RunResult run(const std::string& program, const std::vector<std::string>& arguments,
                  const std::vector<std::string>& extraEnv = {}) {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string item = *e;
            if (item.rfind("HOME=", 0) != 0 && item.rfind("XDG_DATA_HOME=", 0) != 0 &&
                item.rfind("ZEL_INSTALLER_TESTING_", 0) != 0)
                env.push_back(item);
        }
        env.push_back("HOME=" + home);
        env.push_back("XDG_DATA_HOME=" + dataHome);
        env.insert(env.end(), extraEnv.begin(), extraEnv.end());
        std::vector<char*> envp;
        for (auto& item : env) envp.push_back(item.data());
        envp.push_back(nullptr);

        std::vector<std::string> args{program};
        args.insert(args.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);

        const std::string outPath = root.file("stdout.txt");
        const std::string errPath = root.file("stderr.txt");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = -1;
        RunResult result;
        const int err = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(err, 0) << program;
        if (err != 0) return result;
        int raw = 0;
        while (waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
        }
        result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        result.out = zeltest::readFile(outPath);
        result.err = zeltest::readFile(errPath);
        unlink(outPath.c_str());
        unlink(errPath.c_str());
        return result;
    }

    std::vector<std::string> installArguments(const std::string& pkg) const {
        return {"-dumplog", "-verbose", "-pkg", pkg, "-target", "CurrentUserHomeDirectory"};
    }
    RunResult install(const std::string& pkg, const std::vector<std::string>& env = {}) {
        return run(kInstaller, installArguments(pkg), env);
    }

    // Permissions only bind a user other than root: as root, the test's folder
    // is handed to `nobody` (handToInstallingUser) and the installer runs as
    // that user; otherwise both are the test's own user.
    static bool runningAsRoot() { return geteuid() == 0; }
    static constexpr uid_t kNobody = 65534;
    void handToInstallingUser() {
        if (!runningAsRoot()) return;
        ASSERT_EQ(lchown(root.path().c_str(), kNobody, kNobody), 0);
        for (const auto& item : std::filesystem::recursive_directory_iterator(root.path()))
            ASSERT_EQ(lchown(item.path().c_str(), kNobody, kNobody), 0) << item.path();
    }
    RunResult installAsInstallingUser(const std::string& pkg) {
        if (!runningAsRoot()) return install(pkg);
        const std::string nobody = std::to_string(kNobody);
        std::vector<std::string> args{"--reuid=" + nobody, "--regid=" + nobody, "--clear-groups", "--", kInstaller};
        const std::vector<std::string> rest = installArguments(pkg);
        args.insert(args.end(), rest.begin(), rest.end());
        return run("/usr/bin/setpriv", args);
    }

    // A well-formed package of `name`.app, installed as `bundleName`.
    std::string goodPackage(const std::string& file, const std::string& bundleName = "Sample App",
                            const std::string& version = "1.0") {
        const std::string path = package(file);
        PackageBuilder(path)
            .directory("Sample.app")
            .file("Sample.app/Info.plist", infoPlist("com.example.sample", "sample", bundleName, version, "icon"))
            .file("Sample.app/sample", kProgram + "# " + version + "\n", 0755)
            .file("Sample.app/icon.png", "PNG")
            .directory("Sample.app/Resources")
            .file("Sample.app/Resources/" + version + ".txt", version)
            .symlink("Sample.app/Current", "Resources")
            .hardlink("Sample.app/Resources/launcher", "Sample.app/sample");
        return path;
    }

    std::vector<std::string> stagingFolders() const {
        std::vector<std::string> found;
        for (const std::string& name : listDirectory(applications))
            if (name.rfind(".install-", 0) == 0) found.push_back(applications + "/" + name);
        return found;
    }

    // `app` holds exactly goodPackage()'s copy of `version`, nothing missing.
    void expectComplete(const std::string& app, const std::string& version) {
        SCOPED_TRACE(app + " at " + version);
        EXPECT_EQ(listDirectory(app),
                  (std::vector<std::string>{"Current", "Info.plist", "Resources", "icon.png", "sample"}));
        EXPECT_EQ(listDirectory(app + "/Resources"), (std::vector<std::string>{version + ".txt", "launcher"}));
        EXPECT_EQ(zeltest::readFile(app + "/sample"), kProgram + "# " + version + "\n");
        EXPECT_EQ(zeltest::readFile(app + "/Current/launcher"), kProgram + "# " + version + "\n");
        EXPECT_NE(zeltest::readFile(app + "/Info.plist").find("<string>" + version + "</string>"), std::string::npos);
    }

    // After a refused package: exit 1, an error line, nothing installed,
    // registered or written outside.
    void expectRefused(const RunResult& result, const std::vector<std::string>& applicationsBefore = {}) {
        EXPECT_EQ(result.status, 1) << result.err;
        EXPECT_NE(result.err.find("installer: Error - "), std::string::npos) << result.err;
        EXPECT_EQ(result.out.find("The install was successful"), std::string::npos);
        EXPECT_EQ(listDirectory(applications), applicationsBefore);
        if (applicationsBefore.empty()) {
            EXPECT_TRUE(listDirectory(entries).empty());
        }
        EXPECT_TRUE(listDirectory(outside).empty());
        EXPECT_FALSE(zeltest::fileExists(root.file("evil")));
        EXPECT_FALSE(zeltest::fileExists(home + "/evil"));
    }
};

}  // namespace

TEST_F(InstallerTest, InstallsTheApplicationAndItsDesktopEntry) {
    const RunResult result = install(goodPackage("sample.pkg"));
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out,
              "installer: Package name is Sample App\n"
              "installer: Installing at base path " + applications + "\n"
              "installer: The install was successful.\n");
    EXPECT_EQ(result.err.find("Error"), std::string::npos) << result.err;

    // Named after CFBundleName, not after the folder in the archive.
    const std::string app = applications + "/Sample App.app";
    EXPECT_EQ(listDirectory(applications), std::vector<std::string>{"Sample App.app"});
    EXPECT_EQ(listDirectory(app),
              (std::vector<std::string>{"Current", "Info.plist", "Resources", "icon.png", "sample"}));
    struct stat st{};
    ASSERT_EQ(stat((app + "/sample").c_str(), &st), 0);
    EXPECT_NE(st.st_mode & 0100, 0u);
    EXPECT_EQ(zeltest::readFile(app + "/Current/1.0.txt"), "1.0");
    EXPECT_EQ(zeltest::readFile(app + "/Resources/launcher"), kProgram + "# 1.0\n");

    const std::string entry = zeltest::readFile(entries + "/com.example.sample.desktop");
    EXPECT_EQ(entry,
              "[Desktop Entry]\n"
              "Type=Application\n"
              "Version=1.0\n"
              "Name=Sample App\n"
              "Exec=\"" + app + "/sample\"\n"
              "TryExec=" + app + "/sample\n"
              "Icon=" + app + "/icon.png\n"
              "Terminal=false\n"
              "X-Bundle-Identifier=com.example.sample\n"
              "X-Bundle-Version=1.0\n");
    EXPECT_EQ(listDirectory(entries), std::vector<std::string>{"com.example.sample.desktop"});
}

TEST_F(InstallerTest, ExecQuotingEscapesReservedCharacters) {
    // $, `, " and \ are escaped inside the quotes, and the string escape
    // then doubles every backslash.
    const std::string pkg = package("odd.pkg");
    PackageBuilder(pkg)
        .file("Odd.app/Info.plist", infoPlist("com.example.odd", "run", "Cost $5 `cheap` \"a\\b\" 'x'"))
        .file("Odd.app/run", kProgram, 0755);
    const RunResult result = install(pkg);
    ASSERT_EQ(result.status, 0) << result.err;
    const std::string app = applications + "/Cost $5 `cheap` \"a\\b\" 'x'.app";
    EXPECT_TRUE(zeltest::fileExists(app + "/run"));
    const std::string entry = zeltest::readFile(entries + "/com.example.odd.desktop");
    EXPECT_NE(entry.find("\nExec=\"" + applications +
                         "/Cost \\\\$5 \\\\`cheap\\\\` \\\\\"a\\\\\\\\b\\\\\" 'x'.app/run\"\n"),
              std::string::npos)
        << entry;
    EXPECT_NE(entry.find("\nTryExec=" + applications + "/Cost $5 `cheap` \"a\\\\b\" 'x'.app/run\n"), std::string::npos)
        << entry;
    EXPECT_NE(entry.find("\nName=Cost $5 `cheap` \"a\\\\b\" 'x'\n"), std::string::npos) << entry;
    EXPECT_EQ(entry.find("Icon="), std::string::npos);  // the package has none
}

TEST_F(InstallerTest, PercentInNamesRefused) {
    // The desktop would double it in Exec but then fail to find the program.
    const std::string pkg = package("percent.pkg");
    PackageBuilder(pkg)
        .file("P.app/Info.plist", infoPlist("com.example.percent", "run", "100% Pure"))
        .file("P.app/run", kProgram, 0755);
    expectRefused(install(pkg));
}

TEST_F(InstallerTest, PlainPathIsNotQuotedAndOptionsMayComeInAnyOrder) {
    const std::string plainHome = root.file("plainhome");
    ASSERT_EQ(mkdir(plainHome.c_str(), 0755), 0);
    const std::string pkg = package("plain.pkg");
    PackageBuilder(pkg)
        .file("./Plain.app/Info.plist", infoPlist("com.example.plain", "plain", "Plain"))
        .file("./Plain.app/plain", kProgram, 0755);
    // Through sh so HOME can differ from the fixture's.
    const RunResult result = run("/bin/sh", {"-c", "HOME=\"$0\" exec \"$1\" -pkg \"$2\" -verbose -target CurrentUserHomeDirectory -dumplog",
                                       plainHome, kInstaller, pkg});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("installer: The install was successful."), std::string::npos);
    EXPECT_NE(result.err.find("<Debug>"), std::string::npos);  // -dumplog
    const std::string entry = zeltest::readFile(entries + "/com.example.plain.desktop");
    EXPECT_NE(entry.find("\nExec=" + plainHome + "/Applications/Plain.app/plain\n"), std::string::npos) << entry;
}

TEST_F(InstallerTest, QuietWithoutVerbose) {
    const RunResult result = run(kInstaller, {"-pkg", goodPackage("quiet.pkg"), "-target", "CurrentUserHomeDirectory"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(zeltest::fileExists(applications + "/Sample App.app/sample"));
}

TEST_F(InstallerTest, ReinstallReplacesThePreviousCopy) {
    ASSERT_EQ(install(goodPackage("v1.pkg", "Sample App", "1.0")).status, 0);
    const std::string app = applications + "/Sample App.app";
    ASSERT_TRUE(zeltest::fileExists(app + "/Resources/1.0.txt"));
    zeltest::writeFile(app + "/user-added.txt", "left over");

    const RunResult result = install(goodPackage("v2.pkg", "Sample App", "2.0"));
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_FALSE(zeltest::fileExists(app + "/Resources/1.0.txt"));
    EXPECT_FALSE(zeltest::fileExists(app + "/user-added.txt"));
    EXPECT_TRUE(zeltest::fileExists(app + "/Resources/2.0.txt"));
    EXPECT_EQ(zeltest::readFile(app + "/sample"), kProgram + "# 2.0\n");
    // No staging folder or old copy left behind.
    EXPECT_EQ(listDirectory(applications), std::vector<std::string>{"Sample App.app"});
    EXPECT_NE(zeltest::readFile(entries + "/com.example.sample.desktop").find("X-Bundle-Version=2.0\n"),
              std::string::npos);
}

TEST_F(InstallerTest, RefusedPackageLeavesTheInstalledCopyAlone) {
    ASSERT_EQ(install(goodPackage("v1.pkg")).status, 0);
    const std::string entryBefore = zeltest::readFile(entries + "/com.example.sample.desktop");
    const std::string pkg = package("bad.pkg");
    PackageBuilder(pkg)
        .file("Sample.app/Info.plist", infoPlist("com.example.sample", "sample", "Sample App", "9.0"))
        .file("Sample.app/sample", kProgram, 0755)
        .file("Sample.app/../../evil", "x");
    expectRefused(install(pkg), {"Sample App.app"});
    EXPECT_TRUE(zeltest::fileExists(applications + "/Sample App.app/Resources/1.0.txt"));
    EXPECT_EQ(zeltest::readFile(entries + "/com.example.sample.desktop"), entryBefore);
}

TEST_F(InstallerTest, FailedRegistrationPutsThePreviousCopyBack) {
    ASSERT_EQ(install(goodPackage("v1.pkg", "Sample App", "1.0")).status, 0);
    const std::string entryBefore = zeltest::readFile(entries + "/com.example.sample.desktop");
    // The data directory becomes a file: the desktop entry cannot be written.
    ASSERT_EQ(rename(dataHome.c_str(), root.file("data.saved").c_str()), 0);
    zeltest::writeFile(dataHome, "not a folder");

    const RunResult result = install(goodPackage("v2.pkg", "Sample App", "2.0"));
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("installer: Error - "), std::string::npos) << result.err;
    EXPECT_EQ(listDirectory(applications), std::vector<std::string>{"Sample App.app"});
    EXPECT_TRUE(zeltest::fileExists(applications + "/Sample App.app/Resources/1.0.txt"));
    EXPECT_FALSE(zeltest::fileExists(applications + "/Sample App.app/Resources/2.0.txt"));
    EXPECT_EQ(zeltest::readFile(root.file("data.saved/applications/com.example.sample.desktop")), entryBefore);
}

TEST_F(InstallerTest, FailedRegistrationOfAFirstInstallLeavesNothing) {
    zeltest::writeFile(dataHome, "not a folder");
    const RunResult result = install(goodPackage("v1.pkg"));
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(listDirectory(applications).empty());
}

TEST_F(InstallerTest, RefusesMembersThatWouldLandOutside) {
    struct Case {
        const char* what;
        std::function<void(PackageBuilder&)> add;
    };
    const std::vector<Case> cases{
        {"parent member", [](PackageBuilder& p) { p.file("../evil", "x"); }},
        {"parent inside the app", [](PackageBuilder& p) { p.file("App.app/../../evil", "x"); }},
        {"absolute member", [&](PackageBuilder& p) { p.file(outside + "/abs", "x"); }},
        {"symlink leading outside, then a file through it",
         [&](PackageBuilder& p) {
             p.symlink("App.app/link", "../../../outside");
             p.file("App.app/link/evil", "x");
         }},
        {"absolute symlink, then a file through it",
         [&](PackageBuilder& p) {
             p.symlink("App.app/link", outside);
             p.file("App.app/link/evil", "x");
         }},
        {"hard link to a file outside", [&](PackageBuilder& p) { p.hardlink("App.app/hl", outside + "/../evil"); }},
        {"hard link with a relative path outside", [](PackageBuilder& p) { p.hardlink("App.app/hl", "../evil"); }},
        {"device file", [](PackageBuilder& p) { p.device("App.app/null"); }},
        {"second application folder", [](PackageBuilder& p) { p.file("Other.app/x", "x"); }},
        {"file next to the application", [](PackageBuilder& p) { p.file("README", "x"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string pkg = package("hostile.pkg");
        {
            PackageBuilder builder(pkg);
            builder.file("App.app/Info.plist", infoPlist("com.example.app", "app", "App"))
                .file("App.app/app", kProgram, 0755);
            c.add(builder);
        }
        expectRefused(install(pkg));
    }
}

TEST_F(InstallerTest, RefusesInvalidApplications) {
    struct Case {
        const char* what;
        std::function<void(PackageBuilder&)> build;
    };
    const std::vector<Case> cases{
        {"no Info.plist", [](PackageBuilder& p) { p.file("App.app/app", kProgram, 0755); }},
        {"Info.plist not a property list",
         [](PackageBuilder& p) {
             p.file("App.app/Info.plist", "this is not a plist").file("App.app/app", kProgram, 0755);
         }},
        {"missing executable",
         [](PackageBuilder& p) { p.file("App.app/Info.plist", infoPlist("com.example.app", "app", "App")); }},
        {"executable without an x bit",
         [](PackageBuilder& p) {
             p.file("App.app/Info.plist", infoPlist("com.example.app", "app", "App")).file("App.app/app", kProgram, 0644);
         }},
        {"executable is a folder",
         [](PackageBuilder& p) {
             p.file("App.app/Info.plist", infoPlist("com.example.app", "app", "App")).directory("App.app/app");
         }},
        {"executable outside the folder",
         [](PackageBuilder& p) {
             p.file("App.app/Info.plist", infoPlist("com.example.app", "../app", "App")).file("App.app/app", kProgram, 0755);
         }},
        {"identifier with a slash",
         [](PackageBuilder& p) {
             p.file("App.app/Info.plist", infoPlist("../com.example.app", "app", "App")).file("App.app/app", kProgram, 0755);
         }},
        {"identifier with a space",
         [](PackageBuilder& p) {
             p.file("App.app/Info.plist", infoPlist("com.example app", "app", "App")).file("App.app/app", kProgram, 0755);
         }},
        {"no identifier",
         [](PackageBuilder& p) {
             p.file("App.app/Info.plist", infoPlist("", "app", "App")).file("App.app/app", kProgram, 0755);
         }},
        {"no name",
         [](PackageBuilder& p) {
             p.file("App.app/Info.plist", infoPlist("com.example.app", "app", "")).file("App.app/app", kProgram, 0755);
         }},
        {"name with a slash",
         [](PackageBuilder& p) {
             p.file("App.app/Info.plist", infoPlist("com.example.app", "app", "../App")).file("App.app/app", kProgram, 0755);
         }},
        {"no application folder", [](PackageBuilder& p) { p.directory("."); }},
        {"folder not named .app",
         [](PackageBuilder& p) {
             p.file("App/Info.plist", infoPlist("com.example.app", "app", "App")).file("App/app", kProgram, 0755);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string pkg = package("invalid.pkg");
        {
            PackageBuilder builder(pkg);
            c.build(builder);
        }
        expectRefused(install(pkg));
    }
}

TEST_F(InstallerTest, UnreadablePackagesFail) {
    zeltest::writeFile(package("text.pkg"), "this is not an archive at all, just some text\n");
    expectRefused(install(package("text.pkg")));
    expectRefused(install(package("missing.pkg")));

    // A download cut short.
    const std::string full = zeltest::readFile(goodPackage("full.pkg"));
    ASSERT_GT(full.size(), 100u);
    zeltest::writeFile(package("cut.pkg"), full.substr(0, full.size() / 2));
    expectRefused(install(package("cut.pkg")));
}

TEST_F(InstallerTest, UsageErrorsExitWithTwo) {
    const std::string pkg = goodPackage("usage.pkg");
    const std::vector<std::vector<std::string>> cases{
        {"-pkg", pkg, "-target", "/"},
        {"-pkg", pkg, "-target", "LocalSystem"},
        {"-pkg", pkg},
        {"-target", "CurrentUserHomeDirectory"},
        {"-verbose", "-target", "CurrentUserHomeDirectory", "-pkg"},
        {"-pkg", pkg, "-target", "CurrentUserHomeDirectory", "-bogus"},
        {"-pkg", pkg, "-pkg", pkg, "-target", "CurrentUserHomeDirectory"},
        {},
    };
    for (const auto& args : cases) {
        const RunResult result = run(kInstaller, args);
        EXPECT_EQ(result.status, 2) << ::testing::PrintToString(args);
        EXPECT_NE(result.err.find("usage:"), std::string::npos);
    }
    EXPECT_TRUE(listDirectory(applications).empty());
}

TEST_F(InstallerTest, DemoPackageInstalls) {
    const std::string out = root.file("demo out");
    const RunResult made = run("/bin/bash", {kMakeDemoPackage, "--binary", "/bin/true", "--port", "4242", out, "3.1"});
    ASSERT_EQ(made.status, 0) << made.err;

    const nlohmann::json feed = nlohmann::json::parse(zeltest::readFile(out + "/feed.json"));
    const auto& darwin = feed["platforms"]["darwin"];
    EXPECT_EQ(darwin["version"], "3.1");
    EXPECT_EQ(darwin["product"], "Demo Product");
    EXPECT_EQ(darwin["bundleId"], "com.example.demoproduct");
    EXPECT_EQ(darwin["installUrl"], "http://127.0.0.1:4242/DemoProduct.pkg");
    EXPECT_EQ(darwin["options"]["autoLaunch"], true);
    EXPECT_EQ(darwin["options"]["displayVersion"], true);
    EXPECT_TRUE(feed["platforms"].contains("linux"));

    const RunResult result = install(out + "/DemoProduct.pkg");
    ASSERT_EQ(result.status, 0) << result.err;
    const std::string app = applications + "/Demo Product.app";
    EXPECT_TRUE(zeltest::fileExists(app + "/demo-product"));
    const std::string entry = zeltest::readFile(entries + "/com.example.demoproduct.desktop");
    EXPECT_NE(entry.find("\nName=Demo Product\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\nIcon=" + app + "/icon.svg\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\nX-Bundle-Version=3.1\n"), std::string::npos) << entry;
}

TEST_F(InstallerTest, InstalledModesNeverLetOthersWrite) {
    // Group and other write bits and set-ID and sticky bits go; the owner's
    // bits and every execute bit stay.
    const std::string pkg = package("modes.pkg");
    PackageBuilder(pkg)
        .directory("Modes.app", 0777)
        .file("Modes.app/Info.plist", infoPlist("com.example.modes", "run", "Modes"), 0666)
        .file("Modes.app/run", kProgram, 0777)
        .file("Modes.app/setuid-helper", kProgram, 04755)
        .file("Modes.app/setgid-helper", kProgram, 02775)
        .file("Modes.app/owner-only", kProgram, 0711)
        .file("Modes.app/private", "p", 0600)
        .directory("Modes.app/shared", 01777)
        .file("Modes.app/shared/data", "data", 0666);
    const RunResult result = install(pkg);
    ASSERT_EQ(result.status, 0) << result.err;

    const std::string app = applications + "/Modes.app";
    EXPECT_EQ(modeOf(app), 0755u);
    EXPECT_EQ(modeOf(app + "/Info.plist"), 0644u);
    EXPECT_EQ(modeOf(app + "/run"), 0755u);
    EXPECT_EQ(modeOf(app + "/setuid-helper"), 0755u);
    EXPECT_EQ(modeOf(app + "/setgid-helper"), 0755u);
    EXPECT_EQ(modeOf(app + "/owner-only"), 0711u);
    EXPECT_EQ(modeOf(app + "/private"), 0600u);
    EXPECT_EQ(modeOf(app + "/shared"), 0755u);
    EXPECT_EQ(modeOf(app + "/shared/data"), 0644u);
    EXPECT_EQ(writableByOthers(applications), std::vector<std::string>{});
}

TEST_F(InstallerTest, HardLinkCarryingDataChangesNeitherModeNorContents) {
    // A hard link names a file of the package: a mode or data of its own
    // would rewrite that file.
    const std::string linkData = "other data";
    const std::string pkg = package("hardlink.pkg");
    zeltest::writeFile(pkg, tarMember("H.app/Info.plist", '0', 0644, infoPlist("com.example.h", "run", "H")) +
                                tarMember("H.app/run", '0', 0755, kProgram) +
                                tarMember("H.app/data", '0', 0644, "data") +
                                tarMember("PaxHeader/link", 'x', 0644, "11 size=10\n") +
                                tarMember("H.app/link", '1', 0777, linkData, "H.app/data") + std::string(1024, '\0'));
    const RunResult result = install(pkg);
    ASSERT_EQ(result.status, 0) << result.err;
    const std::string app = applications + "/H.app";
    EXPECT_EQ(modeOf(app + "/data"), 0644u);
    EXPECT_EQ(zeltest::readFile(app + "/data"), "data");
    EXPECT_EQ(zeltest::readFile(app + "/link"), "data");
    EXPECT_EQ(writableByOthers(applications), std::vector<std::string>{});
}

TEST_F(InstallerTest, PermissiveUmaskLeavesNothingWritableByOthers) {
    // The folders the package leaves out, ~/Applications and the entries'
    // folders are made by the installer itself.
    const std::string pkg = package("umask.pkg");
    PackageBuilder(pkg)
        .file("Deep.app/Info.plist", infoPlist("com.example.deep", "run", "Deep"))
        .file("Deep.app/run", kProgram, 0755)
        .file("Deep.app/lib/nested/data", "x");
    const RunResult result =
        run("/bin/sh", {"-c", "umask 000; exec \"$0\" -pkg \"$1\" -target CurrentUserHomeDirectory", kInstaller, pkg});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(zeltest::fileExists(applications + "/Deep.app/lib/nested/data"));
    EXPECT_EQ(writableByOthers(applications), std::vector<std::string>{});
    EXPECT_EQ(writableByOthers(dataHome), std::vector<std::string>{});
}

TEST_F(InstallerTest, KillRightAfterTheSwapLeavesTheNewCopyInPlace) {
    ASSERT_EQ(install(goodPackage("v1.pkg", "Sample App", "1.0")).status, 0);
    const std::string app = applications + "/Sample App.app";

    // One step replaces the installed copy: stopped right after it, the new
    // copy is complete in its place and the old one waits in the staging folder.
    const RunResult killed =
        install(goodPackage("v2.pkg", "Sample App", "2.0"), {"ZEL_INSTALLER_TESTING_STOP_AFTER=swap"});
    EXPECT_EQ(killed.status, 128 + SIGKILL) << killed.err;
    expectComplete(app, "2.0");
    const std::vector<std::string> leftovers = stagingFolders();
    ASSERT_EQ(leftovers.size(), 1u);
    const std::vector<std::string> inside = listDirectory(leftovers[0]);
    ASSERT_EQ(inside.size(), 1u);
    expectComplete(leftovers[0] + "/" + inside[0], "1.0");

    // The next install clears away what the killed one left.
    const RunResult next = install(goodPackage("v3.pkg", "Sample App", "3.0"));
    ASSERT_EQ(next.status, 0) << next.err;
    EXPECT_EQ(listDirectory(applications), std::vector<std::string>{"Sample App.app"});
    expectComplete(app, "3.0");
}

TEST_F(InstallerTest, StagingFoldersStillNeededAreLeftAlone) {
    // A running installer holds a lock on its staging folder; a killed one
    // may have left the only copy of an application set aside as "previous".
    const std::string busy = applications + "/.install-Busy01";
    const std::string setAside = applications + "/.install-Aside1";
    zeltest::writeFile(busy + "/part", "x");
    zeltest::writeFile(setAside + "/previous/Info.plist", "x");
    {
        const Descriptor lock{open(busy.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
        ASSERT_EQ(flock(lock.fd, LOCK_EX), 0);
        ASSERT_EQ(install(goodPackage("v1.pkg")).status, 0);
        EXPECT_EQ(zeltest::readFile(busy + "/part"), "x");
    }
    ASSERT_EQ(install(goodPackage("v2.pkg", "Sample App", "2.0")).status, 0);
    EXPECT_EQ(listDirectory(applications), (std::vector<std::string>{".install-Aside1", "Sample App.app"}));
    EXPECT_EQ(zeltest::readFile(setAside + "/previous/Info.plist"), "x");
}

TEST_F(InstallerTest, OldCopyThatCannotBeRemovedFailsTheInstall) {
    ASSERT_EQ(install(goodPackage("v1.pkg", "Sample App", "1.0")).status, 0);
    const RunResult result = install(goodPackage("v2.pkg", "Sample App", "2.0"), {"ZEL_INSTALLER_TESTING_FAIL=remove"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("installer: Error - "), std::string::npos) << result.err;
    EXPECT_EQ(result.out.find("The install was successful"), std::string::npos) << result.out;
    const std::vector<std::string> leftovers = stagingFolders();
    ASSERT_EQ(leftovers.size(), 1u);
    EXPECT_NE(result.err.find(leftovers[0]), std::string::npos) << result.err;
    // The new copy is in place and registered all the same.
    expectComplete(applications + "/Sample App.app", "2.0");
    EXPECT_NE(zeltest::readFile(entries + "/com.example.sample.desktop").find("X-Bundle-Version=2.0\n"),
              std::string::npos);
}

TEST_F(InstallerTest, FolderTheUserCannotRemoveFailsTheInstall) {
    if (!runningAsRoot()) GTEST_SKIP() << "needs a folder owned by another user than the installing one";
    handToInstallingUser();
    ASSERT_EQ(installAsInstallingUser(goodPackage("v1.pkg", "Sample App", "1.0")).status, 0);
    // root's folder in the installed copy: the installing user can neither empty it nor change its mode.
    zeltest::writeFile(applications + "/Sample App.app/locked/file", "x");
    const RunResult result = installAsInstallingUser(goodPackage("v2.pkg", "Sample App", "2.0"));
    EXPECT_EQ(result.status, 1);
    const std::vector<std::string> leftovers = stagingFolders();
    ASSERT_EQ(leftovers.size(), 1u);
    EXPECT_NE(result.err.find("installer: Error - "), std::string::npos) << result.err;
    EXPECT_NE(result.err.find(leftovers[0]), std::string::npos) << result.err;
    expectComplete(applications + "/Sample App.app", "2.0");
}

TEST_F(InstallerTest, ReadOnlyFoldersOfTheOldCopyAreRemoved) {
    handToInstallingUser();
    ASSERT_EQ(installAsInstallingUser(goodPackage("v1.pkg", "Sample App", "1.0")).status, 0);
    // The product may have made some of its own folders read-only, or unreadable.
    const std::string app = applications + "/Sample App.app";
    zeltest::writeFile(app + "/sealed/inner/file", "x");
    handToInstallingUser();
    ASSERT_EQ(chmod((app + "/sealed/inner").c_str(), 0), 0);
    ASSERT_EQ(chmod((app + "/sealed").c_str(), 0500), 0);
    ASSERT_EQ(chmod((app + "/Resources").c_str(), 0555), 0);

    const RunResult result = installAsInstallingUser(goodPackage("v2.pkg", "Sample App", "2.0"));
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(listDirectory(applications), std::vector<std::string>{"Sample App.app"});
    expectComplete(app, "2.0");
}

TEST_F(InstallerTest, WithoutAnAtomicExchangeTwoRenamesReplaceTheCopy) {
    const std::vector<std::string> noExchange{"ZEL_INSTALLER_TESTING_FAIL=exchange"};
    const std::string app = applications + "/Sample App.app";
    ASSERT_EQ(install(goodPackage("v1.pkg", "Sample App", "1.0"), noExchange).status, 0);
    const RunResult result = install(goodPackage("v2.pkg", "Sample App", "2.0"), noExchange);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("cannot exchange"), std::string::npos) << result.err;
    EXPECT_EQ(listDirectory(applications), std::vector<std::string>{"Sample App.app"});
    expectComplete(app, "2.0");

    // A failed registration still puts the previous copy back.
    ASSERT_EQ(rename(dataHome.c_str(), root.file("data.saved").c_str()), 0);
    zeltest::writeFile(dataHome, "not a folder");
    EXPECT_EQ(install(goodPackage("v3.pkg", "Sample App", "3.0"), noExchange).status, 1);
    EXPECT_EQ(listDirectory(applications), std::vector<std::string>{"Sample App.app"});
    expectComplete(app, "2.0");
}
