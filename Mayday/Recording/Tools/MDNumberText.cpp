// Number text. Crash-path code: no heap, no locks, no stdio, no locale, no
// mutable globals; see MDNumberText.h.
//
// Doubles are formatted and parsed exactly: a quick estimate in x87
// extended precision (11 bits more than a double) settles almost every
// case, and whenever its error bound cannot exclude a wrong rounding the
// answer comes from exact big-integer arithmetic instead.
#include "Mayday/Recording/Tools/MDNumberText.h"

#include <cfloat>
#include <cstring>

#if LDBL_MANT_DIG == 64 && (defined(__x86_64__) || defined(__i386__))
#define MDNUM_HAS_X87 1
#else
#define MDNUM_HAS_X87 0
#endif

namespace {

// ============================================================================
// Integers
// ============================================================================

const char kLowerDigits[] = "0123456789abcdef";
const char kUpperDigits[] = "0123456789ABCDEF";

// "00", "01", ... "99": decimal digits go two at a time.
struct DigitPairs {
    char text[200];
    constexpr DigitPairs() : text() {
        for (int i = 0; i < 100; i++) {
            text[2 * i] = static_cast<char>('0' + i / 10);
            text[2 * i + 1] = static_cast<char>('0' + i % 10);
        }
    }
};
constexpr DigitPairs kDigitPairs;

// Writes the digits of `value` in `base` (8, 10 or 16) so that they end just
// before `end`; answers where they start. At most 22 characters.
char* digitsBefore(char* end, uint64_t value, int base, bool upperCase) {
    if (base == 10) {
        while (value >= 100) {
            const unsigned pair = static_cast<unsigned>(value % 100);
            value /= 100;
            end -= 2;
            memcpy(end, kDigitPairs.text + 2 * pair, 2);
        }
        if (value >= 10) {
            end -= 2;
            memcpy(end, kDigitPairs.text + 2 * value, 2);
        } else {
            *--end = static_cast<char>('0' + value);
        }
        return end;
    }
    const char* digits = upperCase ? kUpperDigits : kLowerDigits;
    const unsigned shift = base == 16 ? 4 : 3;
    const uint64_t mask = static_cast<uint64_t>(base - 1);
    do {
        *--end = digits[value & mask];
        value >>= shift;
    } while (value != 0);
    return end;
}

// Copies `count` characters and the terminator; answers `count`.
int copyText(char* buffer, const char* text, int count) {
    memcpy(buffer, text, static_cast<size_t>(count));
    buffer[count] = '\0';
    return count;
}

int formatInBase(char* buffer, uint64_t value, int base, bool upperCase, const char* prefix, int prefixLength) {
    char space[MDNUM_INTEGER_TEXT_SIZE];
    char* const end = space + sizeof(space);
    char* start = digitsBefore(end, value, base, upperCase);
    start -= prefixLength;
    memcpy(start, prefix, static_cast<size_t>(prefixLength));
    return copyText(buffer, start, static_cast<int>(end - start));
}

// ============================================================================
// Exact arithmetic: a fixed-size unsigned big integer
// ============================================================================

// 4096 bits. The largest operand is an exact comparison of mdnum_parseDouble:
// 800 decimal digits shifted by 1076 bits, or a 54-bit halfway point times
// 10^1124 (about 3800 bits). Formatting needs about 1150.
constexpr int kBigWords = 128;

struct BigInt {
    int count;                  // words in use; no leading zero words
    uint32_t words[kBigWords];  // least significant first
};

void bigSet(BigInt* big, uint64_t value) {
    big->count = 0;
    while (value != 0) {
        big->words[big->count++] = static_cast<uint32_t>(value);
        value >>= 32;
    }
}

// Copies only the words in use: a whole BigInt is half a kilobyte.
void bigCopy(BigInt* to, const BigInt* from) {
    to->count = from->count;
    memcpy(to->words, from->words, sizeof(uint32_t) * static_cast<size_t>(from->count));
}

// big = big * factor + addend
void bigMulAdd(BigInt* big, uint32_t factor, uint32_t addend) {
    uint64_t carry = addend;
    for (int i = 0; i < big->count; i++) {
        const uint64_t product = static_cast<uint64_t>(big->words[i]) * factor + carry;
        big->words[i] = static_cast<uint32_t>(product);
        carry = product >> 32;
    }
    if (carry != 0 && big->count < kBigWords) big->words[big->count++] = static_cast<uint32_t>(carry);
    while (big->count > 0 && big->words[big->count - 1] == 0) big->count--;
}

constexpr uint32_t kSmallPowersOf10[10] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000, 1000000000};

