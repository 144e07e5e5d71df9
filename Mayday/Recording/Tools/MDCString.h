// An immutable string object that owns a private C copy of a text or of
// bytes. Stands in for an NSObject subclass holding a malloc'ed C string.
//
// Not for the crash path: it allocates.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/foundation/Value.h"

class MDCString {
public:
    // From a text: its C string, so the copy ends at an embedded zero byte.
    static std::shared_ptr<MDCString> stringWithString(const std::string& string);
    // A null pointer gives the empty string.
    static std::shared_ptr<MDCString> stringWithCString(const char* cString);
    // Bytes keep their full length, zero bytes included.
    static std::shared_ptr<MDCString> stringWithData(const platform::Value::Bytes& data);
    static std::shared_ptr<MDCString> stringWithData(const void* bytes, size_t length);

    explicit MDCString(const std::string& string);
    explicit MDCString(const char* cString);
    explicit MDCString(const platform::Value::Bytes& data);
    MDCString(const void* bytes, size_t length);

    MDCString(const MDCString&) = delete;
    MDCString& operator=(const MDCString&) = delete;

    // Bytes without the terminator.
    size_t length() const noexcept { return length_; }
    // The copy, always followed by a zero byte.
    const char* bytes() const noexcept { return bytes_.get(); }

private:
    size_t length_ = 0;
    std::unique_ptr<char[]> bytes_;
};
