// Number text of the crash recorder: integer writers against printf, "%lg"
// against printf, and parsing against strtod in the C locale.
#include "Mayday/Recording/Tools/MDNumberText.h"

#include <gtest/gtest.h>

#include <cfenv>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <random>
#include <string>
#include <vector>

namespace {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
template <typename... Args>
std::string printed(const char* format, Args... args) {
    char buffer[512];
    snprintf(buffer, sizeof buffer, format, args...);
    return buffer;
}
#pragma GCC diagnostic pop

// The reference parser: strtod in the C locale, whatever the process's locale.
double strtodC(const std::string& text) {
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
    return strtod_l(text.c_str(), nullptr, cLocale);
}

uint64_t bitsOf(double value) {
    uint64_t bits;
    memcpy(&bits, &value, sizeof bits);
    return bits;
}

double doubleOf(uint64_t bits) {
    double value;
    memcpy(&value, &bits, sizeof value);
    return value;
}

std::string formatted(double value) {
    char buffer[MDNUM_DOUBLE_TEXT_SIZE];
    const int length = mdnum_formatDouble(buffer, value);
    EXPECT_EQ(strlen(buffer), static_cast<size_t>(length));
    return buffer;
}

double parsed(const std::string& text) {
    int length = -1;
    const double value = mdnum_parseDouble(text.data(), static_cast<int>(text.size()), &length);
    EXPECT_EQ(static_cast<int>(text.size()), length) << text;
    return value;
}

// Expects the parse to give exactly strtod's double (bit for bit, so -0 and 0 differ).
#define EXPECT_PARSES_LIKE_STRTOD(text) EXPECT_EQ(bitsOf(strtodC(text)), bitsOf(parsed(text))) << (text)

// Values that reach every digit count and both ends of the range.
std::vector<uint64_t> sampleIntegers() {
    std::vector<uint64_t> values = {0,
                                    1,
                                    7,
                                    9,
                                    10,
                                    99,
                                    100,
                                    255,
                                    256,
                                    4095,
                                    65535,
                                    999999999,
                                    1000000000,
                                    UINT32_MAX,
                                    0x7fffffffffffffffull,
                                    0x8000000000000000ull,
                                    UINT64_MAX};
    uint64_t power = 1;
    for (int i = 0; i < 19; i++, power *= 10) {
        values.push_back(power - 1);
        values.push_back(power);
    }
    std::mt19937_64 random(5);
    for (int i = 0; i < 300; i++) values.push_back(random() >> (random() % 64));
    return values;
}

// A digit string of `count` digits, the first not zero.
std::string randomDigits(std::mt19937_64& random, int count) {
    std::string digits;
    for (int d = 0; d < count; d++) digits.push_back(static_cast<char>('0' + random() % 10));
    if (digits[0] == '0') digits[0] = '1';
    return digits;
}

}  // namespace

// ---- Integers

TEST(NumberTextIntegers, PlainFormsMatchPrintf) {
    for (uint64_t value : sampleIntegers()) {
        char buffer[MDNUM_INTEGER_TEXT_SIZE];
        EXPECT_EQ(printed("%llu", static_cast<unsigned long long>(value)),
                  std::string(buffer, static_cast<size_t>(mdnum_formatUInt64(buffer, value))));
        const auto asSigned = static_cast<int64_t>(value);
        EXPECT_EQ(printed("%lld", static_cast<long long>(asSigned)),
                  std::string(buffer, static_cast<size_t>(mdnum_formatInt64(buffer, asSigned))));
        EXPECT_EQ(printed("%llx", static_cast<unsigned long long>(value)),
                  std::string(buffer, static_cast<size_t>(mdnum_formatHex(buffer, value, false))));
        EXPECT_EQ(printed("%llX", static_cast<unsigned long long>(value)),
                  std::string(buffer, static_cast<size_t>(mdnum_formatHex(buffer, value, true))));
        mdnum_formatPointer(buffer, static_cast<uintptr_t>(value));
        EXPECT_EQ("0x" + printed("%llx", static_cast<unsigned long long>(value)), buffer);
    }
    char buffer[MDNUM_INTEGER_TEXT_SIZE];
    EXPECT_EQ(20, mdnum_formatInt64(buffer, INT64_MIN));
    EXPECT_STREQ("-9223372036854775808", buffer);
    EXPECT_EQ(18, mdnum_formatPointer(buffer, UINTPTR_MAX));
}