void bigMulPow10(BigInt* big, int64_t exponent) {
    while (exponent >= 9) {
        bigMulAdd(big, kSmallPowersOf10[9], 0);
        exponent -= 9;
    }
    if (exponent > 0) bigMulAdd(big, kSmallPowersOf10[exponent], 0);
}

void bigShiftLeft(BigInt* big, int bits) {
    if (big->count == 0 || bits <= 0) return;
    const int wordShift = bits / 32;
    const int bitShift = bits % 32;
    int newCount = big->count + wordShift + 1;
    if (newCount > kBigWords) newCount = kBigWords;
    for (int i = newCount - 1; i >= 0; i--) {
        const int source = i - wordShift;
        const uint64_t high = source >= 0 && source < big->count ? big->words[source] : 0;
        const uint64_t low = source - 1 >= 0 && source - 1 < big->count ? big->words[source - 1] : 0;
        const uint64_t combined = (high << 32) | low;
        big->words[i] = static_cast<uint32_t>(combined >> (32 - bitShift));
    }
    big->count = newCount;
    while (big->count > 0 && big->words[big->count - 1] == 0) big->count--;
}

int bigCompare(const BigInt* a, const BigInt* b) {
    if (a->count != b->count) return a->count < b->count ? -1 : 1;
    for (int i = a->count - 1; i >= 0; i--) {
        if (a->words[i] != b->words[i]) return a->words[i] < b->words[i] ? -1 : 1;
    }
    return 0;
}

// a -= b; requires a >= b.
void bigSubtract(BigInt* a, const BigInt* b) {
    int64_t borrow = 0;
    for (int i = 0; i < a->count; i++) {
        const int64_t difference =
            static_cast<int64_t>(a->words[i]) - (i < b->count ? static_cast<int64_t>(b->words[i]) : 0) - borrow;
        borrow = difference < 0 ? 1 : 0;
        a->words[i] = static_cast<uint32_t>(difference + (borrow << 32));
    }
    while (a->count > 0 && a->words[a->count - 1] == 0) a->count--;
}

// floor(numerator / denominator) for a quotient below 2^25, with the
// remainder left in `numerator`.
uint32_t bigSmallQuotient(BigInt* numerator, const BigInt* denominator) {
    uint32_t quotient = 0;
    BigInt product;
    for (uint32_t bit = 1u << 24; bit != 0; bit >>= 1) {
        bigCopy(&product, denominator);
        bigMulAdd(&product, quotient | bit, 0);
        if (bigCompare(&product, numerator) <= 0) quotient |= bit;
    }
    bigCopy(&product, denominator);
    bigMulAdd(&product, quotient, 0);
    bigSubtract(numerator, &product);
    return quotient;
}

// ============================================================================
// Doubles: shared pieces
// ============================================================================

struct DoubleParts {
    uint64_t mantissa;  // with the hidden bit for normal numbers
    int exponent2;      // value = mantissa * 2^exponent2
    int biasedExponent;
};

DoubleParts partsOf(double value) {
    uint64_t bits;
    memcpy(&bits, &value, sizeof bits);
    DoubleParts parts;
    parts.biasedExponent = static_cast<int>((bits >> 52) & 0x7FF);
    parts.mantissa = bits & ((1ull << 52) - 1);
    if (parts.biasedExponent == 0) {
        parts.exponent2 = -1074;
    } else {
        parts.mantissa |= 1ull << 52;
        parts.exponent2 = parts.biasedExponent - 1075;
    }
    return parts;
}

double doubleFromBits(uint64_t bits) {
    double value;
    memcpy(&value, &bits, sizeof value);
    return value;
}

