#include "Mayday/Recording/Tools/MDCString.h"

#include <cstring>

std::shared_ptr<MDCString> MDCString::stringWithString(const std::string& string) {
    return std::make_shared<MDCString>(string);
}

std::shared_ptr<MDCString> MDCString::stringWithCString(const char* cString) {
    return std::make_shared<MDCString>(cString);
}

std::shared_ptr<MDCString> MDCString::stringWithData(const platform::Value::Bytes& data) {
    return std::make_shared<MDCString>(data);
}

std::shared_ptr<MDCString> MDCString::stringWithData(const void* bytes, size_t length) {
    return std::make_shared<MDCString>(bytes, length);
}

MDCString::MDCString(const std::string& string) : MDCString(string.c_str()) {}

MDCString::MDCString(const char* cString) : MDCString(cString, cString ? strlen(cString) : 0) {}

MDCString::MDCString(const platform::Value::Bytes& data) : MDCString(data.data(), data.size()) {}

MDCString::MDCString(const void* bytes, size_t length) : length_(bytes ? length : 0), bytes_(new char[length_ + 1]) {
    if (length_ > 0) memcpy(bytes_.get(), bytes, length_);
    bytes_[length_] = '\0';
}
