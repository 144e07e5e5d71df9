// Appending UTF-8 text to a byte buffer: stands in for NSMutableData's
// appendUTF8String: and appendUTF8Format: (the AppendUTF8 category).
#pragma once

#include <string>
#include <string_view>

#include "platform/foundation/Format.h"
#include "platform/foundation/Value.h"

// Appends the bytes of `text` up to, not including, its first NUL byte, the
// way a C string's UTF-8 form ends there.
void appendUTF8String(platform::Value::Bytes& data, std::string_view text);

// Formats `format` (a text the program wrote, never outside text) with
// `args` through platform::format and appends the result as
// appendUTF8String does.
template <typename... Args>
void appendUTF8Format(platform::Value::Bytes& data, const char* format, const Args&... args) {
    if (!format) {
        return;
    }
    appendUTF8String(data, platform::format(format, args...));
}