TEST(NumberTextIntegers, PaddedFormsMatchPrintfForEveryFlagAndWidth) {
    struct Conversion {
        char letter;
        int base;
        unsigned extra;
    };
    const Conversion conversions[] = {
        {'d', 10, 0}, {'u', 10, 0}, {'o', 8, 0}, {'x', 16, 0}, {'X', 16, MDNUM_UPPER_CASE}};
    const struct {
        const char* text;
        unsigned options;
    } flags[] = {{"", 0},
                 {"0", MDNUM_ZERO_PAD},
                 {"-", MDNUM_LEFT_ALIGN},
                 {"-0", MDNUM_LEFT_ALIGN | MDNUM_ZERO_PAD},
                 {"+", MDNUM_PLUS_SIGN},
                 {" ", MDNUM_SPACE_SIGN},
                 {"+ 0", MDNUM_PLUS_SIGN | MDNUM_SPACE_SIGN | MDNUM_ZERO_PAD},
                 {"#", MDNUM_ALTERNATE},
                 {"#0", MDNUM_ALTERNATE | MDNUM_ZERO_PAD},
                 {"#-", MDNUM_ALTERNATE | MDNUM_LEFT_ALIGN}};
    const int widths[] = {0, 1, 2, 5, 8, 16, 19, 20, 21, 25, 40};
    int checked = 0;
    for (uint64_t value : sampleIntegers()) {
        for (const Conversion& conversion : conversions) {
            for (const auto& flag : flags) {
                // printf takes '+', ' ' only for signed and '#' only for unsigned conversions.
                const bool isSigned = conversion.letter == 'd';
                if (isSigned && (flag.options & MDNUM_ALTERNATE)) continue;
                if (!isSigned && (flag.options & (MDNUM_PLUS_SIGN | MDNUM_SPACE_SIGN))) continue;
                for (int width : widths) {
                    const std::string format =
                        std::string("%") + flag.text + (width ? std::to_string(width) : "") + "ll" + conversion.letter;
                    const auto asSigned = static_cast<int64_t>(value);
                    const std::string expected = isSigned
                                                     ? printed(format.c_str(), static_cast<long long>(asSigned))
                                                     : printed(format.c_str(), static_cast<unsigned long long>(value));
                    const bool negative = isSigned && asSigned < 0;
                    const uint64_t magnitude = negative ? 0 - value : value;
                    char buffer[64];
                    const int length = mdnum_formatPadded(buffer, sizeof buffer, magnitude, negative, conversion.base,
                                                          width, flag.options | conversion.extra);
                    ASSERT_EQ(expected, std::string(buffer, static_cast<size_t>(length))) << format << " " << value;
                    checked++;
                }
            }
        }
    }
    EXPECT_GT(checked, 100000);
    // The pointer form: "0x" always, zeros after it.
    char buffer[64];
    mdnum_formatPadded(buffer, sizeof buffer, 0x1234, false, 16, 20, MDNUM_HEX_PREFIX | MDNUM_ZERO_PAD);
    EXPECT_EQ(printed("%020p", reinterpret_cast<void*>(0x1234)), buffer);
    mdnum_formatPadded(buffer, sizeof buffer, 0, false, 16, 0, MDNUM_HEX_PREFIX);
    EXPECT_STREQ("0x0", buffer);
}

TEST(NumberTextIntegers, PaddedTextIsCutToTheCapacityAndNeverPassesIt) {
    const std::string full = printed("%-30lld|", -1234567LL);
    for (int capacity = 0; capacity <= 40; capacity++) {
        char buffer[48];
        memset(buffer, '#', sizeof buffer);
        const int length = mdnum_formatPadded(buffer, capacity, 1234567, true, 10, 30, MDNUM_LEFT_ALIGN);
        const int expected = capacity == 0 ? 0 : std::min(capacity - 1, 30);
        ASSERT_EQ(expected, length) << capacity;
        if (capacity > 0) {
            EXPECT_EQ(full.substr(0, static_cast<size_t>(length)), std::string(buffer, static_cast<size_t>(length)));
            EXPECT_EQ('\0', buffer[length]);
        }
        for (size_t i = static_cast<size_t>(capacity); i < sizeof buffer; i++) ASSERT_EQ('#', buffer[i]) << capacity;
    }
    // A width far beyond the buffer fills it and stops.
    char buffer[8];
    EXPECT_EQ(7, mdnum_formatPadded(buffer, sizeof buffer, 5, false, 10, 1000000, MDNUM_ZERO_PAD));
    EXPECT_STREQ("0000000", buffer);
}