// 10^n in extended precision for 0 <= n < 512. Exact up to 10^27 (5^27 still
// fits the 64-bit significand); beyond, a product of at most nine factors,
// four of them rounded, so at most 12 roundings.
long double extendedPowerOf10(int n, bool* exact) {
    static const long double kExact[28] = {1e0L,  1e1L,  1e2L,  1e3L,  1e4L,  1e5L,  1e6L,  1e7L,  1e8L,  1e9L,
                                           1e10L, 1e11L, 1e12L, 1e13L, 1e14L, 1e15L, 1e16L, 1e17L, 1e18L, 1e19L,
                                           1e20L, 1e21L, 1e22L, 1e23L, 1e24L, 1e25L, 1e26L, 1e27L};
    if (n < 28) {
        *exact = true;
        return kExact[n];
    }
    *exact = false;
    static const long double kSquares[9] = {1e1L, 1e2L, 1e4L, 1e8L, 1e16L, 1e32L, 1e64L, 1e128L, 1e256L};
    long double result = 1.0L;
    for (int bit = 0; bit < 9 && n != 0; bit++, n >>= 1) {
        if (n & 1) result *= kSquares[bit];
    }
    return result;
}

// value * 10^exponent10 in extended precision.
long double extendedScale(long double value, int exponent10, bool* exact) {
    return exponent10 >= 0 ? value * extendedPowerOf10(exponent10, exact)
                           : value / extendedPowerOf10(-exponent10, exact);
}

#if MDNUM_HAS_X87
// The error bounds of the quick paths assume round-to-nearest in full
// extended precision. Signal handlers start with that state; a process that
// changed its x87 control word gets the exact paths.
bool x87RoundsToNearestInFullPrecision() {
    unsigned short control;
    __asm__ volatile("fnstcw %0" : "=m"(control));
    return (control & 0x0F00) == 0x0300;
}
#endif

// ============================================================================
// Doubles: "%lg"
// ============================================================================

// floor(log10(|value|)) or one less, for a finite non-zero value.
int decimalExponentEstimate(const DoubleParts& parts) {
    const int bitLength = 64 - __builtin_clzll(parts.mantissa);
    return static_cast<int>((static_cast<int64_t>(parts.exponent2 + bitLength - 1) * 78913) >> 18);
}

// The quick six digits: |value| * 10^(5 - k) in extended precision is within
// 13 roundings (relative 13 * 2^-64) of exact, under 1e-12 absolute below
// 10^6; only a fraction within 1e-9 of one half could round the other way.
bool roundToSixDigitsQuickly(double value, const DoubleParts& parts, uint32_t* digits, int* exponent10) {
#if MDNUM_HAS_X87
    if (!x87RoundsToNearestInFullPrecision()) return false;
    int k = decimalExponentEstimate(parts);
    for (int attempt = 0; attempt < 3; attempt++) {
        bool exact;
        const long double scaled = extendedScale(static_cast<long double>(value), 5 - k, &exact);
        if (scaled >= 1e6L) {
            k++;
            continue;
        }
        if (scaled < 1e5L) {
            k--;
            continue;
        }
        uint32_t quotient = static_cast<uint32_t>(scaled);
        const long double fraction = scaled - static_cast<long double>(quotient);
        if (fraction > 0.5L - 1e-9L && fraction < 0.5L + 1e-9L) return false;
        if (fraction > 0.5L) quotient++;
        if (quotient == 1000000) {
            quotient = 100000;
            k++;
        }
        *digits = quotient;
        *exponent10 = k;
        return true;
    }
#else
    (void)value;
    (void)parts;
    (void)digits;
    (void)exponent10;
#endif
    return false;
}

