// Number text for the crash recorder: integers in decimal, hexadecimal and
// octal (plain, padded to a width, with signs and "0x" prefixes), doubles in
// printf's "%lg" form, and doubles read back from decimal text.
//
// Crash-path safe: no heap, no locks, no stdio, no locale, no globals that
// change; everything works in the caller's buffers and fixed stack space
// (the exact decimal arithmetic takes about 2 KiB of stack). printf and
// strtod are neither async-signal-safe nor locale-proof, so the logger, the
// JSON codec and the system queries format and parse numbers here.
//
// The writers put a terminating NUL after the text and answer its length.
#pragma once

#include <cstdint>

// Room for any 64-bit integer text and its terminator: "-9223372036854775808",
// "0x" and 16 hexadecimal digits, or 22 octal digits.
#define MDNUM_INTEGER_TEXT_SIZE 24
// Room for any "%lg" text and its terminator, such as "-1.23457e-308".
#define MDNUM_DOUBLE_TEXT_SIZE 16

// Options of mdnum_formatPadded, the printf flags of the same meaning.
enum {
    MDNUM_UPPER_CASE = 1 << 0,  // A-F and "0X" ("%X")
    MDNUM_ZERO_PAD = 1 << 1,    // zeros between the sign or prefix and the digits ("%08x")
    MDNUM_LEFT_ALIGN = 1 << 2,  // spaces after the text; wins over MDNUM_ZERO_PAD ("%-5d")
    MDNUM_PLUS_SIGN = 1 << 3,   // '+' before a value that is not negative ("%+d")
    MDNUM_SPACE_SIGN = 1 << 4,  // ' ' there instead, unless MDNUM_PLUS_SIGN ("% d")
    MDNUM_ALTERNATE = 1 << 5,   // "0x" before non-zero hexadecimal, '0' before non-zero octal ("%#x")
    MDNUM_HEX_PREFIX = 1 << 6,  // "0x" before hexadecimal always (pointers, "%p")
};

// "%llu", "%lld", "%llx" or "%llX" into a buffer of MDNUM_INTEGER_TEXT_SIZE bytes.
int mdnum_formatUInt64(char* buffer, uint64_t value);
int mdnum_formatInt64(char* buffer, int64_t value);
int mdnum_formatHex(char* buffer, uint64_t value, bool upperCase);
// "0x" and lower-case hexadecimal, also for 0 ("0x0"), into MDNUM_INTEGER_TEXT_SIZE bytes.
int mdnum_formatPointer(char* buffer, uintptr_t value);

// `magnitude` in `base` (8, 10 or 16; anything else is taken as 10), with a
// '-' when `negative`, padded to at least `width` characters as `options`
// say; exactly what printf writes for the same flags and width. At most
// `capacity` - 1 characters are written and terminated (nothing when
// `capacity` is 0 or less); answers the characters written.
int mdnum_formatPadded(char* buffer, int capacity, uint64_t magnitude, bool negative, int base, int width,
                       unsigned options);

// The two hexadecimal digits of `byte`, without a terminator.
void mdnum_writeHexByte(char* out, uint8_t byte, bool upperCase);
// The value of a hexadecimal digit of either case, -1 for any other character.
int mdnum_hexDigitValue(char ch);
inline bool mdnum_isDecimalDigit(char ch) { return ch >= '0' && ch <= '9'; }
// *value = *value * 10 + digit (0 to 9), unless that passes UINT64_MAX:
// then *value stays and the answer is false.
bool mdnum_addDecimalDigit(uint64_t* value, unsigned digit);

// The "%lg" text of `value` into a buffer of MDNUM_DOUBLE_TEXT_SIZE bytes:
// byte for byte what glibc's printf writes in the C locale (six significant
// digits rounded to nearest-even from the exact binary value, fixed notation
// for decimal exponents -4 to 5 and d.ddddde+XX otherwise, trailing zeros
// removed, "inf", "-inf", "nan" and "-nan"). The decimal point is always '.'.
int mdnum_formatDouble(char* buffer, double value);

// Reads the longest leading decimal number of text[0..length): an optional
// sign, digits with an optional fraction (".5" and "5." count), and an
// optional exponent that is taken only when digits follow its 'e' or 'E'.
// Answers the double nearest to it, ties to even, whatever its number of
// digits (strtod's answer in the C locale); infinity past the double range,
// zero below half the smallest subnormal. `parsedLength` (may be null)
// receives the bytes the number took, 0 when the text starts with none (the
// answer is then 0). No hexadecimal, "inf" or "nan" texts.
double mdnum_parseDouble(const char* text, int length, int* parsedLength);
