#include "sentry/DataURLEncode.h"

#include <cstring>

namespace {

bool keepsAsIs(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
        return true;
    }
    static const char kDelimiters[] = "/?&=:#@+,;$!*'()[]~-._";
    return c != '\0' && std::strchr(kDelimiters, c) != nullptr;
}

}  // namespace

std::string URLEncoded(std::string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string result;
    result.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (keepsAsIs(c)) {
            result += ch;
        } else {
            result += '%';
            result += kHex[c >> 4];
            result += kHex[c & 0x0f];
        }
    }
    return result;
}
