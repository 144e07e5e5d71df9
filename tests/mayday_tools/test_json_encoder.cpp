// The crash-path JSON encoder: layout, escaping, numbers, container depth,
// sink failures, and the embedding of JSON text and files.

#include <gtest/gtest.h>

#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "Mayday/Recording/Tools/MDJSONCodec.h"
#include "TempDir.h"

namespace {

// Collects every sink call; can be told to fail from a given call on.
struct Sink {
    std::string out;
    std::vector<std::string> calls;
    int failFromCall = -1;  // index of the first failing call, -1 never
    int failCode = MDJSON_ERROR_CANNOT_ADD_DATA;
    int failedCalls = 0;

    static int add(const char* data, int length, void* userData) {
        Sink* sink = static_cast<Sink*>(userData);
        if (sink->failFromCall >= 0 && static_cast<int>(sink->calls.size()) >= sink->failFromCall) {
            sink->failedCalls++;
            return sink->failCode;
        }
        sink->calls.emplace_back(data, static_cast<size_t>(length));
        sink->out.append(data, static_cast<size_t>(length));
        return MDJSON_OK;
    }
};

struct Encoder {
    Sink sink;
    MDJSONEncodeContext context;
    explicit Encoder(bool pretty = false) { mdjson_beginEncode(&context, pretty, Sink::add, &sink); }
    const std::string& out() const { return sink.out; }
};

std::string formatWithPrintf(double value) {
    char buffer[64];
    snprintf(buffer, sizeof buffer, "%lg", value);
    return buffer;
}

std::string encodeDouble(double value) {
    Encoder encoder;
    EXPECT_EQ(MDJSON_OK, mdjson_addFloatingPointElement(&encoder.context, nullptr, value));
    return encoder.out();
}

// Decodes `text` back, collecting the string values of a top-level array.
struct StringCollector {
    std::vector<std::string> strings;
    static int onString(const char*, const char* value, void* userData) {
        static_cast<StringCollector*>(userData)->strings.emplace_back(value);
        return 0;
    }
    static int ok0(void*) { return 0; }
    static int ok1(const char*, void*) { return 0; }
};

int decodeStrings(const std::string& text, StringCollector* collector) {
    MDJSONDecodeCallbacks callbacks = {};
    callbacks.onBooleanElement = [](const char*, bool, void*) { return 0; };
    callbacks.onFloatingPointElement = [](const char*, double, void*) { return 0; };
    callbacks.onIntegerElement = [](const char*, int64_t, void*) { return 0; };
    callbacks.onNullElement = StringCollector::ok1;
    callbacks.onStringElement = StringCollector::onString;
    callbacks.onBeginObject = StringCollector::ok1;
    callbacks.onBeginArray = StringCollector::ok1;
    callbacks.onEndContainer = StringCollector::ok0;
    callbacks.onEndData = StringCollector::ok0;
    char buffer[4096];
    return mdjson_decode(text.data(), static_cast<int>(text.size()), buffer, sizeof buffer, &callbacks, collector,
                         nullptr);
}

// True when every bracket outside strings is closed in the right order.
bool bracketsBalanced(const std::string& text) {
    std::string stack;
    bool inString = false;
    for (size_t i = 0; i < text.size(); i++) {
        char ch = text[i];
        if (inString) {
            if (ch == '\\')
                i++;
            else if (ch == '"')
                inString = false;
            continue;
        }
        if (ch == '"') inString = true;
        if (ch == '{' || ch == '[') stack.push_back(ch);
        if (ch == '}' || ch == ']') {
            if (stack.empty() || stack.back() != (ch == '}' ? '{' : '[')) return false;
            stack.pop_back();
        }
    }
    return stack.empty() && !inString;
}

// ---------------------------------------------------------------------------

TEST(JsonEncoderLayout, PrettyObjectWithIntegerAndEmptyArrayIsExact) {
    Encoder encoder(true);
    ASSERT_EQ(MDJSON_OK, mdjson_beginObject(&encoder.context, nullptr));
    ASSERT_EQ(MDJSON_OK, mdjson_addIntegerElement(&encoder.context, "a", 1));
    ASSERT_EQ(MDJSON_OK, mdjson_beginArray(&encoder.context, "b"));
    ASSERT_EQ(MDJSON_OK, mdjson_endContainer(&encoder.context));
    ASSERT_EQ(MDJSON_OK, mdjson_endContainer(&encoder.context));
    EXPECT_EQ("{\n    \"a\": 1,\n    \"b\": []\n}", encoder.out());
}

TEST(JsonEncoderLayout, PrettyNestingIndentsEveryLevelAndClosesAtItsParentsIndent) {
    Encoder encoder(true);
    mdjson_beginObject(&encoder.context, "ignored at the top");
    mdjson_beginObject(&encoder.context, "o");
    mdjson_beginArray(&encoder.context, "list");
    mdjson_addBooleanElement(&encoder.context, nullptr, true);
    mdjson_addNullElement(&encoder.context, "names are ignored in arrays");
    mdjson_endContainer(&encoder.context);
    mdjson_beginObject(&encoder.context, "empty");
    mdjson_endContainer(&encoder.context);
    ASSERT_EQ(MDJSON_OK, mdjson_endEncode(&encoder.context));
    EXPECT_EQ(
        "{\n"
        "    \"o\": {\n"
        "        \"list\": [\n"
        "            true,\n"
        "            null\n"
        "        ],\n"
        "        \"empty\": {}\n"
        "    }\n"
        "}",
        encoder.out());
    EXPECT_EQ(0, encoder.context.containerLevel);
}

TEST(JsonEncoderLayout, CompactOutputHasNoSpacesAndEmptyContainersMatchPretty) {
    Encoder encoder;
    mdjson_beginObject(&encoder.context, nullptr);
    mdjson_addIntegerElement(&encoder.context, "a", 1);
    mdjson_beginArray(&encoder.context, "b");
    mdjson_addBooleanElement(&encoder.context, nullptr, false);
    mdjson_addStringElement(&encoder.context, nullptr, "x", -1);
    mdjson_endContainer(&encoder.context);
    mdjson_beginObject(&encoder.context, "c");
    mdjson_endContainer(&encoder.context);
    mdjson_beginArray(&encoder.context, "d");
    mdjson_endContainer(&encoder.context);
    mdjson_endEncode(&encoder.context);
    EXPECT_EQ("{\"a\":1,\"b\":[false,\"x\"],\"c\":{},\"d\":[]}", encoder.out());
}

TEST(JsonEncoderLayout, TopLevelScalarsAreSeparatedByCommasWithoutIndentation) {
    Encoder encoder(true);
    mdjson_addIntegerElement(&encoder.context, "n", 1);
    mdjson_addIntegerElement(&encoder.context, "n", 2);
    EXPECT_EQ("1,2", encoder.out());
}

TEST(JsonEncoderLayout, MissingNameInsideObjectFailsAndWritesNothing) {
    Encoder encoder;
    mdjson_beginObject(&encoder.context, nullptr);
    EXPECT_EQ(MDJSON_ERROR_INVALID_DATA, mdjson_addIntegerElement(&encoder.context, nullptr, 5));
    EXPECT_EQ(MDJSON_ERROR_INVALID_DATA, mdjson_beginArray(&encoder.context, nullptr));
    EXPECT_EQ(MDJSON_ERROR_INVALID_DATA, mdjson_addStringElement(&encoder.context, nullptr, "v", 1));
    EXPECT_EQ("{", encoder.out());
    EXPECT_EQ(1, encoder.context.containerLevel);
    // No stray separator before the next member.
    mdjson_addIntegerElement(&encoder.context, "a", 1);
    EXPECT_EQ(MDJSON_ERROR_INVALID_DATA, mdjson_addNullElement(&encoder.context, nullptr));
    mdjson_addIntegerElement(&encoder.context, "b", 2);
    mdjson_endEncode(&encoder.context);
    EXPECT_EQ("{\"a\":1,\"b\":2}", encoder.out());
}

TEST(JsonEncoderLayout, EndingWithNothingOpenWritesNothing) {
    Encoder encoder;
    EXPECT_EQ(MDJSON_OK, mdjson_endContainer(&encoder.context));
    EXPECT_EQ(MDJSON_OK, mdjson_endEncode(&encoder.context));
    EXPECT_EQ("", encoder.out());
    EXPECT_EQ(0, encoder.context.containerLevel);
}

TEST(JsonEncoderLayout, NamesAreEscapedLikeValues) {
    Encoder encoder;
    mdjson_beginObject(&encoder.context, nullptr);
    mdjson_addNullElement(&encoder.context, "a\"b\\c\n");
    mdjson_endEncode(&encoder.context);
    EXPECT_EQ("{\"a\\\"b\\\\c\\n\":null}", encoder.out());
}

// ---------------------------------------------------------------------------

TEST(JsonEncoderStrings, ShortEscapesAndPassThroughBytes) {
    Encoder encoder;
    const std::string value = std::string("q\" b\\ \b\t\n\f\r / \x7f \xc3\xa9 \xf0\x9f\x98\x80 \xff");
    ASSERT_EQ(MDJSON_OK, mdjson_addStringElement(&encoder.context, nullptr, value.data(), (int)value.size()));
    EXPECT_EQ("\"q\\\" b\\\\ \\b\\t\\n\\f\\r / \x7f \xc3\xa9 \xf0\x9f\x98\x80 \xff\"", encoder.out());
}

TEST(JsonEncoderStrings, ControlBytesWithoutShortEscapeBecomeUnicodeEscapes) {
    Encoder encoder;
    const std::string value("a\x0b" "b\x00" "c\x1b\x01\x1f", 8);
    ASSERT_EQ(MDJSON_OK, mdjson_addStringElement(&encoder.context, nullptr, value.data(), (int)value.size()));
    EXPECT_EQ("\"a\\u000bb\\u0000c\\u001b\\u0001\\u001f\"", encoder.out());
}

TEST(JsonEncoderStrings, EveryControlByteRoundTripsThroughTheDecoder) {
    std::string value;
    for (int byte = 1; byte < 0x20; byte++) value.push_back(static_cast<char>(byte));
    value += "\"\\/ plain";
    Encoder encoder;
    mdjson_beginArray(&encoder.context, nullptr);
    ASSERT_EQ(MDJSON_OK, mdjson_addStringElement(&encoder.context, nullptr, value.data(), (int)value.size()));
    mdjson_endEncode(&encoder.context);
    for (char ch : encoder.out()) EXPECT_GE(static_cast<unsigned char>(ch), 0x20u) << "raw control byte in output";

    StringCollector collector;
    ASSERT_EQ(MDJSON_OK, decodeStrings(encoder.out(), &collector));
    ASSERT_EQ(1u, collector.strings.size());
    EXPECT_EQ(value, collector.strings[0]);
}

TEST(JsonEncoderStrings, LongStringReachesTheSinkIn256BytePieces) {
    Encoder encoder;
    const std::string value(300, 'x');
    ASSERT_EQ(MDJSON_OK, mdjson_addStringElement(&encoder.context, nullptr, value.data(), 300));
    ASSERT_EQ(4u, encoder.sink.calls.size());
    EXPECT_EQ("\"", encoder.sink.calls[0]);
    EXPECT_EQ(std::string(256, 'x'), encoder.sink.calls[1]);
    EXPECT_EQ(std::string(44, 'x'), encoder.sink.calls[2]);
    EXPECT_EQ("\"", encoder.sink.calls[3]);
}

TEST(JsonEncoderStrings, WorstCaseChunkFitsInOneSinkCall) {
    // 256 bytes that each grow to six, then one more.
    const std::string value(257, '\x01');
    Encoder encoder;
    ASSERT_EQ(MDJSON_OK, mdjson_addStringElement(&encoder.context, nullptr, value.data(), 257));
    ASSERT_EQ(4u, encoder.sink.calls.size());
    std::string expected;
    for (int i = 0; i < 256; i++) expected += "\\u0001";
    EXPECT_EQ(expected, encoder.sink.calls[1]);
    EXPECT_EQ("\\u0001", encoder.sink.calls[2]);
}

TEST(JsonEncoderStrings, NullValueLengthRulesAndEmptyString) {
    Encoder encoder;
    mdjson_beginArray(&encoder.context, nullptr);
    EXPECT_EQ(MDJSON_OK, mdjson_addStringElement(&encoder.context, nullptr, nullptr, 5));
    EXPECT_EQ(MDJSON_OK, mdjson_addStringElement(&encoder.context, nullptr, "abc\0def", -1));
    EXPECT_EQ(MDJSON_OK, mdjson_addStringElement(&encoder.context, nullptr, "abcdef", 2));
    EXPECT_EQ(MDJSON_OK, mdjson_addStringElement(&encoder.context, nullptr, "", 0));
    EXPECT_EQ(MDJSON_ERROR_INVALID_DATA, mdjson_addStringElement(&encoder.context, nullptr, "abc", -2));
    mdjson_endEncode(&encoder.context);
    EXPECT_EQ("[null,\"abc\",\"ab\",\"\"]", encoder.out());
}

TEST(JsonEncoderStrings, StringWrittenInPiecesIsEscapedAsAWhole) {
    Encoder encoder;
    mdjson_beginObject(&encoder.context, nullptr);
    ASSERT_EQ(MDJSON_OK, mdjson_beginStringElement(&encoder.context, "log"));
    ASSERT_EQ(MDJSON_OK, mdjson_appendStringElement(&encoder.context, "line 1\n", 7));
    ASSERT_EQ(MDJSON_OK, mdjson_appendStringElement(&encoder.context, "ignored", 0));
    ASSERT_EQ(MDJSON_OK, mdjson_appendStringElement(&encoder.context, "\"2\"", 3));
    ASSERT_EQ(MDJSON_OK, mdjson_endStringElement(&encoder.context));
    mdjson_addIntegerElement(&encoder.context, "n", 1);
    mdjson_endEncode(&encoder.context);
    EXPECT_EQ("{\"log\":\"line 1\\n\\\"2\\\"\",\"n\":1}", encoder.out());
}

TEST(JsonEncoderStrings, DataIsUpperCaseHexOneCallPerByte) {
    Encoder encoder;
    const char bytes[] = {'\x00', '\x1f', '\xab', '\xff'};
    ASSERT_EQ(MDJSON_OK, mdjson_addDataElement(&encoder.context, nullptr, bytes, 4));
    EXPECT_EQ("\"001FABFF\"", encoder.out());
    ASSERT_EQ(6u, encoder.sink.calls.size());
    for (size_t i = 1; i < 5; i++) EXPECT_EQ(2u, encoder.sink.calls[i].size());

    Encoder pieces;
    mdjson_beginArray(&pieces.context, nullptr);
    mdjson_addDataElement(&pieces.context, nullptr, bytes, 0);
    mdjson_addDataElement(&pieces.context, nullptr, bytes, -3);
    mdjson_beginDataElement(&pieces.context, nullptr);
    mdjson_appendDataElement(&pieces.context, bytes + 2, 1);
    mdjson_appendDataElement(&pieces.context, bytes, 1);
    mdjson_endDataElement(&pieces.context);
    mdjson_endEncode(&pieces.context);
    EXPECT_EQ("[\"\",\"\",\"AB00\"]", pieces.out());
}

// ---------------------------------------------------------------------------

TEST(JsonEncoderNumbers, IntegersIncludingTheExtremes) {
    Encoder encoder;
    mdjson_beginArray(&encoder.context, nullptr);
    mdjson_addIntegerElement(&encoder.context, nullptr, -1);
    mdjson_addIntegerElement(&encoder.context, nullptr, 0);
    mdjson_addIntegerElement(&encoder.context, nullptr, INT64_MIN);
    mdjson_addIntegerElement(&encoder.context, nullptr, INT64_MAX);
    mdjson_addIntegerElement(&encoder.context, nullptr, 1000000007);
    mdjson_endEncode(&encoder.context);
    EXPECT_EQ("[-1,0,-9223372036854775808,9223372036854775807,1000000007]", encoder.out());

    std::mt19937_64 random(7);
    for (int i = 0; i < 2000; i++) {
        int64_t value = static_cast<int64_t>(random()) >> (random() % 64);
        Encoder one;
        mdjson_addIntegerElement(&one.context, nullptr, value);
        EXPECT_EQ(std::to_string(value), one.out());
    }
}

TEST(JsonEncoderNumbers, FloatsUseSixSignificantDigitsLikePrintf) {
    EXPECT_EQ("0.1", encodeDouble(0.1));
    EXPECT_EQ("1.23457e+06", encodeDouble(1234567.0));
    EXPECT_EQ("1e-05", encodeDouble(1e-5));
    EXPECT_EQ("0.0001", encodeDouble(1e-4));
    EXPECT_EQ("-0", encodeDouble(-0.0));
    EXPECT_EQ("0", encodeDouble(0.0));
    EXPECT_EQ("100000", encodeDouble(100000.0));
    EXPECT_EQ("1e+06", encodeDouble(1e6));
    EXPECT_EQ("1e+06", encodeDouble(999999.5));        // rounds up into the next decade
    EXPECT_EQ("1.23456e+06", encodeDouble(1234565.0));  // exact tie: to even
    EXPECT_EQ("1.23458e+06", encodeDouble(1234575.0));
    EXPECT_EQ("100002", encodeDouble(100001.5));
    EXPECT_EQ("4.94066e-324", encodeDouble(5e-324));
    EXPECT_EQ("1.79769e+308", encodeDouble(DBL_MAX));
    EXPECT_EQ("-2.5", encodeDouble(-2.5));
}

TEST(JsonEncoderNumbers, FloatTextMatchesPrintfOnRandomDoubles) {
    ASSERT_STREQ("C", setlocale(LC_NUMERIC, nullptr));
    std::mt19937_64 random(12345);
    int checked = 0;
    auto check = [&](double value) {
        if (!std::isfinite(value)) return;
        uint64_t bits;
        memcpy(&bits, &value, sizeof bits);
        ASSERT_EQ(formatWithPrintf(value), encodeDouble(value)) << "bits " << std::hex << bits;
        checked++;
    };
    for (int i = 0; i < 100000; i++) {
        uint64_t bits = random();
        double value;
        memcpy(&value, &bits, sizeof value);
        check(value);
    }
    std::uniform_real_distribution<double> modest(-1e7, 1e7);
    for (int i = 0; i < 50000; i++) check(modest(random));
    // Integers and halves near six and seven digits produce exact ties.
    for (int i = 0; i < 50000; i++) check(static_cast<double>(random() % 20000000) / ((random() & 1) ? 1 : 2));
    // Subnormals.
    for (int i = 0; i < 20000; i++) {
        uint64_t bits = random() & ((1ull << 52) - 1);
        double value;
        memcpy(&value, &bits, sizeof value);
        check(value);
    }
    for (int exponent = -330; exponent <= 310; exponent++) {
        check(std::pow(10.0, exponent));
        check(5 * std::pow(10.0, exponent));
    }
    EXPECT_GT(checked, 200000);
}

TEST(JsonEncoderNumbers, NonFiniteFloatsAreWrittenAsNull) {
    Encoder encoder;
    mdjson_beginObject(&encoder.context, nullptr);
    mdjson_addFloatingPointElement(&encoder.context, "nan", std::numeric_limits<double>::quiet_NaN());
    mdjson_addFloatingPointElement(&encoder.context, "inf", std::numeric_limits<double>::infinity());
    mdjson_addFloatingPointElement(&encoder.context, "-inf", -std::numeric_limits<double>::infinity());
    mdjson_endEncode(&encoder.context);
    EXPECT_EQ("{\"nan\":null,\"inf\":null,\"-inf\":null}", encoder.out());
}

// The installer runs with the user's locale after GTK starts; a comma
// decimal separator must not leak into reports.
TEST(JsonEncoderNumbers, FloatTextIgnoresACommaDecimalLocale) {
    zeltest::TempDir dir;
    const std::string command = "localedef -i fr_FR -f UTF-8 '" + dir.path() + "/fr_FR.UTF-8' >/dev/null 2>&1";
    if (system(command.c_str()) != 0) GTEST_SKIP() << "cannot build a French locale here";
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setenv("LOCPATH", dir.path().c_str(), 1);
        if (!setlocale(LC_ALL, "fr_FR.UTF-8")) _exit(2);
        char probe[16];
        snprintf(probe, sizeof probe, "%g", 0.5);
        if (strcmp(probe, "0,5") != 0) _exit(3);  // the locale really uses a comma
        Encoder encoder;
        mdjson_beginArray(&encoder.context, nullptr);
        mdjson_addFloatingPointElement(&encoder.context, nullptr, 0.5);
        mdjson_addFloatingPointElement(&encoder.context, nullptr, -1234567.0);
        mdjson_endEncode(&encoder.context);
        _exit(encoder.out() == "[0.5,-1.23457e+06]" ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
}

// ---------------------------------------------------------------------------

TEST(JsonEncoderDepth, OneContainerTooManyFailsAndWritesNothing) {
    Encoder encoder;
    for (int i = 0; i < MDJSON_MAX_CONTAINER_DEPTH - 1; i++) {
        ASSERT_EQ(MDJSON_OK, i % 2 ? mdjson_beginObject(&encoder.context, "o") : mdjson_beginArray(&encoder.context, "a"));
    }
    const std::string before = encoder.out();
    const MDJSONEncodeContext saved = encoder.context;
    EXPECT_EQ(MDJSON_ERROR_DATA_TOO_LONG, mdjson_beginArray(&encoder.context, "x"));
    EXPECT_EQ(MDJSON_ERROR_DATA_TOO_LONG, mdjson_beginObject(&encoder.context, "x"));
    EXPECT_EQ(before, encoder.out());
    EXPECT_EQ(0, memcmp(&saved, &encoder.context, sizeof saved));

    // The deepest container still takes members, and everything closes.
    EXPECT_EQ(MDJSON_OK, mdjson_addIntegerElement(&encoder.context, "n", 1));
    EXPECT_EQ(MDJSON_OK, mdjson_endEncode(&encoder.context));
    EXPECT_EQ(0, encoder.context.containerLevel);
    EXPECT_TRUE(bracketsBalanced(encoder.out()));
}

// ---------------------------------------------------------------------------

TEST(JsonEncoderSinkErrors, FirstSinkErrorIsReturnedAndStopsTheElement) {
    Encoder encoder;
    encoder.sink.failFromCall = 1;  // the opening quote passes, the first piece fails
    encoder.sink.failCode = 42;
    const std::string value(600, 'y');
    EXPECT_EQ(42, mdjson_addStringElement(&encoder.context, nullptr, value.data(), 600));
    EXPECT_EQ("\"", encoder.out());
    EXPECT_EQ(1, encoder.sink.failedCalls);  // no later piece was tried

    Encoder data;
    data.sink.failFromCall = 2;
    EXPECT_EQ(MDJSON_ERROR_CANNOT_ADD_DATA, mdjson_addDataElement(&data.context, nullptr, "abcdef", 6));
    EXPECT_EQ("\"61", data.out());
    EXPECT_EQ(1, data.sink.failedCalls);
}

TEST(JsonEncoderSinkErrors, EveryOperationPassesTheSinkErrorOn) {
    using Op = int (*)(MDJSONEncodeContext*);
    const Op operations[] = {
        [](MDJSONEncodeContext* c) { return mdjson_beginObject(c, "k"); },
        [](MDJSONEncodeContext* c) { return mdjson_beginArray(c, "k"); },
        [](MDJSONEncodeContext* c) { return mdjson_addBooleanElement(c, "k", true); },
        [](MDJSONEncodeContext* c) { return mdjson_addIntegerElement(c, "k", 12); },
        [](MDJSONEncodeContext* c) { return mdjson_addFloatingPointElement(c, "k", 1.5); },
        [](MDJSONEncodeContext* c) { return mdjson_addNullElement(c, "k"); },
        [](MDJSONEncodeContext* c) { return mdjson_addStringElement(c, "k", "v", 1); },
        [](MDJSONEncodeContext* c) { return mdjson_addDataElement(c, "k", "v", 1); },
        [](MDJSONEncodeContext* c) { return mdjson_addJSONElement(c, "k", "[1]", 3, true); },
        [](MDJSONEncodeContext* c) { return mdjson_endContainer(c); },
    };
    for (const Op op : operations) {
        Encoder encoder(true);
        mdjson_beginObject(&encoder.context, nullptr);
        mdjson_addIntegerElement(&encoder.context, "first", 0);
        encoder.sink.failFromCall = static_cast<int>(encoder.sink.calls.size());
        encoder.sink.failCode = 9;
        EXPECT_EQ(9, op(&encoder.context));
        EXPECT_EQ(1, encoder.sink.failedCalls);
    }
}

TEST(JsonEncoderSinkErrors, EndEncodeStopsAtTheFirstError) {
    Encoder encoder;
    for (int i = 0; i < 5; i++) mdjson_beginArray(&encoder.context, nullptr);
    encoder.sink.failFromCall = static_cast<int>(encoder.sink.calls.size());
    EXPECT_EQ(MDJSON_ERROR_CANNOT_ADD_DATA, mdjson_endEncode(&encoder.context));
    EXPECT_EQ(1, encoder.sink.failedCalls);
    EXPECT_EQ(4, encoder.context.containerLevel);
}

// ---------------------------------------------------------------------------

TEST(JsonEncoderEmbedding, TextIsReencodedUnderTheGivenName) {
    Encoder encoder;
    mdjson_beginObject(&encoder.context, nullptr);
    mdjson_beginObject(&encoder.context, "report");
    const std::string source = " {\"a\": [1, -2.5, true, false, null, \"s\\n\\u00e9\"], \"b\": {}} trailing";
    EXPECT_EQ(MDJSON_OK,
              mdjson_addJSONElement(&encoder.context, "user", source.data(), (int)source.size(), false));
    mdjson_endEncode(&encoder.context);
    // At level 2 the source's own closing bracket is written: 3 or more.
    EXPECT_EQ("{\"report\":{\"user\":{\"a\":[1,-2.5,true,false,null,\"s\\n\xc3\xa9\"],\"b\":{}}}}", encoder.out());
}

TEST(JsonEncoderEmbedding, OutermostContainerStaysOpenAtLevelOneUnlessAskedToClose) {
    const std::string source = "{\"inner\":{\"x\":1},\"list\":[2]}";
    {
        Encoder encoder;
        mdjson_beginObject(&encoder.context, nullptr);
        EXPECT_EQ(MDJSON_OK,
                  mdjson_addJSONElement(&encoder.context, "user", source.data(), (int)source.size(), false));
        EXPECT_EQ(2, encoder.context.containerLevel);  // the user object is still open
        mdjson_addStringElement(&encoder.context, "added", "later", -1);
        mdjson_endEncode(&encoder.context);
        EXPECT_EQ("{\"user\":{\"inner\":{\"x\":1},\"list\":[2],\"added\":\"later\"}}", encoder.out());
    }
    {
        Encoder encoder;
        mdjson_beginObject(&encoder.context, nullptr);
        EXPECT_EQ(MDJSON_OK,
                  mdjson_addJSONElement(&encoder.context, "user", source.data(), (int)source.size(), true));
        EXPECT_EQ(1, encoder.context.containerLevel);
        mdjson_addIntegerElement(&encoder.context, "after", 3);
        mdjson_endEncode(&encoder.context);
        EXPECT_EQ("{\"user\":{\"inner\":{\"x\":1},\"list\":[2]},\"after\":3}", encoder.out());
    }
}

TEST(JsonEncoderEmbedding, TruncatedTextWithCloseLastContainerLeavesBalancedBrackets) {
    const std::string source = "{\"a\":{\"b\":[1,{\"c\":\"unterminated";
    Encoder encoder(true);
    mdjson_beginObject(&encoder.context, nullptr);
    EXPECT_EQ(MDJSON_ERROR_INCOMPLETE,
              mdjson_addJSONElement(&encoder.context, "prev", source.data(), (int)source.size(), true));
    EXPECT_EQ(1, encoder.context.containerLevel);
    mdjson_endEncode(&encoder.context);
    EXPECT_TRUE(bracketsBalanced(encoder.out())) << encoder.out();
}

TEST(JsonEncoderEmbedding, InvalidOrEmptyTextReportsTheDecoderError) {
    const std::string longString = "\"" + std::string(MDJSON_EMBED_MAX_STRING_LENGTH, 'z') + "\"";
    Encoder encoder;
    mdjson_beginObject(&encoder.context, nullptr);
    EXPECT_EQ(MDJSON_ERROR_INCOMPLETE, mdjson_addJSONElement(&encoder.context, "x", "", 0, true));
    EXPECT_EQ(MDJSON_ERROR_INVALID_CHARACTER, mdjson_addJSONElement(&encoder.context, "x", "[1,?]", 5, true));
    EXPECT_EQ(MDJSON_ERROR_DATA_TOO_LONG,
              mdjson_addJSONElement(&encoder.context, "x", longString.c_str(), (int)longString.size(), true));
    EXPECT_EQ(1, encoder.context.containerLevel);
    mdjson_endEncode(&encoder.context);
    EXPECT_TRUE(bracketsBalanced(encoder.out())) << encoder.out();
}

// A compact document much larger than the 1000-byte read buffer, with
// strings up to 450 bytes so that refills happen mid-token.
std::string largeDocument() {
    Encoder encoder;
    mdjson_beginObject(&encoder.context, nullptr);
    for (int i = 0; i < 120; i++) {
        const std::string name = "member" + std::to_string(i);
        mdjson_beginObject(&encoder.context, name.c_str());
        mdjson_addIntegerElement(&encoder.context, "i", i * 1000003LL);
        mdjson_addFloatingPointElement(&encoder.context, "f", i / 7.0);
        const std::string text(static_cast<size_t>(i * 37 % 450), static_cast<char>('a' + i % 26));
        mdjson_addStringElement(&encoder.context, "s", text.c_str(), -1);
        mdjson_beginArray(&encoder.context, "list");
        for (int j = 0; j < i % 5; j++) mdjson_addBooleanElement(&encoder.context, nullptr, j % 2);
        mdjson_addNullElement(&encoder.context, nullptr);
        mdjson_endContainer(&encoder.context);
        mdjson_endContainer(&encoder.context);
    }
    mdjson_endEncode(&encoder.context);
    return encoder.out();
}

TEST(JsonEncoderEmbedding, FileLargerThanTheReadBufferIsCopiedExactly) {
    zeltest::TempDir dir;
    const std::string document = largeDocument();
    ASSERT_GT(document.size(), 20000u);
    zeltest::writeFile(dir.file("doc.json"), document + "\n");

    Encoder encoder;
    EXPECT_EQ(MDJSON_OK, mdjson_addJSONFromFile(&encoder.context, nullptr, dir.file("doc.json").c_str(), true));
    EXPECT_EQ(document, encoder.out());

    // And with a pretty source: whitespace runs are skipped across refills.
    Encoder pretty(true);
    mdjson_addJSONElement(&pretty.context, nullptr, document.data(), (int)document.size(), true);
    zeltest::writeFile(dir.file("pretty.json"), pretty.out());
    Encoder again;
    EXPECT_EQ(MDJSON_OK, mdjson_addJSONFromFile(&again.context, nullptr, dir.file("pretty.json").c_str(), true));
    EXPECT_EQ(document, again.out());
}

TEST(JsonEncoderEmbedding, FileCutOffInsideNestedObjectStillClosesEveryBracket) {
    zeltest::TempDir dir;
    const std::string document = largeDocument();
    for (size_t cut : {size_t{1}, size_t{15}, size_t{999}, size_t{1000}, size_t{1001}, document.size() / 2,
                       document.size() - 3}) {
        zeltest::writeFile(dir.file("cut.json"), document.substr(0, cut));
        Encoder encoder(true);
        mdjson_beginObject(&encoder.context, nullptr);
        mdjson_beginObject(&encoder.context, "crash");
        EXPECT_EQ(MDJSON_ERROR_INCOMPLETE,
                  mdjson_addJSONFromFile(&encoder.context, "previous", dir.file("cut.json").c_str(), true))
            << "cut at " << cut;
        EXPECT_EQ(2, encoder.context.containerLevel);
        mdjson_endEncode(&encoder.context);
        EXPECT_TRUE(bracketsBalanced(encoder.out())) << "cut at " << cut;
    }
}

TEST(JsonEncoderEmbedding, FileWithoutCloseKeepsTheOutermostObjectOpenAtLevelOne) {
    zeltest::TempDir dir;
    zeltest::writeFile(dir.file("user.json"), "{\"name\":\"n\",\"nested\":{\"deep\":[1,2]}}");
    Encoder encoder;
    mdjson_beginObject(&encoder.context, nullptr);
    EXPECT_EQ(MDJSON_OK, mdjson_addJSONFromFile(&encoder.context, "user", dir.file("user.json").c_str(), false));
    mdjson_addIntegerElement(&encoder.context, "extra", 1);
    mdjson_endEncode(&encoder.context);
    EXPECT_EQ("{\"user\":{\"name\":\"n\",\"nested\":{\"deep\":[1,2]},\"extra\":1}}", encoder.out());
}

TEST(JsonEncoderEmbedding, MissingFileDecodesAsEmptyInput) {
    zeltest::TempDir dir;
    Encoder encoder;
    mdjson_beginObject(&encoder.context, nullptr);
    EXPECT_EQ(MDJSON_ERROR_INCOMPLETE,
              mdjson_addJSONFromFile(&encoder.context, "x", dir.file("missing.json").c_str(), true));
    EXPECT_EQ(MDJSON_ERROR_INCOMPLETE, mdjson_addJSONFromFile(&encoder.context, "x", dir.path().c_str(), true));
    EXPECT_EQ("{", encoder.out());
}

TEST(JsonEncoderEmbedding, StringLongerThanTheEmbeddingBufferFails) {
    zeltest::TempDir dir;
    zeltest::writeFile(dir.file("long.json"), "[\"" + std::string(MDJSON_EMBED_MAX_STRING_LENGTH + 100, 'q') + "\"]");
    Encoder encoder;
    EXPECT_EQ(MDJSON_ERROR_DATA_TOO_LONG,
              mdjson_addJSONFromFile(&encoder.context, nullptr, dir.file("long.json").c_str(), true));
    EXPECT_EQ("[]", encoder.out());
}

}  // namespace
