// The folder of this run's downloads, and its removal on every way out.
//
// Each run downloads into a fresh private folder of its own under the user's
// caches ("WebInstaller/Downloads/run-XXXXXX"), so that a partial download or a
// package left by a failure can be removed whole, and runs never clash. It
// goes when the run ends normally (main removes it) and when the installer is
// told to stop by SIGTERM, SIGINT or SIGHUP: a watcher thread removes it and
// the process then ends by that signal, as it would have.
#pragma once

#include <string>

namespace ZELRunFolder {

// The folder, ending in "/", made on first use (the temporary directory when
// nothing private can be made under the caches).
const std::string& path();
// Removes the folder and everything in it; later calls do nothing.
void remove();
// Installs the handling of SIGTERM, SIGINT and SIGHUP described above. Call
// once, early in main, before other threads start.
void removeOnTermination();

}  // namespace ZELRunFolder
