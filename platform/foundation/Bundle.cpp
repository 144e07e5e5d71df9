// Bundles are plain directories: Info.plist at the top, Resources/ beside it.
#include "platform/foundation/Bundle.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/PropertyList.h"

namespace platform {

namespace {

std::string selfExecutablePath() {
    std::vector<char> buffer(4096);
    for (;;) {
        ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) return {};
        if (static_cast<size_t>(n) < buffer.size()) return std::string(buffer.data(), static_cast<size_t>(n));
        buffer.resize(buffer.size() * 2);
    }
}

std::string defaultMainBundlePath() {
    const char* fromEnvironment = std::getenv(kBundlePathEnvironmentVariable);
    if (fromEnvironment && *fromEnvironment) return fromEnvironment;
    std::string exe = selfExecutablePath();
    return exe.empty() ? std::string(".") : deletingLastPathComponent(exe);
}

Bundle& mainBundleStorage() {
    static Bundle bundle(defaultMainBundlePath());  // thread-safe initialisation
    return bundle;
}

bool isRegularFileOrDirectory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode));
}

// Resource names come from feeds and translation tables too: they must not
// climb out of the bundle.
bool isSafeResourceName(const std::string& name) {
    if (name.empty() || name[0] == '/') return false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string::npos) end = name.size();
        if (name.compare(start, end - start, "..") == 0) return false;
        start = end + 1;
    }
    return true;
}

// String tables, read once per file version and shared by every bundle.
class StringTableCache {
public:
    Value table(const std::string& path) {
        struct stat st;
        if (::stat(path.c_str(), &st) != 0) return {};
        std::lock_guard<std::mutex> lock(mutex_);
        Entry& entry = entries_[path];
        if (!entry.loaded || entry.size != st.st_size || entry.mtime.tv_sec != st.st_mtim.tv_sec ||
            entry.mtime.tv_nsec != st.st_mtim.tv_nsec || entry.inode != st.st_ino) {
            entry.table = PropertyList::dictionaryWithContentsOfFile(path);
            entry.size = st.st_size;
            entry.mtime = st.st_mtim;
            entry.inode = st.st_ino;
            entry.loaded = true;
        }
        return entry.table;
    }

private:
    struct Entry {
        bool loaded = false;
        off_t size = 0;
        struct timespec mtime {};
        ino_t inode = 0;
        Value table;
    };
    std::mutex mutex_;
    std::map<std::string, Entry> entries_;
};

StringTableCache& stringTables() {
    static StringTableCache cache;
    return cache;
}

}  // namespace

Bundle::Bundle(std::string path) : path_(std::move(path)) {
    while (path_.size() > 1 && path_.back() == '/') path_.pop_back();
    reloadInfoDictionary();
}

Bundle& Bundle::mainBundle() { return mainBundleStorage(); }

// Replaces the main bundle in place, so references handed out earlier stay
// valid. Not safe against threads reading the main bundle at the same time:
// tests call it before starting any.
void Bundle::setMainBundlePath(const std::string& path) { mainBundleStorage() = Bundle(path); }

std::shared_ptr<Bundle> Bundle::bundleWithPath(const std::string& path) {
    bool isDirectory = false;
    if (!FileManager::defaultManager().fileExistsAtPath(path, &isDirectory) || !isDirectory) return nullptr;
    return std::make_shared<Bundle>(path);
}

std::string Bundle::resourcePath() const { return appendPathComponent(path_, "Resources"); }

std::string Bundle::executablePath() const {
    if (this == &mainBundleStorage()) return selfExecutablePath();
    const Value name = info_["CFBundleExecutable"];
    if (!name.isString() || !isSafeResourceName(name.stringValue())) return {};
    return appendPathComponent(path_, name.stringValue());
}

std::string Bundle::bundleIdentifier() const {
    const Value identifier = info_["CFBundleIdentifier"];
    return identifier.isString() ? identifier.stringValue() : std::string();
}

void Bundle::reloadInfoDictionary() {
    Value info = PropertyList::dictionaryWithContentsOfFile(appendPathComponent(path_, "Info.plist"));
    info_ = info.isDictionary() ? info : Value::dictionary();
}

std::optional<std::string> Bundle::pathForResource(const std::string& name, const std::string& type) const {
    std::string extension = !type.empty() && type[0] == '.' ? type.substr(1) : type;
    std::string fileName = extension.empty() ? name : name + "." + extension;
    if (!isSafeResourceName(fileName)) return std::nullopt;
    std::string path = appendPathComponent(resourcePath(), fileName);
    if (!isRegularFileOrDirectory(path)) return std::nullopt;
    return path;
}

std::optional<std::string> Bundle::pathForImageResource(const std::string& name) const {
    if (!isSafeResourceName(name)) return std::nullopt;
    for (const char* suffix : {"", ".png", ".svg", ".jpg", ".xpm"}) {
        std::string path = appendPathComponent(resourcePath(), name + suffix);
        struct stat st;
        if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return path;
    }
    return std::nullopt;
}

std::string Bundle::localizedString(const std::string& key, const std::string& value,
                                    const std::string& table) const {
    std::string tableName = table.empty() ? std::string("Localizable") : table;
    if (isSafeResourceName(tableName)) {
        Value strings = stringTables().table(appendPathComponent(resourcePath(), tableName + ".plist"));
        Value text = strings[key];
        if (text.isString()) return text.stringValue();
    }
    return value.empty() ? key : value;
}

}  // namespace platform