// The six digits exactly, rounded to nearest with ties to even on the exact
// binary value as glibc's printf does.
void roundToSixDigitsExactly(const DoubleParts& parts, uint32_t* digits, int* exponent10) {
    int k = decimalExponentEstimate(parts);
    for (;;) {
        const int scale = 5 - k;  // value * 10^scale should lie in [10^5, 10^6)
        BigInt numerator;
        BigInt denominator;
        bigSet(&numerator, parts.mantissa);
        bigSet(&denominator, 1);
        if (parts.exponent2 >= 0)
            bigShiftLeft(&numerator, parts.exponent2);
        else
            bigShiftLeft(&denominator, -parts.exponent2);
        if (scale >= 0)
            bigMulPow10(&numerator, scale);
        else
            bigMulPow10(&denominator, -scale);

        uint32_t quotient = bigSmallQuotient(&numerator, &denominator);
        if (quotient >= 1000000) {
            k++;
            continue;
        }
        if (quotient < 100000) {
            k--;
            continue;
        }
        // numerator now holds the remainder: compare twice it with the denominator.
        bigShiftLeft(&numerator, 1);
        const int half = bigCompare(&numerator, &denominator);
        if (half > 0 || (half == 0 && (quotient & 1) != 0)) quotient++;
        if (quotient == 1000000) {
            quotient = 100000;
            k++;
        }
        *digits = quotient;
        *exponent10 = k;
        return;
    }
}

// ============================================================================
// Doubles: parsing
// ============================================================================

// The parts of a decimal number text.
struct DecimalText {
    bool negative;
    // The significant digits, leading zeros skipped: the rest of the integer
    // digits then all fraction digits, or (for a value below 1) the fraction
    // digits after its leading zeros.
    const char* first;
    const char* firstEnd;
    const char* second;
    const char* secondEnd;
    int64_t magnitude;  // the value lies in [10^(magnitude - 1), 10^magnitude)
    int length;         // bytes of the number text, 0 when there is none
};

// Significant digits beyond these cannot change the rounding: every halfway
// point between doubles has at most 767 significant digits, so the rest only
// tells whether the value lies above the digits kept.
constexpr int kMaxExactDigits = 800;
// Written exponents are clamped here, far beyond any double and far below overflow.
constexpr int64_t kExponentClamp = 1000000000000LL;

bool scanDecimal(const char* text, int length, DecimalText* scan) {
    int i = 0;
    scan->negative = false;
    scan->length = 0;
    if (i < length && (text[i] == '-' || text[i] == '+')) scan->negative = text[i++] == '-';
    const char* const integer = text + i;
    while (i < length && mdnum_isDecimalDigit(text[i])) i++;
    const char* const integerEnd = text + i;
    const char* fraction = integerEnd;
    const char* fractionEnd = integerEnd;
    if (i < length && text[i] == '.') {
        fraction = text + ++i;
        while (i < length && mdnum_isDecimalDigit(text[i])) i++;
        fractionEnd = text + i;
    }
    if (integer == integerEnd && fraction == fractionEnd) return false;

    int64_t written = 0;
    if (i < length && (text[i] == 'e' || text[i] == 'E')) {
        int j = i + 1;
        bool negativeExponent = false;
        if (j < length && (text[j] == '+' || text[j] == '-')) negativeExponent = text[j++] == '-';
        if (j < length && mdnum_isDecimalDigit(text[j])) {
            for (; j < length && mdnum_isDecimalDigit(text[j]); j++) {
                if (written < kExponentClamp) written = written * 10 + (text[j] - '0');
            }
            if (negativeExponent) written = -written;
            i = j;
        }
    }
    scan->length = i;

    const char* p = integer;
    while (p < integerEnd && *p == '0') p++;
    if (p < integerEnd) {
        scan->first = p;
        scan->firstEnd = integerEnd;
        scan->second = fraction;
        scan->secondEnd = fractionEnd;
        scan->magnitude = (integerEnd - p) + written;
    } else {
        const char* q = fraction;
        while (q < fractionEnd && *q == '0') q++;
        scan->first = q;
        scan->firstEnd = fractionEnd;
        scan->second = fractionEnd;
        scan->secondEnd = fractionEnd;
        scan->magnitude = -(q - fraction) + written;
    }
    return true;
}

// Walks the significant digits of a scanned text.
struct DigitCursor {
    const char* p;
    const char* end;
    const char* next;
    const char* nextEnd;

