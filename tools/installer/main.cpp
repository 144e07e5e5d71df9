// installer: puts an application package into the user's ~/Applications and
// registers it with the desktop. Stands in for macOS's installer(8), with the
// command line the web installer uses:
//
//   installer [-dumplog] [-verbose] -pkg FILE -target CurrentUserHomeDirectory
//
// The package format is described in docs/package-format.md. Exit status:
// 0 installed, 1 failed, 2 usage error.

#include <cerrno>
#include <optional>
#include <string>
#include <sys/stat.h>

#include "Application.h"
#include "DesktopEntry.h"
#include "Diagnostics.h"
#include "PackageExtractor.h"
#include "Replacement.h"
#include "StagingFolder.h"
#include "TestingHooks.h"
#include "platform/foundation/FileManager.h"

namespace {

using installer::InstallError;
using installer::Reporter;

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

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
            throw InstallError("Cannot create " + applications + ": " + installer::errnoText(errno));
    } else if (!S_ISDIR(st.st_mode)) {
        throw InstallError(applications + " is not a folder.");
    }
    reporter.log("Package " + packagePath);
    installer::removeAbandonedStagingFolders(applications, reporter);

    installer::StagingFolder staging(applications, reporter);
    reporter.log("Staging in " + staging.path());
    const std::string appFolder = installer::extractPackage(packagePath, staging.path(), reporter);
    const std::string stagedApp = staging.path() + "/" + appFolder;
    const installer::Application app = installer::validate(stagedApp, reporter);
    reporter.log("Bundle " + app.identifier + " version " + (app.version.empty() ? "(none)" : app.version));

    reporter.progress("Package name is " + app.name);
    reporter.progress("Installing at base path " + applications);

    // The previous copy stays in the staging folder until the new one is
    // registered, so a failure puts it back.
    const std::string finalApp = applications + "/" + app.name + ".app";
    {
        installer::Replacement replacement(stagedApp, finalApp, staging, reporter);
        installer::testing::stopPoint("swap");
        const std::optional<std::string> executable = platform::realPath(finalApp + "/" + app.executable);
        if (!executable)
            throw InstallError("The installed executable cannot be found: " + installer::errnoText(errno));
        std::string icon;
        if (!app.iconFile.empty()) icon = platform::realPath(finalApp + "/" + app.iconFile).value_or(std::string());
        const std::string entries = platform::userDataDirectory() + "/applications";
        installer::writeDesktopEntry(entries, app.identifier, installer::desktopEntryText(app, *executable, icon));
        reporter.log("Registered " + entries + "/" + app.identifier + ".desktop");
        replacement.keep();
    }

    // Installed and registered, yet a staging folder left behind (with the
    // previous copy in it) is not a clean install.
    if (const std::optional<std::string> remains = staging.remove())
        throw InstallError("The application is installed at " + finalApp + ", but the staging folder " +
                           staging.path() + " could not be removed (" + *remains + ").");
    reporter.progress("The install was successful.");
}

int usage(const std::string& problem) {
    std::fputs(("installer: " + problem + "\n").c_str(), stderr);
    std::fputs("usage: installer [-dumplog] [-verbose] -pkg <path> -target CurrentUserHomeDirectory\n", stderr);
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    // Nothing the installer creates may be writable by others, whatever
    // umask it inherits: folders the package leaves out, ~/Applications.
    umask(umask(0) | 022);

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
