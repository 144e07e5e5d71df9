// UTC timestamp text, computed without the C library's time functions.
// Crash-path safe: no heap, no locks, no stdio.
#include "Mayday/Recording/Tools/MDDate.h"

#include <cstdint>

#include "Mayday/Recording/Tools/MDNumberText.h"

namespace {

// 0000-01-01T00:00:00Z and 9999-12-31T23:59:59Z: the range four year digits can show.
constexpr int64_t kEarliest = -62167219200LL;
constexpr int64_t kLatest = 253402300799LL;

// Division rounding towards negative infinity.
int64_t floorDivide(int64_t value, int64_t divisor) {
    const int64_t quotient = value / divisor;
    return (value % divisor != 0 && value < 0) ? quotient - 1 : quotient;
}

// The proleptic Gregorian date of a day count since 1970-01-01, by whole
// 400-year eras (146097 days) starting on a March 1st so that leap days come last.
void civilFromDays(int64_t days, int64_t* year, int* month, int* day) {
    days += 719468;  // days from 0000-03-01 to 1970-01-01
    const int64_t era = floorDivide(days, 146097);
    const int64_t dayOfEra = days - era * 146097;                                            // [0, 146096]
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;  // [0, 399]
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);  // [0, 365]
    const int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;                                // [0, 11]
    *day = static_cast<int>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
    *month = static_cast<int>(monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9);
    *year = yearOfEra + era * 400 + (*month <= 2 ? 1 : 0);
}

// Exactly `width` digits, zero-padded: every field is clamped to fit.
char* writeDigits(char* out, int64_t value, int width) {
    return out + mdnum_formatPadded(out, width + 1, static_cast<uint64_t>(value), false, 10, width, MDNUM_ZERO_PAD);
}

}  // namespace

void mddate_utcStringFromTimestamp(time_t timestamp, char* buffer) {
    if (!buffer) return;
    int64_t seconds = static_cast<int64_t>(timestamp);
    if (seconds < kEarliest) seconds = kEarliest;
    if (seconds > kLatest) seconds = kLatest;

    const int64_t days = floorDivide(seconds, 86400);
    const int64_t secondOfDay = seconds - days * 86400;
    int64_t year = 0;
    int month = 0;
    int day = 0;
    civilFromDays(days, &year, &month, &day);

    char* out = writeDigits(buffer, year, 4);
    *out++ = '-';
    out = writeDigits(out, month, 2);
    *out++ = '-';
    out = writeDigits(out, day, 2);
    *out++ = 'T';
    out = writeDigits(out, secondOfDay / 3600, 2);
    *out++ = ':';
    out = writeDigits(out, secondOfDay / 60 % 60, 2);
    *out++ = ':';
    out = writeDigits(out, secondOfDay % 60, 2);
    *out++ = 'Z';
    *out = '\0';
}
