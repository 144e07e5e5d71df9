// String scanners. Crash-path code: no heap, no locks, no stdio.
#include "Mayday/Recording/Tools/MDString.h"

#include "Mayday/Recording/Tools/MDNumberText.h"

bool mdstring_isNullTerminatedUTF8String(const void* memory, int minLength, int maxLength) {
    if (!memory || maxLength <= 0) return false;
    const unsigned char* const start = static_cast<const unsigned char*>(memory);
    const unsigned char* const end = start + maxLength;
    for (const unsigned char* p = start; p < end; p++) {
        const unsigned char ch = *p;
        int continuation = 0;
        if (ch < 0x80) {
            if (ch == 0) return (p - start) >= minLength;
            if (ch < 0x20 && ch != '\t' && ch != '\n' && ch != '\r') return false;
            continue;
        }
        if (ch < 0xC0 || ch >= 0xFE) return false;
        if (ch <= 0xDF) {
            continuation = 1;
        } else if (ch <= 0xEF) {
            continuation = 2;
        } else if (ch <= 0xF7) {
            continuation = 3;
        } else if (ch <= 0xFB) {
            continuation = 4;
        } else {
            continuation = 5;
        }
        if (end - p <= continuation) return false;
        for (int i = 0; i < continuation; i++) {
            p++;
            if ((*p & 0xC0) != 0x80) return false;
        }
    }
    return false;
}

bool mdstring_extractHexValue(const char* string, int length, uint64_t* result) {
    if (!string || length <= 0 || !result) return false;
    const char* const end = string + length;
    const char* p = string;
    while (end - p >= 2) {
        if (p[0] != '0' || p[1] != 'x') {
            p++;
            continue;
        }
        p += 2;
        if (p >= end || mdnum_hexDigitValue(*p) < 0) continue;
        uint64_t value = 0;
        for (; p < end; p++) {
            const int digit = mdnum_hexDigitValue(*p);
            if (digit < 0) break;
            value = (value << 4) | static_cast<uint64_t>(digit);
        }
        *result = value;
        return true;
    }
    return false;
}