    explicit DigitCursor(const DecimalText& text)
        : p(text.first), end(text.firstEnd), next(text.second), nextEnd(text.secondEnd) {}
    bool done() {
        if (p == end && next != nextEnd) {
            p = next;
            end = nextEnd;
            next = nextEnd;
        }
        return p == end;
    }
    unsigned take() { return static_cast<unsigned>(*p++ - '0'); }
    // Whether a digit other than zero is left.
    bool anyNonZeroLeft() {
        while (!done()) {
            if (take() != 0) return true;
        }
        return false;
    }
};

// Where the decimal digits * 10^exponent10 (and above them when `sticky`)
// lie against binary * 2^exponent2: -1 below, 0 on it, 1 above.
int compareWithBinary(const BigInt& digits, int64_t exponent10, bool sticky, uint64_t binary, int exponent2) {
    BigInt decimal;
    BigInt other;
    bigCopy(&decimal, &digits);
    bigSet(&other, binary);
    if (exponent10 >= 0)
        bigMulPow10(&decimal, exponent10);
    else
        bigMulPow10(&other, -exponent10);
    if (exponent2 >= 0)
        bigShiftLeft(&other, exponent2);
    else
        bigShiftLeft(&decimal, -exponent2);
    const int order = bigCompare(&decimal, &other);
    return order == 0 && sticky ? 1 : order;
}

// Moves a candidate (positive, a few steps off at most) to the double
// nearest to the decimal text, ties to even, by comparing the text's digits
// exactly with the halfway points to the candidate's neighbours. With more
// than kMaxExactDigits digits the rest only counts as "a little more".
double roundExactly(double candidate, const DecimalText& text) {
    BigInt digits;
    bigSet(&digits, 0);
    int kept = 0;
    DigitCursor cursor(text);
    while (kept < kMaxExactDigits && !cursor.done()) {
        uint32_t chunk = 0;
        int chunkDigits = 0;
        while (chunkDigits < 9 && kept < kMaxExactDigits && !cursor.done()) {
            chunk = chunk * 10 + cursor.take();
            chunkDigits++;
            kept++;
        }
        bigMulAdd(&digits, kSmallPowersOf10[chunkDigits], chunk);
    }
    const bool sticky = cursor.anyNonZeroLeft();
    const int64_t exponent10 = text.magnitude - kept;

    if (__builtin_isinf(candidate)) candidate = DBL_MAX;
    for (int step = 0; step < 64; step++) {
        if (__builtin_isinf(candidate)) return candidate;
        uint64_t bits;
        memcpy(&bits, &candidate, sizeof bits);
        const DoubleParts parts = partsOf(candidate);
        // Halfway to the next double up.
        const int above = compareWithBinary(digits, exponent10, sticky, 2 * parts.mantissa + 1, parts.exponent2 - 1);
        if (above > 0 || (above == 0 && (parts.mantissa & 1) != 0)) {
            candidate = doubleFromBits(bits + 1);
            continue;
        }
        if (parts.mantissa == 0) return candidate;
        // Halfway to the next double down; closer below a power of two.
        const int below =
            parts.mantissa == (1ull << 52) && parts.biasedExponent > 1
                ? compareWithBinary(digits, exponent10, sticky, 4 * parts.mantissa - 1, parts.exponent2 - 2)
                : compareWithBinary(digits, exponent10, sticky, 2 * parts.mantissa - 1, parts.exponent2 - 1);
        if (below < 0 || (below == 0 && (parts.mantissa & 1) != 0)) {
            candidate = doubleFromBits(bits - 1);
            continue;
        }
        return candidate;
    }
    return candidate;
}

#if MDNUM_HAS_X87
// Rounds an extended value to a double by its bits when that is certain:
// `value` must be within `errorUnits` units of its last place of the exact
// value, and at least that far from a halfway point between doubles. Normal
// doubles only. Rounds to nearest-even itself, whatever the rounding mode.
bool roundExtendedWhenCertain(long double value, int errorUnits, double* result) {
    uint64_t significand;
    uint16_t signAndExponent;
    memcpy(&significand, &value, sizeof significand);
    memcpy(&signAndExponent, reinterpret_cast<const char*>(&value) + 8, sizeof signAndExponent);
    int exponent = (signAndExponent & 0x7FFF) - 16383;  // value = significand * 2^(exponent - 63)
    if (exponent < -1022 || exponent > 1023 || (significand >> 63) == 0) return false;
    // The 11 bits a double drops; 0x400 is the halfway point.
    const int dropped = static_cast<int>(significand & 0x7FF);
    if (dropped >= 0x400 - errorUnits && dropped <= 0x400 + errorUnits) return false;
    uint64_t kept = significand >> 11;
    if (dropped > 0x400) kept++;
    if (kept == (1ull << 53)) {
        kept >>= 1;
        exponent++;
    }
    if (exponent > 1023) {
        *result = __builtin_inf();
        return true;
    }
    *result = doubleFromBits((static_cast<uint64_t>(exponent + 1023) << 52) | (kept & ((1ull << 52) - 1)));
    return true;
}
#endif

