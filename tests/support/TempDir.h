// A fresh private directory for a test, removed with everything in it at the end.
#pragma once

#include <string>

namespace zeltest {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const noexcept { return path_; }
    // path() + "/" + name
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Writes `contents` to `path` (creating parent directories); `mode` applied after.
void writeFile(const std::string& path, const std::string& contents, unsigned mode = 0644);
// The whole file, or empty when it cannot be read.
std::string readFile(const std::string& path);
bool fileExists(const std::string& path);

}  // namespace zeltest
