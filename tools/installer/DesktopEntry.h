// The desktop entry that registers an installed application, by which the
// platform layer launches it and recognises its running copies.
#pragma once

#include <string>

#include "Application.h"

namespace installer {

// The entry's text; `executablePath` and `iconPath` are absolute, `iconPath`
// empty when there is no icon.
std::string desktopEntryText(const Application& app, const std::string& executablePath, const std::string& iconPath);

// Writes `<directory>/<identifier>.desktop`, creating `directory` when needed.
void writeDesktopEntry(const std::string& directory, const std::string& identifier, const std::string& text);

}  // namespace installer
