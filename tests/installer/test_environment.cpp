// Every installer test runs with a private TMPDIR and its own caches and
// data directories, so nothing touches the real user's files.
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace {

struct PrivateEnvironment {
    std::string root;
    PrivateEnvironment() {
        std::string pattern = "/tmp/zel-installer-tests-XXXXXX";
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        root = pattern;
        setenv("TMPDIR", root.c_str(), 1);
        setenv("XDG_CACHE_HOME", (root + "/cache").c_str(), 1);
        setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
    }
    ~PrivateEnvironment() {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
} environment;

}  // namespace
