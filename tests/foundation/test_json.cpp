#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "platform/foundation/JSONSerialization.h"

using platform::Error;
using platform::JSONSerialization;
using platform::Value;

namespace {

Value parse(const std::string& text, unsigned options = 0, Error* error = nullptr) {
    return JSONSerialization::JSONObjectWithData(text, options, error);
}

// Parsing must fail cleanly: nil, and a Cocoa 3840 error.
void expectReadFailure(const std::string& text, unsigned options = 0) {
    Error error;
    Value v = parse(text, options, &error);
    EXPECT_TRUE(v.isNil()) << text;
    EXPECT_EQ(error.domain, "NSCocoaErrorDomain") << text;
    EXPECT_EQ(error.code, 3840) << text;
    EXPECT_NE(error.localizedDescription.find("isn't in the correct format"), std::string::npos);
}

}  // namespace

TEST(JSONReading, NumbersKeepTheirKind) {
    Value v = parse(R"([1, 1.0, true, false, -7, 2.5e3, 0, null])");
    ASSERT_TRUE(v.isArray());
    ASSERT_EQ(v.count(), 8u);
    EXPECT_TRUE(v[0].isInteger());
    EXPECT_EQ(v[0].longLongValue(), 1);
    EXPECT_TRUE(v[1].isFloat());
    EXPECT_TRUE(v[2].isBoolean());
    EXPECT_TRUE(v[2].boolValue());
    EXPECT_TRUE(v[3].isBoolean());
    EXPECT_EQ(v[4].longLongValue(), -7);
    EXPECT_TRUE(v[5].isFloat());
    EXPECT_DOUBLE_EQ(v[5].doubleValue(), 2500.0);
    EXPECT_TRUE(v[6].isInteger());
    EXPECT_TRUE(v[7].isNull());
}

TEST(JSONReading, BigIntegers) {
    Value v = parse(R"([9223372036854775807, -9223372036854775808, 18446744073709551615,
                        9223372036854775808, 123456789012345678901234567890])");
    ASSERT_EQ(v.count(), 5u);
    EXPECT_EQ(v[0].longLongValue(), std::numeric_limits<long long>::max());
    EXPECT_EQ(v[1].longLongValue(), std::numeric_limits<long long>::min());
    // Above INT64_MAX the bits are kept: addresses survive a round trip.
    EXPECT_TRUE(v[2].isInteger());
    EXPECT_EQ(v[2].longLongValue(), -1);
    EXPECT_EQ(v[2].unsignedLongLongValue(), 18446744073709551615ull);
    EXPECT_EQ(v[3].longLongValue(), std::numeric_limits<long long>::min());
    EXPECT_TRUE(v[4].isFloat());
}

TEST(JSONReading, NestedContainersAndStrings) {
    Value v = parse(R"({"b": {"list": [1, {"deep": "x"}], "empty": {}}, "a": [], "s": "q\"\\\/\n"})");
    ASSERT_TRUE(v.isDictionary());
    EXPECT_EQ(v.allKeys(), (std::vector<std::string>{"a", "b", "s"}));
    EXPECT_TRUE(v["a"].isArray());
    EXPECT_EQ(v["a"].count(), 0u);
    EXPECT_EQ(v["b"]["list"][1]["deep"].stringValue(), "x");
    EXPECT_TRUE(v["b"]["empty"].isDictionary());
    EXPECT_EQ(v["s"].stringValue(), "q\"\\/\n");
}

TEST(JSONReading, UnicodeEscapesAndSurrogatePairs) {
    Value v = parse(R"(["\u00e9", "\u20ac", "\ud83d\ude00", "caf\u00e9 ok", "\u0000x"])");
    ASSERT_EQ(v.count(), 5u);
    EXPECT_EQ(v[0].stringValue(), "\xc3\xa9");
    EXPECT_EQ(v[1].stringValue(), "\xe2\x82\xac");
    EXPECT_EQ(v[2].stringValue(), "\xf0\x9f\x98\x80");
    EXPECT_EQ(v[3].stringValue(), "caf\xc3\xa9 ok");
    EXPECT_EQ(v[4].stringValue(), std::string("\0x", 2));
    // A lone high surrogate is not text.
    expectReadFailure(R"(["\ud83d"])");
    expectReadFailure(R"(["\ude00"])");
}

TEST(JSONReading, Fragments) {
    expectReadFailure("42");
    expectReadFailure("\"text\"");
    expectReadFailure("null");
    using J = JSONSerialization;
    EXPECT_EQ(parse("42", J::AllowFragments).longLongValue(), 42);
    EXPECT_TRUE(parse("42", J::AllowFragments).isInteger());
    EXPECT_EQ(parse("\"text\"", J::AllowFragments).stringValue(), "text");
    EXPECT_TRUE(parse("null", J::AllowFragments).isNull());
    EXPECT_TRUE(parse("true", J::AllowFragments).isBoolean());
    EXPECT_TRUE(parse("[1]", J::AllowFragments).isArray());
}

TEST(JSONReading, MalformedInputFailsWithoutCrashing) {
    for (const char* bad : {"", "   ", "[", "{", "[1,", "{\"a\":", "{\"a\" 1}", "[1 2]", "[1,]", "{\"a\":1,}",
                            "[tru]", "[\"unterminated", "{1:2}", "[1] x", "[01]", "[NaN]", "['a']"}) {
        expectReadFailure(bad);
    }
    Error error;
    parse("[1, 2, x]", 0, &error);
    EXPECT_NE(error.localizedDescription.find("character 7"), std::string::npos) << error.localizedDescription;
    EXPECT_EQ(error.userInfo["NSJSONSerializationErrorIndex"].longLongValue(), 7);  // the 'x'
}

