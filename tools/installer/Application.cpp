#include "Application.h"

#include <sys/stat.h>

#include "PathNames.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/Value.h"

namespace installer {

namespace {

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

}  // namespace

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

}  // namespace installer
