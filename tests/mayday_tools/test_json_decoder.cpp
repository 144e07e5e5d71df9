// The crash-path JSON decoder: structure and lenient separators, numbers,
// strings and escapes, buffers and bounds, depth, callback errors, the
// conformance suite, and running inside a signal handler.

#include <gtest/gtest.h>

#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <random>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "Mayday/Recording/Tools/MDJSONCodec.h"
#include "DeliberateFault.h"
#include "TempDir.h"

namespace {

// Memory whose last usable byte sits right before an inaccessible page, so
// that reading or writing one byte too far crashes the test.
class GuardedBytes {
public:
    explicit GuardedBytes(size_t size) : size_(size) {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        mappedSize_ = (size + page - 1) / page * page + page;
        void* mapped = mmap(nullptr, mappedSize_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) abort();
        mapped_ = static_cast<char*>(mapped);
        if (mprotect(mapped_ + mappedSize_ - page, page, PROT_NONE) != 0) abort();
        data_ = mapped_ + mappedSize_ - page - size;
    }
    GuardedBytes(const std::string& contents) : GuardedBytes(contents.size()) {
        memcpy(data_, contents.data(), contents.size());
    }
    ~GuardedBytes() { munmap(mapped_, mappedSize_); }
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;

    char* data() const noexcept { return data_; }
    int size() const noexcept { return static_cast<int>(size_); }

private:
    char* mapped_ = nullptr;
    size_t mappedSize_ = 0;
    char* data_ = nullptr;
    size_t size_ = 0;
};

// Records every callback as a short text; can be told to fail at one event.
struct Recorder {
    std::vector<std::string> events;
    std::vector<double> floats;
    std::vector<std::string> strings;
    int failAtEvent = -1;
    int failCode = 77;

    static std::string prefix(const char* name) { return name ? std::string(name) + "=" : std::string(); }
    int record(std::string event) {
        events.push_back(std::move(event));
        return static_cast<int>(events.size()) - 1 == failAtEvent ? failCode : 0;
    }
    static Recorder* of(void* userData) { return static_cast<Recorder*>(userData); }

