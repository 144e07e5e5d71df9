#include "platform/foundation/UUID.h"

#include <cstdint>
#include <random>

namespace platform {

std::string newUUIDString() {
    std::random_device source;
    std::uniform_int_distribution<int> byteValue(0, 255);
    uint8_t bytes[16];
    for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(byteValue(source));
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0f) | 0x40);  // version 4
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
        text.push_back(kDigits[bytes[i] >> 4]);
        text.push_back(kDigits[bytes[i] & 0x0f]);
    }
    return text;
}

}  // namespace platform