TEST(JSONReading, InvalidUTF8) {
    expectReadFailure("[\"\xff\"]");
    expectReadFailure("[\"\xc3\"]");
    expectReadFailure("[\"\xed\xa0\x80\"]");  // an encoded surrogate
    expectReadFailure("[\xc3\xa9]");
    Value::Bytes bytes = {'[', '"', 0xc0, 0x80, '"', ']'};  // overlong NUL
    Error error;
    EXPECT_TRUE(JSONSerialization::JSONObjectWithData(bytes, 0, &error).isNil());
    EXPECT_EQ(error.code, 3840);
}

TEST(JSONReading, DeepNestingIsRefusedNotOverflowed) {
    expectReadFailure(std::string(10000, '['));
    expectReadFailure(std::string(10000, '[') + std::string(10000, ']'));
    std::string objects;
    for (int i = 0; i < 10000; ++i) objects += "{\"a\":";
    expectReadFailure(objects);
    // Ordinary depths still work.
    Value v = parse(std::string(100, '[') + std::string(100, ']'));
    EXPECT_TRUE(v.isArray());
}

TEST(JSONReading, BytesOverloadAndBOM) {
    std::string text = "\xef\xbb\xbf{\"k\":\"v\"}";
    Value v = JSONSerialization::JSONObjectWithData(Value::Bytes(text.begin(), text.end()));
    EXPECT_EQ(v["k"].stringValue(), "v");
}

TEST(JSONWriting, CompactAndPretty) {
    Value object = Value::dictionary({{"b", Value::array({1, 2.5, true})}, {"a", "x"}, {"c", Value::dictionary()}});
    EXPECT_EQ(JSONSerialization::dataWithJSONObject(object), R"({"a":"x","b":[1,2.5,true],"c":{}})");
    EXPECT_EQ(JSONSerialization::dataWithJSONObject(object, JSONSerialization::PrettyPrinted),
              "{\n  \"a\" : \"x\",\n  \"b\" : [\n    1,\n    2.5,\n    true\n  ],\n  \"c\" : {}\n}");
}

TEST(JSONWriting, EscapesStrings) {
    Value s = Value::array({std::string("q\"b\\n\n\t\x01\x1f/\xc3\xa9")});
    EXPECT_EQ(JSONSerialization::dataWithJSONObject(s), "[\"q\\\"b\\\\n\\n\\t\\u0001\\u001f/\xc3\xa9\"]");
    // Invalid UTF-8 never leaks into the output.
    std::string out = JSONSerialization::dataWithJSONObject(Value::array({std::string("a\xff" "b")}));
    EXPECT_EQ(out, "[\"a\xef\xbf\xbd" "b\"]");
    EXPECT_FALSE(parse(out).isNil());
}

TEST(JSONWriting, RoundTripKeepsKindsAndValues) {
    Value original = Value::dictionary({
        {"int", 1}, {"float", 1.0}, {"bool", true}, {"neg", -42}, {"tiny", 0.1}, {"big", 1e300},
        {"min", std::numeric_limits<long long>::min()}, {"addr", 0xffffffffffff0000ull},
        {"null", Value::null()}, {"text", "\xf0\x9f\x98\x80 \"quoted\""},
        {"nested", Value::array({Value::array({Value::dictionary({{"k", 3}})})})},
    });
    for (unsigned options : {0u, unsigned(JSONSerialization::PrettyPrinted)}) {
        Error error;
        Value back = parse(JSONSerialization::dataWithJSONObject(original, options), 0, &error);
        ASSERT_TRUE(back.isDictionary()) << error.localizedDescription;
        EXPECT_TRUE(back.isEqual(original));
        EXPECT_TRUE(back["int"].isInteger());
        EXPECT_TRUE(back["float"].isFloat());
        EXPECT_TRUE(back["bool"].isBoolean());
        EXPECT_EQ(back["tiny"].doubleValue(), 0.1);
        EXPECT_EQ(back["addr"].unsignedLongLongValue(), 0xffffffffffff0000ull);
    }
}

TEST(JSONWriting, DatesDataAndFailures) {
    EXPECT_EQ(JSONSerialization::dataWithJSONObject(Value::array({Value::date(1.5), Value::data("hi!?", 4)})),
              "[1.5,\"aGkhPw==\"]");
    EXPECT_EQ(JSONSerialization::dataWithJSONObject(Value::array({Value::data("ab", 2), Value::data("", 0)})),
              "[\"YWI=\",\"\"]");

    Error error;
    EXPECT_EQ(JSONSerialization::dataWithJSONObject(Value(), 0, &error), "");
    EXPECT_EQ(error.code, 3851);
    EXPECT_EQ(error.domain, "NSCocoaErrorDomain");
    error = {};
    Value nan = Value::array({std::numeric_limits<double>::quiet_NaN()});
    EXPECT_EQ(JSONSerialization::dataWithJSONObject(nan, 0, &error), "");
    EXPECT_EQ(error.code, 3851);
    error = {};
    Value inf = Value::dictionary({{"x", std::numeric_limits<double>::infinity()}});
    EXPECT_EQ(JSONSerialization::dataWithJSONObject(inf, 0, &error), "");
    EXPECT_EQ(error.code, 3851);

    // A container holding itself is refused instead of recursing forever.
    Value cycle = Value::array();
    cycle.addObject(cycle);
    error = {};
    EXPECT_EQ(JSONSerialization::dataWithJSONObject(cycle, 0, &error), "");
    EXPECT_EQ(error.code, 3851);
    cycle.removeAllObjects();  // break the cycle so it can be freed
}