double parseMagnitude(const DecimalText& text) {
    if (text.first == text.firstEnd) return 0.0;  // no digit but zeros
    if (text.magnitude > 309) return __builtin_inf();
    if (text.magnitude < -323) return 0.0;  // below 1e-324, under half the smallest subnormal

    // The first 19 significant digits fit a 64-bit integer exactly.
    uint64_t leading = 0;
    int count = 0;
    DigitCursor cursor(text);
    while (count < 19 && !cursor.done()) {
        leading = leading * 10 + cursor.take();
        count++;
    }
    const bool truncated = cursor.anyNonZeroLeft();
    bool exactScale;
    const long double estimate =
        extendedScale(static_cast<long double>(leading), static_cast<int>(text.magnitude - count), &exactScale);

#if MDNUM_HAS_X87
    // Error of the estimate in units of its last place: a single rounding
    // with an exact power of ten; otherwise up to 13 roundings (2^-64
    // relative each) and, for cut digits, 10^-18 relative (under 19 units).
    if (x87RoundsToNearestInFullPrecision()) {
        const int errorUnits = exactScale && !truncated ? 2 : 48;
        double result;
        if (roundExtendedWhenCertain(estimate, errorUnits, &result)) return result;
    }
#else
    (void)truncated;
#endif
    return roundExactly(static_cast<double>(estimate), text);
}

}  // namespace

// ============================================================================
// Public interface
// ============================================================================

int mdnum_formatUInt64(char* buffer, uint64_t value) { return formatInBase(buffer, value, 10, false, "", 0); }

int mdnum_formatInt64(char* buffer, int64_t value) {
    if (value >= 0) return formatInBase(buffer, static_cast<uint64_t>(value), 10, false, "", 0);
    // Negating in unsigned arithmetic keeps INT64_MIN correct.
    return formatInBase(buffer, 0 - static_cast<uint64_t>(value), 10, false, "-", 1);
}

int mdnum_formatHex(char* buffer, uint64_t value, bool upperCase) {
    return formatInBase(buffer, value, 16, upperCase, "", 0);
}

int mdnum_formatPointer(char* buffer, uintptr_t value) { return formatInBase(buffer, value, 16, false, "0x", 2); }

int mdnum_formatPadded(char* buffer, int capacity, uint64_t magnitude, bool negative, int base, int width,
                       unsigned options) {
    if (buffer == nullptr || capacity <= 0) return 0;
    if (base != 8 && base != 16) base = 10;
    const bool upperCase = (options & MDNUM_UPPER_CASE) != 0;
    char space[MDNUM_INTEGER_TEXT_SIZE];
    char* const end = space + sizeof(space);
    char* digits = digitsBefore(end, magnitude, base, upperCase);
    if (base == 8 && (options & MDNUM_ALTERNATE) && magnitude != 0) *--digits = '0';
    const int digitCount = static_cast<int>(end - digits);

    char prefix[3];
    int prefixLength = 0;
    if (negative) {
        prefix[prefixLength++] = '-';
    } else if (options & MDNUM_PLUS_SIGN) {
        prefix[prefixLength++] = '+';
    } else if (options & MDNUM_SPACE_SIGN) {
        prefix[prefixLength++] = ' ';
    }
    if (base == 16 && ((options & MDNUM_HEX_PREFIX) || ((options & MDNUM_ALTERNATE) && magnitude != 0))) {
        prefix[prefixLength++] = '0';
        prefix[prefixLength++] = upperCase ? 'X' : 'x';
    }
    const int textLength = prefixLength + digitCount;
    const int padding = width > textLength ? width - textLength : 0;

    const int room = capacity - 1;
    int written = 0;
    auto put = [&](const char* text, int count) {
        if (count > room - written) count = room - written;
        memcpy(buffer + written, text, static_cast<size_t>(count));
        written += count;
    };
    auto repeat = [&](char ch, int count) {
        if (count > room - written) count = room - written;
        memset(buffer + written, ch, static_cast<size_t>(count));
        written += count;
    };
    if (options & MDNUM_LEFT_ALIGN) {
        put(prefix, prefixLength);
        put(digits, digitCount);
        repeat(' ', padding);
    } else if (options & MDNUM_ZERO_PAD) {
        put(prefix, prefixLength);
        repeat('0', padding);
        put(digits, digitCount);
    } else {
        repeat(' ', padding);
        put(prefix, prefixLength);
        put(digits, digitCount);
    }
    buffer[written] = '\0';
    return written;
}

