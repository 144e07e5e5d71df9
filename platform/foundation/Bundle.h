// The application bundle: stands in for NSBundle.
//
// The main bundle is the directory that holds the executable, or the
// directory named by the environment variable ZEL_BUNDLE_PATH when set (for
// tests and the demo). Its information dictionary is "Info.plist" in that
// directory (an XML or binary property list); resources sit in "Resources/".
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

namespace platform {

inline constexpr const char* kBundlePathEnvironmentVariable = "ZEL_BUNDLE_PATH";

class Bundle {
public:
    // The main bundle, made on first use (thread-safe); the information
    // dictionary is read again by reloadInfoDictionary() only.
    static Bundle& mainBundle();
    // Replaces the main bundle (tests).
    static void setMainBundlePath(const std::string& path);
    static std::shared_ptr<Bundle> bundleWithPath(const std::string& path);

    const std::string& bundlePath() const noexcept { return path_; }
    std::string resourcePath() const;  // bundlePath + "/Resources"
    std::string executablePath() const;  // /proc/self/exe for the main bundle

    // The information dictionary; an empty dictionary when Info.plist is
    // missing or unreadable.
    Value infoDictionary() const { return info_; }
    Value objectForInfoDictionaryKey(const std::string& key) const { return info_[key]; }
    std::string bundleIdentifier() const;  // "CFBundleIdentifier", or empty
    void reloadInfoDictionary();

    // Path of Resources/<name>.<type> (or Resources/<name> when type is
    // empty) when that file exists.
    std::optional<std::string> pathForResource(const std::string& name, const std::string& type) const;
    // imageNamed: looks up Resources/<name>, then <name> with ".png",
    // ".svg", ".jpg", ".xpm" appended.
    std::optional<std::string> pathForImageResource(const std::string& name) const;

    // localizedStringForKey:value:table: the value of `key` in the string
    // table Resources/<table or "Localizable">.plist; `value` when the table
    // lacks it and `value` is not empty; otherwise the key itself.
    std::string localizedString(const std::string& key, const std::string& value = {},
                                const std::string& table = {}) const;

    explicit Bundle(std::string path);

private:
    std::string path_;
    Value info_;
};

}  // namespace platform
