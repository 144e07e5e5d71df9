// Checks and splitting of the names a package brings: member names, the
// bundle identifier, the executable's and the application's names.
#pragma once

#include <string>
#include <vector>

namespace installer {

// The non-empty components of a "/"-separated path.
std::vector<std::string> splitPath(const std::string& path);
std::string joinPath(const std::vector<std::string>& parts);

bool endsWith(const std::string& text, const std::string& suffix);
bool hasControlCharacters(const std::string& text);

// The identifier names the desktop entry file, so it is kept to a plain
// reverse-DNS-like form.
bool isValidIdentifier(const std::string& id);

// A single file name: no folders, nothing hidden, nothing unprintable.
bool isPlainFileName(const std::string& name);

}  // namespace installer