TEST(NumberTextIntegers, DigitHelpers) {
    char pair[3] = {0, 0, 0};
    mdnum_writeHexByte(pair, 0xA5, false);
    EXPECT_STREQ("a5", pair);
    mdnum_writeHexByte(pair, 0x0F, true);
    EXPECT_STREQ("0F", pair);

    const std::string hex = "0123456789abcdefABCDEF";
    for (size_t i = 0; i < hex.size(); i++)
        EXPECT_EQ(static_cast<int>(i < 16 ? i : i - 6), mdnum_hexDigitValue(hex[i]));
    for (char c : std::string("gG/:@`x \0", 9)) EXPECT_EQ(-1, mdnum_hexDigitValue(c)) << c;

    uint64_t value = 1844674407370955161ull;  // UINT64_MAX / 10
    EXPECT_TRUE(mdnum_addDecimalDigit(&value, 5));
    EXPECT_EQ(UINT64_MAX, value);
    value = 1844674407370955161ull;
    EXPECT_FALSE(mdnum_addDecimalDigit(&value, 6));
    EXPECT_EQ(1844674407370955161ull, value) << "an overflowing digit leaves the value";
    value = 12;
    EXPECT_TRUE(mdnum_addDecimalDigit(&value, 3));
    EXPECT_EQ(123u, value);
}

// ---- "%lg"

// Random doubles of every kind are compared in the JSON encoder's tests;
// here the values it never writes, and ties with their neighbours.
TEST(NumberTextDoubles, FormatMatchesPrintfIncludingTheSpecialValues) {
    EXPECT_EQ("inf", formatted(HUGE_VAL));
    EXPECT_EQ("-inf", formatted(-HUGE_VAL));
    EXPECT_EQ(printed("%lg", NAN), formatted(NAN));
    EXPECT_EQ(printed("%lg", -NAN), formatted(-NAN));
    EXPECT_EQ("-0", formatted(-0.0));
    std::mt19937_64 random(21);
    for (int i = 0; i < 20000; i++) {
        const double tie = static_cast<double>(random() % 20000000) / 2 * std::pow(10.0, static_cast<int>(random() % 7));
        for (double value : {tie, std::nextafter(tie, 0.0), std::nextafter(tie, HUGE_VAL)})
            ASSERT_EQ(printed("%lg", value), formatted(value)) << std::hexfloat << value;
    }
}