    static const MDJSONDecodeCallbacks* callbacks() {
        static const MDJSONDecodeCallbacks table = {
            [](const char* name, bool value, void* u) { return of(u)->record(prefix(name) + (value ? "true" : "false")); },
            [](const char* name, double value, void* u) {
                of(u)->floats.push_back(value);
                char text[40];
                snprintf(text, sizeof text, "F%.17g", value);
                return of(u)->record(prefix(name) + text);
            },
            [](const char* name, int64_t value, void* u) {
                return of(u)->record(prefix(name) + "I" + std::to_string(value));
            },
            [](const char* name, void* u) { return of(u)->record(prefix(name) + "null"); },
            [](const char* name, const char* value, void* u) {
                of(u)->strings.emplace_back(value);
                return of(u)->record(prefix(name) + "S" + value);
            },
            [](const char* name, void* u) { return of(u)->record(prefix(name) + "{"); },
            [](const char* name, void* u) { return of(u)->record(prefix(name) + "["); },
            [](void* u) { return of(u)->record("end"); },
            [](void* u) { return of(u)->record("eod"); },
        };
        return &table;
    }
};

struct Decoded {
    int result = -1;
    int offset = -1;
    Recorder recorder;
};

// Decodes `text` from guarded memory with a guarded work buffer.
Decoded decode(const std::string& text, int bufferLength = 4096) {
    GuardedBytes data(text);
    GuardedBytes buffer(static_cast<size_t>(bufferLength));
    Decoded decoded;
    decoded.result = mdjson_decode(data.data(), data.size(), buffer.data(), bufferLength, Recorder::callbacks(),
                                   &decoded.recorder, &decoded.offset);
    return decoded;
}

std::vector<std::string> events(const std::string& text) {
    Decoded decoded = decode(text);
    EXPECT_EQ(MDJSON_OK, decoded.result) << text;
    return decoded.recorder.events;
}

using Events = std::vector<std::string>;

double decodeOneFloat(const std::string& number) {
    Decoded decoded = decode("[" + number + "]");
    EXPECT_EQ(MDJSON_OK, decoded.result) << number;
    EXPECT_EQ(1u, decoded.recorder.floats.size()) << number;
    return decoded.recorder.floats.empty() ? NAN : decoded.recorder.floats[0];
}

// ---------------------------------------------------------------------------

TEST(JsonDecoderStructure, EveryKindOfElementWithNames) {
    EXPECT_EQ((Events{"{", "a=I1", "b=F2.5", "c=true", "d=false", "e=null", "f=Stext", "g=[", "I-3", "{", "end", "end",
                      "h={", "end", "end", "eod"}),
              events(" {\"a\":1,\"b\":2.5,\"c\":true,\"d\":false,\"e\":null,\"f\":\"text\",\"g\":[-3,{}],\"h\":{}} "));
}

TEST(JsonDecoderStructure, CommasAreOptionalAndMayTrail) {
    EXPECT_EQ((Events{"[", "I1", "I2", "end", "eod"}), events("[1,2,]"));
    EXPECT_EQ((Events{"[", "I1", "I2", "end", "eod"}), events("[1 2]"));
    EXPECT_EQ((Events{"{", "a=I1", "b=I2", "c=I3", "end", "eod"}), events("{\"a\":1 \"b\":2\n\"c\":3,}"));
    EXPECT_EQ((Events{"[", "end", "eod"}), events("[ \t\n\v\f\r]"));
    EXPECT_EQ(MDJSON_ERROR_INVALID_CHARACTER, decode("[1,,2]").result);
    EXPECT_EQ(MDJSON_ERROR_INVALID_CHARACTER, decode("[,1]").result);
}

TEST(JsonDecoderStructure, InputAfterTheFirstElementIsNotExamined) {
    EXPECT_EQ((Events{"[", "end", "eod"}), events("[] this is not json"));
    EXPECT_EQ((Events{"true", "eod"}), events("true}}}"));
    EXPECT_EQ((Events{"Sx", "eod"}), events("\"x\"\"y\""));
}

TEST(JsonDecoderStructure, MalformedStructureAndItsErrorOffsets) {
    struct Case {
        const char* text;
        int result;
        int offset;
    };
    const Case cases[] = {
        {"]", MDJSON_ERROR_INVALID_CHARACTER, 0},
        {"  }", MDJSON_ERROR_INVALID_CHARACTER, 2},
        {"[1,x]", MDJSON_ERROR_INVALID_CHARACTER, 3},
        {"[1}", MDJSON_ERROR_INVALID_CHARACTER, 2},
        {"{\"a\":1]", MDJSON_ERROR_INVALID_CHARACTER, 6},
        {"{\"a\" 1}", MDJSON_ERROR_INVALID_CHARACTER, 5},
        {"{a:1}", MDJSON_ERROR_INVALID_CHARACTER, 1},
        {"[trux]", MDJSON_ERROR_INVALID_CHARACTER, 1},
        {"[-x]", MDJSON_ERROR_INVALID_CHARACTER, 2},
        {"", MDJSON_ERROR_INCOMPLETE, 0},
        {"   ", MDJSON_ERROR_INCOMPLETE, 3},
        {"[1,2", MDJSON_ERROR_INCOMPLETE, 4},
        {"[1,2 ", MDJSON_ERROR_INCOMPLETE, 5},
        {"{\"a\"", MDJSON_ERROR_INCOMPLETE, 4},
        {"{\"a\":", MDJSON_ERROR_INCOMPLETE, 5},
        {"tru", MDJSON_ERROR_INCOMPLETE, 0},
        {"[fals", MDJSON_ERROR_INCOMPLETE, 1},
        {"nul", MDJSON_ERROR_INCOMPLETE, 0},
        {"-", MDJSON_ERROR_INCOMPLETE, 1},
    };
    for (const Case& c : cases) {
        Decoded decoded = decode(c.text);
        EXPECT_EQ(c.result, decoded.result) << "'" << c.text << "'";
        EXPECT_EQ(c.offset, decoded.offset) << "'" << c.text << "'";
    }
}

TEST(JsonDecoderStructure, CallbackErrorsStopDecodingAtOnce) {
    const std::string text = "{\"a\":[1,2],\"b\":\"s\"}";
    for (int failAt = 0; failAt < 7; failAt++) {
        GuardedBytes data(text);
        char buffer[256];
        Recorder recorder;
        recorder.failAtEvent = failAt;
        int offset = -1;
        EXPECT_EQ(77, mdjson_decode(data.data(), data.size(), buffer, sizeof buffer, Recorder::callbacks(), &recorder,
                                    &offset));
        EXPECT_EQ(static_cast<size_t>(failAt) + 1, recorder.events.size());
        EXPECT_GT(offset, 0);
    }
    // Without an offset pointer nothing is written anywhere.
    char buffer[64];
    Recorder recorder;
    EXPECT_EQ(MDJSON_ERROR_INVALID_CHARACTER,
              mdjson_decode("x", 1, buffer, sizeof buffer, Recorder::callbacks(), &recorder, nullptr));
}

// ---------------------------------------------------------------------------

TEST(JsonDecoderNumbers, IntegersAndTheOverflowToFloatingPoint) {
    EXPECT_EQ((Events{"[", "I0", "I0", "I-1", "I9223372036854775807", "I-9223372036854775807", "end", "eod"}),
              events("[0,-0,-1,9223372036854775807,-9223372036854775807]"));
    Decoded big = decode("[9223372036854775808, -9223372036854775808, 123456789012345678901234567890]");
    ASSERT_EQ(MDJSON_OK, big.result);
    ASSERT_EQ(3u, big.recorder.floats.size());
    EXPECT_EQ(9223372036854775808.0, big.recorder.floats[0]);
    EXPECT_EQ(-9223372036854775808.0, big.recorder.floats[1]);
    EXPECT_EQ(strtod("123456789012345678901234567890", nullptr), big.recorder.floats[2]);
}

TEST(JsonDecoderNumbers, NumberThatEndsTheInputNeverDecodes) {
    EXPECT_EQ(MDJSON_ERROR_INCOMPLETE, decode("42").result);
    EXPECT_EQ(MDJSON_ERROR_INCOMPLETE, decode("-0.5").result);
    EXPECT_EQ(MDJSON_ERROR_INCOMPLETE, decode("[1.5e").result);
    EXPECT_EQ((Events{"I42", "eod"}), events("42 "));
}

TEST(JsonDecoderNumbers, FloatsAreTheNearestDouble) {
    const char* exact[] = {"0.1",
                           "1e-300",
                           "1.7976931348623157e308",
                           "5e-324",
                           "2.2250738585072014e-308",
                           "123456789012345678901234567890",
                           "0.30000000000000004",
                           "3.141592653589793",
                           "1E22",
                           "1e+23",
                           "12.5E-1",
                           "0.000001",
                           "8.98846567431158e307",
                           "4.9406564584124654e-324",
                           "1.0"};
    for (const char* text : exact) EXPECT_EQ(strtod(text, nullptr), decodeOneFloat(text)) << text;
    EXPECT_TRUE(std::signbit(decodeOneFloat("-0.0")));
    EXPECT_EQ(-2.5, decodeOneFloat("-2.5"));
    EXPECT_EQ(HUGE_VAL, decodeOneFloat("1e400"));
    EXPECT_EQ(0.0, decodeOneFloat("1e-400"));
    EXPECT_EQ(0.0, decodeOneFloat("0e99999999999"));
    EXPECT_EQ(HUGE_VAL, decodeOneFloat("1e99999999999"));
    // Lenient like scanf: the longest leading number counts.
    EXPECT_EQ(1.5, decodeOneFloat("1.5.3"));
    EXPECT_EQ(2.0, decodeOneFloat("2e+"));
    EXPECT_EQ(7.0, decodeOneFloat("7-1"));
}

TEST(JsonDecoderNumbers, HalfwayCasesRoundToEven) {
    const char* texts[] = {"9007199254740993.0",      "9007199254740995e0",       "9007199254740993.0000000001",
                           "2.4703282292062327e-324", "2.4703282292062328e-324", "1.7976931348623158e308",
                           "1.7976931348623159e308",  "2.2250738585072011e-308", "4.4501477170144023e-308",
                           "0.5e-323"};
    for (const char* text : texts) EXPECT_EQ(strtod(text, nullptr), decodeOneFloat(text)) << text;
}

// Every text gives the correctly rounded double, whatever its number of digits.
TEST(JsonDecoderNumbers, RandomDecimalTextsAreCorrectlyRounded) {
    std::mt19937_64 random(99);
    for (int i = 0; i < 20000; i++) {
        std::string digits;
        const int count = 1 + static_cast<int>(random() % 40);
        for (int d = 0; d < count; d++) digits.push_back(static_cast<char>('0' + random() % 10));
        if (digits[0] == '0') digits[0] = '1';
        const int point = static_cast<int>(random() % (count + 1));
        std::string text = digits.substr(0, static_cast<size_t>(point));
        if (text.empty()) text = "0";
        if (point < count) text += "." + digits.substr(static_cast<size_t>(point));
        text += "e" + std::to_string(static_cast<int>(random() % 640) - 330);
        ASSERT_EQ(strtod(text.c_str(), nullptr), decodeOneFloat(text)) << text;
    }
}

TEST(JsonDecoderNumbers, NumberTextMustFitTheStringBuffer) {
    // A 40-byte work buffer: 10 for names, 30 for strings and number texts.
    EXPECT_EQ(MDJSON_OK, decode("[1." + std::string(27, '5') + "]", 40).result);  // 29 characters
    EXPECT_EQ(MDJSON_ERROR_DATA_TOO_LONG, decode("[1." + std::string(28, '5') + "]", 40).result);
    // Integers do not go through the buffer.
    EXPECT_EQ(MDJSON_OK, decode("[123]", 1).result);
}

// ---------------------------------------------------------------------------

TEST(JsonDecoderStrings, ShortEscapesAndRawBytes) {
    Decoded decoded = decode("[\"q\\\" b\\\\ s\\/ \\b\\f\\n\\r\\t raw\x01\x7f\xc3\xa9\"]");
    ASSERT_EQ(MDJSON_OK, decoded.result);
    ASSERT_EQ(1u, decoded.recorder.strings.size());
    EXPECT_EQ("q\" b\\ s/ \b\f\n\r\t raw\x01\x7f\xc3\xa9", decoded.recorder.strings[0]);
}

TEST(JsonDecoderStrings, UnicodeEscapesBecomeUtf8) {
    Decoded decoded =
        decode("[\"\\u00e9\", \"\\u00E9\", \"\\uD83D\\uDE00\", \"\\u0041\\u07FF\\u0800\\uFFFF\", \"\\uDBFF\\uDFFF\"]");
    ASSERT_EQ(MDJSON_OK, decoded.result);
    ASSERT_EQ(5u, decoded.recorder.strings.size());
    EXPECT_EQ("\xc3\xa9", decoded.recorder.strings[0]);
    EXPECT_EQ("\xc3\xa9", decoded.recorder.strings[1]);
    EXPECT_EQ("\xf0\x9f\x98\x80", decoded.recorder.strings[2]);
    EXPECT_EQ("A\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf", decoded.recorder.strings[3]);
    EXPECT_EQ("\xf4\x8f\xbf\xbf", decoded.recorder.strings[4]);
}

TEST(JsonDecoderStrings, BadEscapesAreRejected) {
    struct Case {
        const char* text;
        int result;
    };
    const Case cases[] = {
        {"[\"\\uDC00\"]", MDJSON_ERROR_INVALID_CHARACTER},        // lone low surrogate
        {"[\"\\u00G0\"]", MDJSON_ERROR_INVALID_CHARACTER},        // not hexadecimal
        {"[\"\\uD83Dxxxxxx\"]", MDJSON_ERROR_INVALID_CHARACTER},  // high surrogate alone
        {"[\"\\uD83D\\u0041\"]", MDJSON_ERROR_INVALID_CHARACTER}, // followed by no low surrogate
        {"[\"\\uD83D\\n12345\"]", MDJSON_ERROR_INVALID_CHARACTER},
        {"[\"\\x\"]", MDJSON_ERROR_INVALID_CHARACTER},
        {"[\"\\u12\"]", MDJSON_ERROR_INCOMPLETE},                 // fewer than four digits
        {"[\"\\uD83D\"]", MDJSON_ERROR_INCOMPLETE},               // pair cut short
        {"[\"\\uD83D\\uDE0\"]", MDJSON_ERROR_INCOMPLETE},
        {"[\"abc", MDJSON_ERROR_INCOMPLETE},                      // no closing quote
        {"[\"abc\\", MDJSON_ERROR_INCOMPLETE},                    // ends in a backslash
        {"[\"abc\\\"", MDJSON_ERROR_INCOMPLETE},                  // the only quote is escaped
        {"\"\\u00e", MDJSON_ERROR_INCOMPLETE},
    };
    for (const Case& c : cases) EXPECT_EQ(c.result, decode(c.text).result) << c.text;
}

TEST(JsonDecoderStrings, WorkBufferIsSplitIntoNamesAndStrings) {
    // 40 bytes: names below 10 bytes, strings below 30.
    EXPECT_EQ(MDJSON_OK, decode("{\"123456789\":\"12345678901234567890123456789\"}", 40).result);
    EXPECT_EQ(MDJSON_ERROR_DATA_TOO_LONG, decode("{\"1234567890\":1}", 40).result);
    EXPECT_EQ(MDJSON_ERROR_DATA_TOO_LONG, decode("[\"123456789012345678901234567890\"]", 40).result);
    // The raw length counts, even when escapes would shrink the text.
    EXPECT_EQ(MDJSON_ERROR_DATA_TOO_LONG, decode("{\"\\u0041\\u0041\":1}", 40).result);
    // Too small for any name or string at all.
    EXPECT_EQ(MDJSON_ERROR_DATA_TOO_LONG, decode("{\"\":1}", 3).result);
    EXPECT_EQ(MDJSON_ERROR_DATA_TOO_LONG, decode("[\"\"]", 0).result);
    EXPECT_EQ(MDJSON_OK, decode("[\"\"]", 1).result);
}

// ---------------------------------------------------------------------------

TEST(JsonDecoderBounds, EveryTruncationFailsCleanlyWithinTheData) {
    // Guarded memory turns any read past the end into a crash.
    const std::string text =
        "{\"a\": [1, -2.5e-3, true, false, null, \"s\\u00e9\\uD83D\\uDE00\\\\\\\"x\"],\n \"b\" : {\"c\":{}}, "
        "\"d\":123456789012345678901234, \"e\": \"\\/\"}";
    ASSERT_EQ(MDJSON_OK, decode(text).result);
    for (size_t length = 0; length < text.size(); length++) {
        Decoded decoded = decode(text.substr(0, length));
        EXPECT_NE(MDJSON_OK, decoded.result) << length;
        EXPECT_GE(decoded.offset, 0);
        EXPECT_LE(decoded.offset, static_cast<int>(length));
    }
}

TEST(JsonDecoderBounds, NoWriteBeyondTheWorkBuffer) {
    // The work buffer ends at a guard page; every size from 0 up is tried.
    const std::string text = "{\"name\":\"\\uD83D\\uDE00\\u00e9abc\",\"n\":1.25e2,\"o\":{\"long name here\":[\"v\"]}}";
    for (int size = 0; size <= 160; size++) {
        Decoded decoded = decode(text, size);
        EXPECT_TRUE(decoded.result == MDJSON_OK || decoded.result == MDJSON_ERROR_DATA_TOO_LONG) << size;
    }
    EXPECT_EQ(MDJSON_OK, decode(text, 160).result);
}

// ---------------------------------------------------------------------------

TEST(JsonDecoderDepth, NestingStopsAtTheContainerLimit) {
    const int deepest = MDJSON_MAX_CONTAINER_DEPTH - 1;
    Decoded ok = decode(std::string(deepest, '[') + std::string(deepest, ']'));
    EXPECT_EQ(MDJSON_OK, ok.result);
    EXPECT_EQ(static_cast<size_t>(2 * deepest + 1), ok.recorder.events.size());

    Decoded tooDeep = decode(std::string(deepest + 1, '[') + std::string(deepest + 1, ']'));
    EXPECT_EQ(MDJSON_ERROR_INVALID_DATA, tooDeep.result);
    EXPECT_EQ(deepest, tooDeep.offset);
    EXPECT_EQ(static_cast<size_t>(deepest), tooDeep.recorder.events.size());

    std::string objects;
    for (int i = 0; i <= deepest; i++) objects += "{\"k\":";
    EXPECT_EQ(MDJSON_ERROR_INVALID_DATA, decode(objects).result);

    EXPECT_EQ(MDJSON_ERROR_INVALID_DATA, decode(std::string(100000, '[')).result);
}

// ---------------------------------------------------------------------------
// The public JSON test suite, from guarded memory: the values themselves are
// checked by the conformance test of the mdjson tool; here every document
// must stay within its bytes and buffers.

TEST(JsonDecoderConformance, NoDocumentReadsOrWritesOutOfBounds) {
    const std::string dir = std::string(ZEL_CONFORMANCE_DIR) + "/json-test-suite/test_parsing";
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* entry = readdir(d)) {
            if (strstr(entry->d_name, ".json")) names.emplace_back(entry->d_name);
        }
        closedir(d);
    }
    if (names.empty()) GTEST_SKIP() << "no conformance data";
    int accepted = 0;
    for (const std::string& name : names) {
        const std::string text = zeltest::readFile(dir + "/" + name);
        // A small work buffer as well, so that long strings hit its end.
        for (int bufferLength : {10001, 64}) {
            Decoded decoded = decode(text, bufferLength);
            EXPECT_GE(decoded.result, MDJSON_OK) << name;
            EXPECT_LE(decoded.result, MDJSON_ERROR_INVALID_DATA) << name;
            if (decoded.result != MDJSON_OK) {
                EXPECT_GE(decoded.offset, 0) << name;
                EXPECT_LE(decoded.offset, static_cast<int>(text.size())) << name;
            }
        }
        const bool bareNumber = !text.empty() && isdigit(static_cast<unsigned char>(text.back())) &&
                                text.find_first_of("[{\"") == std::string::npos;
        if (name.rfind("y_", 0) == 0 && !bareNumber) {
            EXPECT_EQ(MDJSON_OK, decode(text, 10001).result) << name;
            accepted++;
        }
    }
    EXPECT_GT(accepted, 90);
}