void mdnum_writeHexByte(char* out, uint8_t byte, bool upperCase) {
    const char* digits = upperCase ? kUpperDigits : kLowerDigits;
    out[0] = digits[byte >> 4];
    out[1] = digits[byte & 0xF];
}

int mdnum_hexDigitValue(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

bool mdnum_addDecimalDigit(uint64_t* value, unsigned digit) {
    if (*value > (UINT64_MAX - digit) / 10) return false;
    *value = *value * 10 + digit;
    return true;
}

int mdnum_formatDouble(char* buffer, double value) {
    int length = 0;
    if (__builtin_signbit(value)) {
        buffer[length++] = '-';
        value = -value;
    }
    if (__builtin_isnan(value)) return length + copyText(buffer + length, "nan", 3);
    if (__builtin_isinf(value)) return length + copyText(buffer + length, "inf", 3);
    if (value == 0) return length + copyText(buffer + length, "0", 1);

    const DoubleParts parts = partsOf(value);
    uint32_t digits;
    int exponent;
    if (!roundToSixDigitsQuickly(value, parts, &digits, &exponent)) roundToSixDigitsExactly(parts, &digits, &exponent);
    char text[6];
    digitsBefore(text + 6, digits, 10, false);  // digits has exactly six
    int significant = 6;
    while (significant > 1 && text[significant - 1] == '0') significant--;

    if (exponent < -4 || exponent >= 6) {
        buffer[length++] = text[0];
        if (significant > 1) {
            buffer[length++] = '.';
            for (int i = 1; i < significant; i++) buffer[length++] = text[i];
        }
        buffer[length++] = 'e';
        buffer[length++] = exponent < 0 ? '-' : '+';
        // At least two exponent digits, as printf writes them.
        const int magnitude = exponent < 0 ? -exponent : exponent;
        length +=
            mdnum_formatPadded(buffer + length, 4, static_cast<uint64_t>(magnitude), false, 10, 2, MDNUM_ZERO_PAD);
        return length;
    }
    if (exponent >= 0) {
        // The integer part keeps all its digits; only fraction zeros go.
        for (int i = 0; i <= exponent; i++) buffer[length++] = text[i];
        if (significant > exponent + 1) {
            buffer[length++] = '.';
            for (int i = exponent + 1; i < significant; i++) buffer[length++] = text[i];
        }
    } else {
        buffer[length++] = '0';
        buffer[length++] = '.';
        for (int i = 0; i < -exponent - 1; i++) buffer[length++] = '0';
        for (int i = 0; i < significant; i++) buffer[length++] = text[i];
    }
    buffer[length] = '\0';
    return length;
}

double mdnum_parseDouble(const char* text, int length, int* parsedLength) {
    DecimalText scan;
    if (text == nullptr || length <= 0 || !scanDecimal(text, length, &scan)) {
        if (parsedLength) *parsedLength = 0;
        return 0.0;
    }
    if (parsedLength) *parsedLength = scan.length;
    const double magnitude = parseMagnitude(scan);
    return scan.negative ? -magnitude : magnitude;
}
