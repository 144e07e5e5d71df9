// What the Quincy and Hockey installations share: who the user is and what
// they said about the crash, written into every report as report fields,
// and where in the report the sink finds them again.
#pragma once

#include <string>
#include <vector>

#include "Mayday/Installations/MaydayInstallation.h"

class MaydayInstallationBaseQuincyHockey : public MaydayInstallation {
public:
    // The values, each also the value of the report field of its name.
    const platform::Value& userID() const noexcept { return userID_; }
    void setUserID(platform::Value userID);
    const platform::Value& userName() const noexcept { return userName_; }
    void setUserName(platform::Value userName);
    const platform::Value& contactEmail() const noexcept { return contactEmail_; }
    void setContactEmail(platform::Value contactEmail);
    const platform::Value& crashDescription() const noexcept { return crashDescription_; }
    void setCrashDescription(platform::Value crashDescription);

    // Their keys in the report's user section ("user_id", "user_name",
    // "contact_email", "crash_description"), each also its field's key.
    const platform::Value& userIDKey() const noexcept { return userIDKey_; }
    void setUserIDKey(platform::Value key);
    const platform::Value& userNameKey() const noexcept { return userNameKey_; }
    void setUserNameKey(platform::Value key);
    const platform::Value& contactEmailKey() const noexcept { return contactEmailKey_; }
    void setContactEmailKey(platform::Value key);
    const platform::Value& crashDescriptionKey() const noexcept { return crashDescriptionKey_; }
    void setCrashDescriptionKey(platform::Value key);

    // Further report sections for the crash description; default "/system", "/user".
    const platform::Value& extraDescriptionKeys() const noexcept { return extraDescriptionKeys_; }
    void setExtraDescriptionKeys(platform::Value keys) { extraDescriptionKeys_ = std::move(keys); }
    // The crash description key when set, then the extra keys.
    platform::Value allCrashDescriptionKeys() const;

    // Whether sending waits for the server's host (default YES).
    bool waitUntilReachable() const noexcept { return waitUntilReachable_; }
    void setWaitUntilReachable(bool wait) noexcept { waitUntilReachable_ = wait; }

protected:
    explicit MaydayInstallationBaseQuincyHockey(std::vector<std::string> requiredProperties);
    platform::Value valueForProperty(const std::string& propertyName) const override;

    // The report key paths of the keys, for the sink (nil for a nil key).
    struct SinkKeyPaths {
        platform::Value userID, userName, contactEmail, crashDescriptions;
    };
    SinkKeyPaths sinkKeyPaths() const;

private:
    platform::Value userID_, userName_, contactEmail_, crashDescription_;
    platform::Value userIDKey_, userNameKey_, contactEmailKey_, crashDescriptionKey_;
    platform::Value extraDescriptionKeys_;
    bool waitUntilReachable_ = true;
};