// ---------------------------------------------------------------------------
// Both halves inside a SIGSEGV handler on a 64 KiB alternate stack.

char gAltStack[64 * 1024];
char gNested[4096];
int gNestedLength;
char gDeep[100000];
char gFilePath[4096];
char gExpected[8192];
int gExpectedLength;
char gOutput[8192];
int gOutputLength;
int gBegins, gEnds, gIntegers;

int fixedSink(const char* data, int length, void* userData) {
    int* used = static_cast<int*>(userData);
    if (*used + length > static_cast<int>(sizeof gOutput)) return MDJSON_ERROR_CANNOT_ADD_DATA;
    memcpy(gOutput + *used, data, static_cast<size_t>(length));
    *used += length;
    return 0;
}

int countBegin(const char*, void*) { return ++gBegins, 0; }
int countEnd(void*) { return ++gEnds, 0; }
int countInteger(const char*, int64_t, void*) { return ++gIntegers, 0; }
int ignoreBool(const char*, bool, void*) { return 0; }
int ignoreFloat(const char*, double, void*) { return 0; }
int ignoreNull(const char*, void*) { return 0; }
int ignoreString(const char*, const char*, void*) { return 0; }
int ignoreEnd(void*) { return 0; }

// Writes a small report-like document into gOutput; answers its length.
int encodeSample() {
    int used = 0;
    MDJSONEncodeContext context;
    mdjson_beginEncode(&context, true, fixedSink, &used);
    mdjson_beginObject(&context, nullptr);
    mdjson_addStringElement(&context, "name", "crash \"test\"\x1b", -1);
    mdjson_addFloatingPointElement(&context, "time", 1234.5678);
    mdjson_addIntegerElement(&context, "min", INT64_MIN);
    mdjson_addDataElement(&context, "bytes", "\x01\xfe", 2);
    mdjson_addJSONFromFile(&context, "previous", gFilePath, true);
    mdjson_beginArray(&context, "list");
    mdjson_addBooleanElement(&context, nullptr, true);
    mdjson_endEncode(&context);
    return used;
}

