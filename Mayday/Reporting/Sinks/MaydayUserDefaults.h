// The program's own small settings that outlive a run: stands in for
// NSUserDefaults' standard defaults. They are a JSON object in the file
// "UserDefaults.json" of a folder named after the main bundle's identifier
// in the user's configuration directory ($XDG_CONFIG_HOME when absolute,
// else ~/.config).
#pragma once

#include <mutex>
#include <string>

#include "platform/foundation/Value.h"

class MaydayUserDefaults {
public:
    // The defaults of this program, made on first use.
    static MaydayUserDefaults& standardUserDefaults();
    // The defaults kept in the file at `path` (read when first asked).
    explicit MaydayUserDefaults(std::string path);

    const std::string& path() const noexcept { return path_; }
    // Nil when absent.
    platform::Value objectForKey(const std::string& key);
    // A nil object removes the key. Kept in memory until synchronize().
    void setObject(platform::Value object, const std::string& key);
    // Writes every value to the file (atomically); false when that fails (logged).
    bool synchronize();

private:
    // With `lock_` held.
    void load();

    std::string path_;
    std::mutex lock_;
    bool loaded_ = false;
    platform::Value values_;
};

// The user's configuration directory, without a trailing "/".
std::string mduserdefaults_configDirectory();
