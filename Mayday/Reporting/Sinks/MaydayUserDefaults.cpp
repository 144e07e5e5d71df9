// The defaults file is small and read once; a file that is not a JSON
// object is set aside for a fresh one rather than stopping the program.
#include "Mayday/Reporting/Sinks/MaydayUserDefaults.h"

#include <cstdlib>
#include <utility>

#include "Mayday/Recording/Tools/MDLogger.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/JSONSerialization.h"

using platform::Value;

namespace {

constexpr const char* kDefaultsFileName = "UserDefaults.json";

std::string defaultsFolderName() {
    const std::string identifier = platform::Bundle::mainBundle().bundleIdentifier();
    // A name from the bundle must stay one path component.
    if (identifier.empty() || identifier == "." || identifier == ".." ||
        identifier.find('/') != std::string::npos)
        return "Unknown";
    return identifier;
}

}  // namespace

std::string mduserdefaults_configDirectory() {
    const char* configured = std::getenv("XDG_CONFIG_HOME");
    if (configured && configured[0] == '/') return configured;
    return platform::appendPathComponent(platform::homeDirectory(), ".config");
}

MaydayUserDefaults& MaydayUserDefaults::standardUserDefaults() {
    static MaydayUserDefaults* defaults = new MaydayUserDefaults(platform::appendPathComponent(
        platform::appendPathComponent(mduserdefaults_configDirectory(), defaultsFolderName()), kDefaultsFileName));
    return *defaults;  // never destroyed: any thread may still ask at exit
}

MaydayUserDefaults::MaydayUserDefaults(std::string path) : path_(std::move(path)) {}

void MaydayUserDefaults::load() {
    if (loaded_) return;
    loaded_ = true;
    values_ = Value::dictionary();
    const Value contents = platform::FileManager::defaultManager().contentsAtPath(path_);
    if (!contents.isData()) return;  // nothing stored yet
    platform::Error error;
    const Value stored = platform::JSONSerialization::JSONObjectWithData(contents.dataValue(), 0, &error);
    if (!stored.isDictionary()) {
        MDLOGOBJ_ERROR("Ignoring unreadable defaults %@: %@", path_, error);
        return;
    }
    values_ = stored;
}

Value MaydayUserDefaults::objectForKey(const std::string& key) {
    std::lock_guard<std::mutex> guard(lock_);
    load();
    return values_[key];
}

void MaydayUserDefaults::setObject(Value object, const std::string& key) {
    std::lock_guard<std::mutex> guard(lock_);
    load();
    values_.setObject(std::move(object), key);
}

bool MaydayUserDefaults::synchronize() {
    std::lock_guard<std::mutex> guard(lock_);
    load();
    platform::Error error;
    const std::string json =
        platform::JSONSerialization::dataWithJSONObject(values_, platform::JSONSerialization::PrettyPrinted, &error);
    if (json.empty()) {
        MDLOGOBJ_ERROR("Could not encode defaults %@: %@", path_, error);
        return false;
    }
    const platform::FileManager& files = platform::FileManager::defaultManager();
    if (!files.createDirectoryAtPath(platform::deletingLastPathComponent(path_), true, &error, 0700) ||
        !files.createFileAtPath(path_, Value::Bytes(json.begin(), json.end()), &error)) {
        MDLOGOBJ_ERROR("Could not write defaults %@: %@", path_, error);
        return false;
    }
    return true;
}
