// The window's texts, from the translation table chosen by "LANG".
#pragma once

#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

class ZELStrings {
public:
    // The one instance, made on first use (thread-safe).
    static ZELStrings& sharedInstance();

    ZELStrings();
    // (Re)loads the table "translations_<lang>.plist" from the resources.
    void preloadLanguageFile();

    const platform::Value& translations() const noexcept { return translations_; }
    void setTranslations(platform::Value translations) { translations_ = std::move(translations); }

    // Each text is nil when the table lacks its key. The "...WithProduct"
    // and errorBody texts fill their "%@" with the argument; the table's
    // text is never used as a printf format.
    platform::Value loadingString() const;
    platform::Value downloadingStringWithProduct(const platform::Value& product) const;
    platform::Value installingStringWithProduct(const platform::Value& product) const;
    platform::Value launchingStringWithProduct(const platform::Value& product) const;
    platform::Value installedStringWithProduct(const platform::Value& product) const;
    platform::Value quitButtonTitle() const;
    platform::Value alertTitle() const;
    platform::Value alertOKButton() const;
    platform::Value unsupportedBody() const;
    platform::Value errorTitle() const;
    platform::Value errorBodyWithError(const platform::OptionalError& error) const;
    platform::Value errorQuitButton() const;

private:
    platform::Value text(const char* key) const;
    platform::Value formatted(const char* key, const std::string& argument) const;
    platform::Value translations_;
};
