#include "installer/ZELStrings.h"

#include <algorithm>
#include <cctype>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/PropertyList.h"

using platform::Value;

ZELStrings& ZELStrings::sharedInstance() {
    static ZELStrings instance;  // made once, thread-safely
    return instance;
}

ZELStrings::ZELStrings() { preloadLanguageFile(); }

void ZELStrings::preloadLanguageFile() {
    auto& bundle = platform::Bundle::mainBundle();
    Value lang = bundle.objectForInfoDictionaryKey("LANG");
    std::string code = "gb";
    if (!lang.isNil()) {
        code = lang.isString() ? lang.stringValue() : lang.description();
        std::transform(code.begin(), code.end(), code.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    }
    auto path = bundle.pathForResource("translations_" + code, "plist");
    translations_ = path ? platform::PropertyList::dictionaryWithContentsOfFile(*path) : Value();
}

Value ZELStrings::text(const char* key) const { return translations_.objectForKey(key); }

Value ZELStrings::formatted(const char* key, const std::string& argument) const {
    Value format = text(key);
    if (!format.isString()) return Value();  // no text to fill in
    return Value(platform::substituteObjects(format.stringValue(), {argument}));
}

Value ZELStrings::loadingString() const { return text("loading"); }
Value ZELStrings::downloadingStringWithProduct(const Value& product) const {
    return formatted("downloading", product.description());
}
Value ZELStrings::installingStringWithProduct(const Value& product) const {
    return formatted("installing", product.description());
}
Value ZELStrings::launchingStringWithProduct(const Value& product) const {
    return formatted("launching", product.description());
}
Value ZELStrings::installedStringWithProduct(const Value& product) const {
    return formatted("installed", product.description());
}
Value ZELStrings::quitButtonTitle() const { return text("quitButtonTitle"); }
Value ZELStrings::alertTitle() const { return text("alertTitle"); }
Value ZELStrings::alertOKButton() const { return text("alertOKButton"); }
Value ZELStrings::unsupportedBody() const { return text("unsupportedBody"); }
Value ZELStrings::errorTitle() const { return text("errorTitle"); }
Value ZELStrings::errorBodyWithError(const platform::OptionalError& error) const {
    return formatted("errorBody", error ? error->localizedDescription : std::string("(null)"));
}
Value ZELStrings::errorQuitButton() const { return text("errorQuit"); }