void onSegv(int, siginfo_t*, void*) {
    char probe;
    if (&probe < gAltStack || &probe >= gAltStack + sizeof gAltStack) _exit(10);

    static const MDJSONDecodeCallbacks counting = {ignoreBool, ignoreFloat, countInteger, ignoreNull, ignoreString,
                                                   countBegin, countBegin,  countEnd,     ignoreEnd};
    char buffer[1024];
    int offset = 0;
    if (mdjson_decode(gNested, gNestedLength, buffer, sizeof buffer, &counting, nullptr, &offset) != 0) _exit(11);
    if (gBegins != 150 || gEnds != 150 || gIntegers != 150) _exit(12);
    if (mdjson_decode(gDeep, sizeof gDeep, buffer, sizeof buffer, &counting, nullptr, &offset) !=
        MDJSON_ERROR_INVALID_DATA) {
        _exit(13);
    }
    gOutputLength = encodeSample();
    if (gOutputLength != gExpectedLength || memcmp(gOutput, gExpected, static_cast<size_t>(gOutputLength)) != 0) {
        _exit(14);
    }
    _exit(0);
}

TEST(JsonCodecSignalSafety, EncoderAndDecoderRunInASegvHandlerOnASmallAltStack) {
    zeltest::TempDir dir;
    zeltest::writeFile(dir.file("previous.json"), "{\"report\":{\"id\":7,\"threads\":[{\"index\":0},{\"index\":1}]}}");
    snprintf(gFilePath, sizeof gFilePath, "%s", dir.file("previous.json").c_str());
    std::string nested;
    for (int i = 0; i < 75; i++) nested += "{\"n\":1,\"a\":[2,";
    for (int i = 0; i < 75; i++) nested += "]}";
    ASSERT_LT(nested.size(), sizeof gNested);
    memcpy(gNested, nested.data(), nested.size());
    gNestedLength = static_cast<int>(nested.size());
    memset(gDeep, '[', sizeof gDeep);
    gExpectedLength = encodeSample();
    memcpy(gExpected, gOutput, static_cast<size_t>(gExpectedLength));
    ASSERT_NE(nullptr, strstr(std::string(gExpected, static_cast<size_t>(gExpectedLength)).c_str(), "\"id\": 7"));

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        stack_t stack = {};
        stack.ss_sp = gAltStack;
        stack.ss_size = sizeof gAltStack;
        if (sigaltstack(&stack, nullptr) != 0) _exit(20);
        struct sigaction action = {};
        action.sa_sigaction = onSegv;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        if (sigaction(SIGSEGV, &action, nullptr) != 0) _exit(21);
        // A real fault: a store into a page nobody may touch.
        void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (page == MAP_FAILED) _exit(23);
        zeltest::writeAddress((uintptr_t)page, 1);
        _exit(22);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status)) << "signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(0, WEXITSTATUS(status));
}

}  // namespace
