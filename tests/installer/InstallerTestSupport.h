// Shared set-up for the installer tests: a bundle directory with settings and
// translations, a private temporary directory, and a stand-in package installer.
#pragma once

#include <cstdlib>
#include <map>
#include <string>

#include "TempDir.h"
#include "platform/foundation/Bundle.h"
#include "installer/ZELStrings.h"

namespace zeltest {

inline std::string xmlEscape(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '&') out += "&amp;";
        else if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else out += c;
    }
    return out;
}

// A property list of string keys to string values.
inline std::string stringPlist(const std::map<std::string, std::string>& entries) {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n<dict>\n";
    for (const auto& [k, v] : entries)
        xml += "\t<key>" + xmlEscape(k) + "</key>\n\t<string>" + xmlEscape(v) + "</string>\n";
    return xml + "</dict>\n</plist>\n";
}

inline std::map<std::string, std::string> englishTexts() {
    return {{"loading", "Loading"},
            {"downloading", "Downloading %@"},
            {"installing", "Installing %@"},
            {"launching", "Launching %@"},
            {"installed", "Installed %@"},
            {"quitButtonTitle", "Finish"},
            {"alertTitle", "Unsupported"},
            {"alertOKButton", "OK"},
            {"unsupportedBody", "Too old"},
            {"errorTitle", "Error"},
            {"errorBody", "Failed: %@"},
            {"errorQuit", "Quit"}};
}

// A bundle in a temporary directory, made the main bundle.
class TestBundle {
public:
    explicit TestBundle(std::map<std::string, std::string> info,
                        std::map<std::string, std::map<std::string, std::string>> tables = {{"gb", englishTexts()}}) {
        writeFile(dir.file("Info.plist"), stringPlist(info));
        for (const auto& [lang, texts] : tables)
            writeFile(dir.file("Resources/translations_" + lang + ".plist"), stringPlist(texts));
        writeFile(dir.file("Resources/AppIcon.png"), "not really a png");
        platform::Bundle::setMainBundlePath(dir.path());
        ZELStrings::sharedInstance().preloadLanguageFile();
    }
    TempDir dir;
};

// A package installer that records its arguments (one per line, its own
// path first) and exits with `status`.
class StandInInstaller {
public:
    // `seconds`: how long it takes before it exits (and writes "done" to doneFile).
    explicit StandInInstaller(int status, int seconds = 0) {
        script = dir.file("installer.sh");
        argsFile = dir.file("args.txt");
        doneFile = dir.file("done.txt");
        writeFile(script,
                  "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > '" + argsFile + "'\nsleep " + std::to_string(seconds) +
                      "\necho done > '" + doneFile + "'\nexit " + std::to_string(status) + "\n",
                  0755);
        setenv("ZEL_PACKAGE_INSTALLER", script.c_str(), 1);
    }
    ~StandInInstaller() { unsetenv("ZEL_PACKAGE_INSTALLER"); }
    TempDir dir;
    std::string script, argsFile, doneFile;
};

}  // namespace zeltest