// The quick paths assume the default rounding; any other falls back to exact arithmetic.
TEST(NumberTextDoubles, OtherRoundingModesChangeNoResult) {
    std::mt19937_64 random(8);
    std::vector<double> values;
    std::vector<std::string> texts;
    // Finite values of every exponent.
    for (int i = 0; i < 2000; i++)
        values.push_back(doubleOf((random() & ~(0x7FFull << 52)) | ((random() % 2046 + 1) << 52)));
    for (int i = 0; i < 2000; i++)
        texts.push_back(randomDigits(random, 1 + static_cast<int>(random() % 30)) + "e" +
                        std::to_string(static_cast<int>(random() % 600) - 300));
    std::vector<std::string> expectedText;
    std::vector<uint64_t> expectedValue;
    for (double value : values) expectedText.push_back(printed("%lg", value));
    for (const std::string& text : texts) expectedValue.push_back(bitsOf(strtodC(text)));

    for (int mode : {FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
        ASSERT_EQ(0, fesetround(mode));
        std::vector<std::string> gotText;
        std::vector<uint64_t> gotValue;
        for (double value : values) gotText.push_back(formatted(value));
        for (const std::string& text : texts) gotValue.push_back(bitsOf(parsed(text)));
        fesetround(FE_TONEAREST);
        EXPECT_EQ(expectedText, gotText) << mode;
        EXPECT_EQ(expectedValue, gotValue) << mode;
    }
}

// ---- Parsing

TEST(NumberTextParsing, TakesTheLongestLeadingNumber) {
    const struct {
        const char* text;
        int length;
        double value;
    } cases[] = {
        {"", 0, 0},         {"-", 0, 0},    {".", 0, 0},     {"e5", 0, 0},
        {"x1", 0, 0},       {"5.", 2, 5},   {".5", 2, 0.5},  {"-.5e1", 5, -5},
        {"+3", 2, 3},       {"1e", 1, 1},   {"1e+", 1, 1},   {"2E-2", 4, 0.02},
        {"1.5.3", 3, 1.5},  {"7-1", 1, 7},  {"12ab", 2, 12}, {"0001.2500", 9, 1.25},
        {"1e0005", 6, 1e5}, {"00e9", 4, 0},
    };
    for (const auto& c : cases) {
        int length = -1;
        EXPECT_EQ(c.value, mdnum_parseDouble(c.text, static_cast<int>(strlen(c.text)), &length)) << c.text;
        EXPECT_EQ(c.length, length) << c.text;
    }
    // The length bounds the text; nothing past it is read.
    EXPECT_EQ(12.0, mdnum_parseDouble("123", 2, nullptr));
    EXPECT_EQ(0.0, mdnum_parseDouble(nullptr, 5, nullptr));
    EXPECT_TRUE(std::signbit(parsed("-0.0e-7")));
}

TEST(NumberTextParsing, RangeEndsAndKnownHardCases) {
    const char* texts[] = {"1.7976931348623157e308",
                           "1.7976931348623158e308",
                           "1.7976931348623159e308",
                           "179769313486231580793728971405301e276",
                           "1e309",
                           "1e400",
                           "1e99999999999999999999",
                           "2.2250738585072011e-308",
                           "2.2250738585072014e-308",
                           "4.9406564584124654e-324",
                           "2.4703282292062327e-324",
                           "2.4703282292062328e-324",
                           "1e-324",
                           "0e99999999999",
                           "9007199254740993",
                           "9007199254740993.0000000000000000001",
                           "9007199254740992.99999999999999999",
                           "0.1",
                           "3.141592653589793238462643383279502884197169399375105820974944",
                           "1e23",
                           "8.98846567431158e307",
                           "123456789012345678901234567890"};
    for (const char* text : texts) EXPECT_PARSES_LIKE_STRTOD(text);
    // Many digits that only shift the decimal point.
    EXPECT_EQ(1.0, parsed("1" + std::string(5000, '0') + "e-5000"));
    EXPECT_EQ(0.25, parsed("0." + std::string(3000, '0') + "25e3000"));
    EXPECT_EQ(HUGE_VAL, parsed("1" + std::string(400, '0')));
}

TEST(NumberTextParsing, LongMantissasAreCorrectlyRounded) {
    std::mt19937_64 random(20240601);
    for (int i = 0; i < 4000; i++) {
        const std::string digits = randomDigits(random, 20 + static_cast<int>(random() % 21));
        const size_t point = random() % (digits.size() + 1);
        std::string text = digits.substr(0, point) + "." + digits.substr(point);
        text += "e" + std::to_string(static_cast<int>(random() % 660) - 340);
        ASSERT_EQ(bitsOf(strtodC(text)), bitsOf(parsed(text))) << text;
    }
}

// The exact halfway points between neighbouring doubles (written out in
// full by printf from extended precision, over 700 digits for small ones),
// and the same texts nudged up in a digit past the 800th or cut short.
TEST(NumberTextParsing, HalfwayPointsRoundToEvenAndNudgesDecide) {
    std::mt19937_64 random(77);
    int checked = 0;
    for (int i = 0; i < 600; i++) {
        // Normal doubles of any size, and subnormal ones.
        const uint64_t bits = i % 3 == 0 ? random() & ((1ull << 52) - 1) : random() & ~(1ull << 63);
        const double low = doubleOf(bits);
        const double high = std::nextafter(low, HUGE_VAL);
        if (!std::isfinite(high)) continue;
        const long double halfway = (static_cast<long double>(low) + high) / 2;
        char exact[2000];
        snprintf(exact, sizeof exact, "%.1100Le", halfway);
        const std::string text = exact;
        const size_t e = text.find('e');
        const std::string mantissa = text.substr(0, e);
        const std::string exponent = text.substr(e);

        const double even = (bitsOf(low) & 1) == 0 ? low : high;
        ASSERT_EQ(bitsOf(even), bitsOf(parsed(text))) << text;
        const std::string above = mantissa + std::string(100, '0') + "1" + exponent;
        ASSERT_EQ(bitsOf(high), bitsOf(parsed(above))) << above;
        ASSERT_EQ(bitsOf(strtodC(mantissa.substr(0, 30) + exponent)),
                  bitsOf(parsed(mantissa.substr(0, 30) + exponent)));
        checked++;
    }
    EXPECT_GT(checked, 550);
}
