#include "DesktopEntry.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "PathNames.h"
#include "platform/foundation/UniqueFd.h"
#include "platform/foundation/FileManager.h"

namespace installer {

using platform::UniqueFd;

namespace {

// A string value in a desktop entry file.
std::string escapeValue(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case ' ': out += i == 0 ? "\\s" : " "; break;
        default: out += c;
        }
    }
    return out;
}

// One argument of an Exec line: quoted when it holds a reserved character,
// with ", `, $ and \ escaped inside the quotes; "%" doubled (field codes).
std::string quoteExecArgument(const std::string& argument) {
    static const char* kReserved = " \t\n\"'\\><~|&;$*?#()`";
    std::string body;
    for (char c : argument) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') body += '\\';
        body += c;
    }
    std::string quoted = argument.find_first_of(kReserved) != std::string::npos || argument.empty()
                             ? "\"" + body + "\""
                             : argument;
    std::string out;
    for (char c : quoted) {
        out += c;
        if (c == '%') out += '%';
    }
    return out;
}

void writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw InstallError("Cannot write the desktop entry: " + errnoText(errno));
        done += static_cast<size_t>(n);
    }
}

}  // namespace

std::string desktopEntryText(const Application& app, const std::string& executablePath, const std::string& iconPath) {
    std::string text = "[Desktop Entry]\n";
    text += "Type=Application\n";
    text += "Version=1.0\n";
    text += "Name=" + escapeValue(app.name) + "\n";
    text += "Exec=" + escapeValue(quoteExecArgument(executablePath)) + "\n";
    text += "TryExec=" + escapeValue(executablePath) + "\n";
    if (!iconPath.empty()) text += "Icon=" + escapeValue(iconPath) + "\n";
    text += "Terminal=false\n";
    text += "X-Bundle-Identifier=" + app.identifier + "\n";
    if (!app.version.empty() && !hasControlCharacters(app.version))
        text += "X-Bundle-Version=" + escapeValue(app.version) + "\n";
    return text;
}

// Written beside its final name and renamed, so the desktop never sees half an entry.
void writeDesktopEntry(const std::string& directory, const std::string& identifier, const std::string& text) {
    platform::Error error;
    if (!platform::FileManager::defaultManager().createDirectoryAtPath(directory, true, &error))
        throw InstallError("Cannot create " + directory + ": " + error.localizedDescription);
    const std::string finalPath = directory + "/" + identifier + ".desktop";
    std::string pattern = directory + "/." + identifier + ".desktop.XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    UniqueFd fd(mkostemp(buffer.data(), O_CLOEXEC));
    if (!fd) throw InstallError("Cannot write in " + directory + ": " + errnoText(errno));
    const std::string tempPath = buffer.data();
    try {
        writeAll(fd.get(), text);
        if (fchmod(fd.get(), 0644) != 0 || fsync(fd.get()) != 0)
            throw InstallError("Cannot write the desktop entry: " + errnoText(errno));
        if (!fd.close()) throw InstallError("Cannot write the desktop entry: " + errnoText(errno));
        if (rename(tempPath.c_str(), finalPath.c_str()) != 0)
            throw InstallError("Cannot write " + finalPath + ": " + errnoText(errno));
    } catch (...) {
        unlink(tempPath.c_str());
        throw;
    }
}

}  // namespace installer
