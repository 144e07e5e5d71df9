#include "Mayday/Installations/MaydayInstallationBaseQuincyHockey.h"

#include <utility>

using platform::Value;

namespace {

Value keyPathOf(const Value& key) {
    return key.isString() ? Value(MaydayInstallation::makeKeyPath(key.stringValue())) : Value();
}

}  // namespace

MaydayInstallationBaseQuincyHockey::MaydayInstallationBaseQuincyHockey(std::vector<std::string> requiredProperties)
    : MaydayInstallation(std::move(requiredProperties)), extraDescriptionKeys_(Value::array({"/system", "/user"})) {
    setUserIDKey("user_id");
    setUserNameKey("user_name");
    setContactEmailKey("contact_email");
    setCrashDescriptionKey("crash_description");
}

void MaydayInstallationBaseQuincyHockey::setUserID(Value userID) {
    userID_ = std::move(userID);
    reportFieldForPropertySetValue("userID", userID_);
}

void MaydayInstallationBaseQuincyHockey::setUserName(Value userName) {
    userName_ = std::move(userName);
    reportFieldForPropertySetValue("userName", userName_);
}

void MaydayInstallationBaseQuincyHockey::setContactEmail(Value contactEmail) {
    contactEmail_ = std::move(contactEmail);
    reportFieldForPropertySetValue("contactEmail", contactEmail_);
}

void MaydayInstallationBaseQuincyHockey::setCrashDescription(Value crashDescription) {
    crashDescription_ = std::move(crashDescription);
    reportFieldForPropertySetValue("crashDescription", crashDescription_);
}

void MaydayInstallationBaseQuincyHockey::setUserIDKey(Value key) {
    userIDKey_ = std::move(key);
    reportFieldForPropertySetKey("userID", userIDKey_);
}

void MaydayInstallationBaseQuincyHockey::setUserNameKey(Value key) {
    userNameKey_ = std::move(key);
    reportFieldForPropertySetKey("userName", userNameKey_);
}

void MaydayInstallationBaseQuincyHockey::setContactEmailKey(Value key) {
    contactEmailKey_ = std::move(key);
    reportFieldForPropertySetKey("contactEmail", contactEmailKey_);
}

void MaydayInstallationBaseQuincyHockey::setCrashDescriptionKey(Value key) {
    crashDescriptionKey_ = std::move(key);
    reportFieldForPropertySetKey("crashDescription", crashDescriptionKey_);
}

Value MaydayInstallationBaseQuincyHockey::allCrashDescriptionKeys() const {
    Value keys = Value::array();
    if (!crashDescriptionKey_.isNil()) keys.addObject(crashDescriptionKey_);
    for (const Value& key : extraDescriptionKeys_.arrayItems()) keys.addObject(key);
    return keys;
}

Value MaydayInstallationBaseQuincyHockey::valueForProperty(const std::string& propertyName) const {
    if (propertyName == "userID") return userID_;
    if (propertyName == "userName") return userName_;
    if (propertyName == "contactEmail") return contactEmail_;
    if (propertyName == "crashDescription") return crashDescription_;
    if (propertyName == "userIDKey") return userIDKey_;
    if (propertyName == "userNameKey") return userNameKey_;
    if (propertyName == "contactEmailKey") return contactEmailKey_;
    if (propertyName == "crashDescriptionKey") return crashDescriptionKey_;
    if (propertyName == "extraDescriptionKeys") return extraDescriptionKeys_;
    if (propertyName == "waitUntilReachable") return waitUntilReachable_;
    return MaydayInstallation::valueForProperty(propertyName);
}

MaydayInstallationBaseQuincyHockey::SinkKeyPaths MaydayInstallationBaseQuincyHockey::sinkKeyPaths() const {
    return {keyPathOf(userIDKey_), keyPathOf(userNameKey_), keyPathOf(contactEmailKey_),
            makeKeyPaths(allCrashDescriptionKeys())};
}
