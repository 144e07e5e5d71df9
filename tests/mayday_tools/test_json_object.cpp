// MDJSONCodec: platform Values to JSON bytes and back.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "Mayday/Recording/Tools/MDJSONCodecObjC.h"

using platform::Value;

namespace {

Value::Bytes bytes(const std::string& text) { return Value::Bytes(text.begin(), text.end()); }
std::string text(const Value::Bytes& data) { return std::string(data.begin(), data.end()); }

std::string encodeText(const Value& object, unsigned options = 0) {
    platform::OptionalError error;
    auto data = MDJSONCodec::encode(object, options, &error);
    EXPECT_TRUE(data.has_value()) << platform::describe(error);
    EXPECT_FALSE(error.has_value()) << platform::describe(error);
    return data ? text(*data) : std::string("<failed>");
}

Value decodeText(const std::string& json, unsigned options = 0, platform::OptionalError* error = nullptr) {
    return MDJSONCodec::decode(bytes(json), options, error);
}

void expectCodecError(const platform::OptionalError& error, const std::string& description) {
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->domain, "MDJSONCodecObjC");
    EXPECT_EQ(error->code, 0);
    EXPECT_EQ(error->localizedDescription, description);
}

}  // namespace

// ---- Decoding errors and the top level.

TEST(JSONObjectDecodeErrors, ScalarAtTopLevelIsRefusedWithItsClass) {
    struct Case {
        const char* json;
        const char* description;
    } cases[] = {
        {"true", "Type NSNumber not allowed as top level container"},
        {"\"abc\"", "Type NSString not allowed as top level container"},
        {"null", "Type NSNull not allowed as top level container"},
        {"12 ", "Type NSNumber not allowed as top level container"},
        {"-2.5 ", "Type NSNumber not allowed as top level container"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        platform::OptionalError error;
        EXPECT_TRUE(decodeText(c.json, 0, &error).isNil());
        expectCodecError(error, c.description);
    }
}

TEST(JSONObjectDecodeErrors, DecoderFailuresCarryTheCodeTextAndOffset) {
    platform::OptionalError error;
    EXPECT_TRUE(decodeText("]", 0, &error).isNil());
    expectCodecError(error, "Invalid character (offset 0)");

    EXPECT_TRUE(decodeText("  [1, 2", 0, &error).isNil());
    expectCodecError(error, "Incomplete data (offset 7)");

    EXPECT_TRUE(decodeText("{\"a\" 1}", 0, &error).isNil());
    expectCodecError(error, "Invalid character (offset 5)");

    EXPECT_TRUE(decodeText("", 0, &error).isNil());
    expectCodecError(error, "Incomplete data (offset 0)");
}

TEST(JSONObjectDecodeErrors, EndingAContainerAtTheTopLevelFails) {
    auto codec = MDJSONCodec::codecWithEncodeOptions(0, 0);
    EXPECT_EQ(codec->callbacks()->onEndContainer(codec.get()), MDJSON_ERROR_INVALID_DATA);
    expectCodecError(codec->error(), "Already at the top level; no container left to end");
    // The first error is kept.
    EXPECT_EQ(codec->callbacks()->onBooleanElement(nullptr, true, codec.get()), MDJSON_ERROR_INVALID_DATA);
    expectCodecError(codec->error(), "Already at the top level; no container left to end");
}

TEST(JSONObjectDecodeErrors, ErrorSlotIsClearedOnSuccess) {
    platform::OptionalError error = platform::Error("old", 1, "stale");
    EXPECT_TRUE(decodeText("[1]", 0, &error).isArray());
    EXPECT_FALSE(error.has_value());

    error = platform::Error("old", 1, "stale");
    EXPECT_TRUE(MDJSONCodec::encode(Value::array({1}), 0, &error).has_value());
    EXPECT_FALSE(error.has_value());
}

// ---- Decoding values and options.

TEST(JSONObjectDecode, ValuesGetTheirKinds) {
    const Value v = decodeText(
        "{\"t\":true,\"f\":false,\"i\":-42,\"big\":9223372036854775807,\"over\":[9223372036854775808],"
        "\"x\":2.5,\"e\":1e3,\"s\":\"caf\\u00e9\",\"n\":null,\"o\":{},\"a\":[]}");
    ASSERT_TRUE(v.isDictionary());
    EXPECT_TRUE(v["t"].isBoolean());
    EXPECT_TRUE(v["t"].boolValue());
    EXPECT_TRUE(v["f"].isBoolean());
    EXPECT_FALSE(v["f"].boolValue());
    EXPECT_TRUE(v["i"].isInteger());
    EXPECT_EQ(v["i"].longLongValue(), -42);
    EXPECT_TRUE(v["big"].isInteger());
    EXPECT_EQ(v["big"].longLongValue(), INT64_MAX);
    EXPECT_TRUE(v["over"][0].isFloat());
    EXPECT_DOUBLE_EQ(v["over"][0].doubleValue(), 9223372036854775808.0);
    EXPECT_TRUE(v["x"].isFloat());
    EXPECT_DOUBLE_EQ(v["x"].doubleValue(), 2.5);
    EXPECT_TRUE(v["e"].isFloat());
    EXPECT_DOUBLE_EQ(v["e"].doubleValue(), 1000.0);
    EXPECT_EQ(v["s"].stringValue(), "caf\xC3\xA9");
    EXPECT_TRUE(v["n"].isNull());
    EXPECT_TRUE(v["o"].isDictionary());
    EXPECT_EQ(v["o"].count(), 0u);
    EXPECT_TRUE(v["a"].isArray());
    EXPECT_EQ(v.count(), 11u);
}

TEST(JSONObjectDecode, NestingAndDuplicateKeys) {
    const Value v = decodeText("[{\"k\":1,\"k\":2,\"inner\":[[3],{\"z\":[]}]}, 4]");
    ASSERT_TRUE(v.isArray());
    ASSERT_EQ(v.count(), 2u);
    EXPECT_EQ(v[0]["k"].longLongValue(), 2);  // the later member replaces the earlier one
    EXPECT_EQ(v[0]["inner"][0][0].longLongValue(), 3);
    EXPECT_TRUE(v[0]["inner"][1]["z"].isArray());
    EXPECT_EQ(v[1].longLongValue(), 4);
}

TEST(JSONObjectDecode, NullOptions) {
    const std::string json = "{\"a\":null,\"b\":[null,1]}";
    {
        const Value v = decodeText(json, 7);
        EXPECT_EQ(v, Value::dictionary({{"b", Value::array({1})}}));
        EXPECT_TRUE(v["a"].isNil());
        EXPECT_EQ(v["b"].count(), 1u);
    }
    {
        const Value v = decodeText(json, 0);
        EXPECT_EQ(v, Value::dictionary({{"a", Value::null()}, {"b", Value::array({Value::null(), 1})}}));
    }
    {
        const Value v = decodeText(json, MDJSONDecodeOptionIgnoreNullInArray);
        EXPECT_EQ(v, Value::dictionary({{"a", Value::null()}, {"b", Value::array({1})}}));
    }
    {
        const Value v = decodeText(json, MDJSONDecodeOptionIgnoreNullInObject);
        EXPECT_EQ(v, Value::dictionary({{"b", Value::array({Value::null(), 1})}}));
    }
}

TEST(JSONObjectDecode, PartialResultOnlyWithOption4) {
    const std::string cut = "{\"a\":1,\"b\":[2,{\"c\":";
    platform::OptionalError error;
    EXPECT_TRUE(decodeText(cut, 0, &error).isNil());
    expectCodecError(error, "Incomplete data (offset " + std::to_string(cut.size()) + ")");

    const Value partial = decodeText(cut, MDJSONDecodeOptionKeepPartialObject, &error);
    expectCodecError(error, "Incomplete data (offset " + std::to_string(cut.size()) + ")");
    EXPECT_EQ(partial, Value::dictionary({{"a", 1}, {"b", Value::array({2, Value::dictionary()})}}));

    // Nothing was built: still nil.
    EXPECT_TRUE(decodeText("true", MDJSONDecodeOptionKeepPartialObject, &error).isNil());
}

TEST(JSONObjectDecode, OnlyTheFirstElementIsRead) {
    EXPECT_EQ(decodeText("[1] trailing garbage {"), Value::array({1}));
    EXPECT_EQ(decodeText("{}{\"a\":1}"), Value::dictionary());
}

// Mended: the work buffer follows the input, so long names and strings that
// the fixed 10001-byte buffer refused now decode.
TEST(JSONObjectDecode, LongNamesAndStringsDecode) {
    const std::string longString(7501, 's');
    const std::string longName(2500, 'n');
    const std::string huge(200000, 'h');
    const Value v = decodeText("{\"" + longName + "\":\"" + longString + "\",\"h\":[\"" + huge + "\"]}");
    ASSERT_TRUE(v.isDictionary());
    EXPECT_EQ(v[longName].stringValue(), longString);
    EXPECT_EQ(v["h"][0].stringValue(), huge);

    // A name as long as the whole input allows.
    const std::string name(30000, 'k');
    const Value w = decodeText("{\"" + name + "\":1}");
    EXPECT_EQ(w[name].longLongValue(), 1);

    // A very long number text still reads as one floating-point value.
    const std::string digits = "1" + std::string(20000, '0') + ".5";
    const Value x = decodeText("[" + digits + "]");
    ASSERT_TRUE(x.isArray());
    EXPECT_TRUE(x[0].isFloat());
}

TEST(JSONObjectDecode, NestingLimitMatchesTheEncoder) {
    const auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    const Value deepest = decodeText(nested(199));
    ASSERT_TRUE(deepest.isArray());
    auto data = MDJSONCodec::encode(deepest, 0);
    ASSERT_TRUE(data.has_value());
    EXPECT_EQ(text(*data), nested(199));

    platform::OptionalError error;
    EXPECT_TRUE(decodeText(nested(200), 0, &error).isNil());
    expectCodecError(error, "Invalid data (offset 199)");
    // Deep input fails cleanly instead of exhausting the stack.
    EXPECT_TRUE(decodeText(std::string(100000, '['), 0, &error).isNil());
    EXPECT_TRUE(error.has_value());
}

// ---- Encoding.

TEST(JSONObjectEncode, CompactAndPrettyLayout) {
    const Value object = Value::dictionary({{"a", 1}, {"b", Value::array()}});
    EXPECT_EQ(encodeText(object), "{\"a\":1,\"b\":[]}");
    EXPECT_EQ(encodeText(object, MDJSONEncodeOptionPretty), "{\n    \"a\": 1,\n    \"b\": []\n}");

    const Value nested = Value::array({Value::dictionary({{"k", Value::array({true, Value::null()})}}), "x"});
    EXPECT_EQ(encodeText(nested), "[{\"k\":[true,null]},\"x\"]");
    EXPECT_EQ(encodeText(nested, MDJSONEncodeOptionPretty),
              "[\n    {\n        \"k\": [\n            true,\n            null\n        ]\n    },\n    \"x\"\n]");
}

TEST(JSONObjectEncode, KeysComeOutSortedWithOrWithoutTheOption) {
    Value object = Value::dictionary();
    object.setObject(3, "zeta");
    object.setObject(1, "alpha");
    object.setObject(2, "Mid");
    EXPECT_EQ(encodeText(object, 0), "{\"Mid\":2,\"alpha\":1,\"zeta\":3}");
    EXPECT_EQ(encodeText(object, MDJSONEncodeOptionSorted), "{\"Mid\":2,\"alpha\":1,\"zeta\":3}");
}

TEST(JSONObjectEncode, StringsAndNamesAreEscaped) {
    const Value object = Value::dictionary({{"q\"uote", "a\\b/c\n\t\x01"}, {"u", "\xE2\x82\xAC"}});
    const std::string json = encodeText(object);
    EXPECT_EQ(json, "{\"q\\\"uote\":\"a\\\\b/c\\n\\t\\u0001\",\"u\":\"\xE2\x82\xAC\"}");
    EXPECT_EQ(decodeText(json), object);
}

TEST(JSONObjectEncode, DatesAsUTCText) {
    const Value object = Value::array({Value::date(0), Value::date(951782400.9), Value::date(-1.5),
                                       Value::date(253402300799.0)});
    EXPECT_EQ(encodeText(object),
              "[\"1970-01-01T00:00:00Z\",\"2000-02-29T00:00:00Z\",\"1969-12-31T23:59:59Z\","
              "\"9999-12-31T23:59:59Z\"]");
    EXPECT_EQ(encodeText(Value::dictionary({{"when", Value::date(1e9)}})), "{\"when\":\"2001-09-09T01:46:40Z\"}");
}

TEST(JSONObjectEncode, DataAsUppercaseHex) {
    const uint8_t raw[] = {0x00, 0x01, 0xAB, 0x7F, 0xFF};
    EXPECT_EQ(encodeText(Value::array({Value::data(raw, sizeof raw), Value::data(Value::Bytes{})})),
              "[\"0001AB7FFF\",\"\"]");
}

TEST(JSONObjectEncode, NumbersAndBooleans) {
    EXPECT_EQ(encodeText(Value::array({true, false, 0, -1, INT64_MIN, 0.1, 1234567.0, 1.5})),
              "[true,false,0,-1,-9223372036854775808,0.1,1.23457e+06,1.5]");
}

TEST(JSONObjectEncode, NilCannotBeEncoded) {
    platform::OptionalError error;
    EXPECT_FALSE(MDJSONCodec::encode(Value(), 0, &error).has_value());
    expectCodecError(error, "Could not determine type of nil");

    Value array = Value::array({1});
    array.mutableArrayItems()->push_back(Value());
    EXPECT_FALSE(MDJSONCodec::encode(Value::dictionary({{"a", array}}), 0, &error).has_value());
    expectCodecError(error, "Could not determine type of nil");
}

TEST(JSONObjectEncode, TooDeepFailsInsteadOfOverrunning) {
    Value top = Value::array();
    Value inner = top;
    for (int i = 0; i < 300; ++i) {
        Value next = Value::array();
        inner.addObject(next);
        inner = next;
    }
    EXPECT_FALSE(MDJSONCodec::encode(top, 0).has_value());
}

// ---- Round trips.

TEST(JSONObjectRoundTrip, FloatsKeepTheirKind) {
    const double values[] = {1.5, 0.1, -2.25, 1.0, -250.0, 0.0, 123456.0, 1e300, -1e-300, 9223372036854775808.0};
    for (double d : values) {
        SCOPED_TRACE(d);
        for (unsigned options : {0u, 1u}) {
            auto data = MDJSONCodec::encode(Value::array({d}), options);
            ASSERT_TRUE(data.has_value());
            const Value back = MDJSONCodec::decode(*data, 0);
            ASSERT_TRUE(back.isArray()) << text(*data);
            EXPECT_TRUE(back[0].isFloat()) << text(*data);
            // Six significant digits are written.
            EXPECT_NEAR(back[0].doubleValue(), d, std::fabs(d) * 1e-5) << text(*data);
        }
    }
    EXPECT_EQ(encodeText(Value::array({1.0, -250.0, 0.5})), "[1.0,-250.0,0.5]");
    // Non-finite values have no JSON form; they are written as null.
    EXPECT_EQ(encodeText(Value::array({NAN, INFINITY})), "[null,null]");
}

TEST(JSONObjectRoundTrip, IntegersAndBooleansKeepTheirKind) {
    const Value object = Value::array({0, -1, INT64_MAX, INT64_MIN + 1, true, false, INT64_MIN});
    const Value back = decodeText(encodeText(object));
    ASSERT_EQ(back.count(), 7u);
    for (size_t i = 0; i < 4; ++i) EXPECT_TRUE(back[i].isInteger()) << i;
    EXPECT_EQ(back[2].longLongValue(), INT64_MAX);
    EXPECT_EQ(back[3].longLongValue(), INT64_MIN + 1);
    EXPECT_TRUE(back[4].isBoolean());
    EXPECT_TRUE(back[4].boolValue());
    EXPECT_TRUE(back[5].isBoolean());
    EXPECT_FALSE(back[5].boolValue());
    // The decoder gathers the digits before applying the sign, so the
    // smallest integer overflows and comes back as the same value in floating point.
    EXPECT_TRUE(back[6].isFloat());
    EXPECT_EQ(back[6].doubleValue(), -9223372036854775808.0);
}

TEST(JSONObjectRoundTrip, ReportLikeDocumentSurvives) {
    const uint8_t raw[] = {0xDE, 0xAD, 0xBE, 0xEF};
    const Value report = Value::dictionary({
        {"report", Value::dictionary({{"id", "3A1C"}, {"timestamp", Value::date(1700000000)}, {"version", "3.3"}})},
        {"crash", Value::dictionary({{"threads", Value::array({Value::dictionary({{"index", 0},
                                                                                    {"crashed", true},
                                                                                    {"name", "main"},
                                                                                    {"registers", Value::null()}}),
                                                                 Value::dictionary({{"index", 1}})})},
                                     {"memory", Value::data(raw, sizeof raw)}})},
        {"user", Value::dictionary({{"breadcrumbs", Value::array({"one", "two \"quoted\""})}})},
    });
    for (unsigned options : {0u, 1u, 2u, 3u}) {
        SCOPED_TRACE(options);
        auto data = MDJSONCodec::encode(report, options);
        ASSERT_TRUE(data.has_value());
        const Value back = MDJSONCodec::decode(*data, 7);
        EXPECT_EQ(back["report"]["timestamp"].stringValue(), "2023-11-14T22:13:20Z");
        EXPECT_EQ(back["crash"]["memory"].stringValue(), "DEADBEEF");
        EXPECT_EQ(back["crash"]["threads"][0]["name"].stringValue(), "main");
        EXPECT_TRUE(back["crash"]["threads"][0]["registers"].isNil());  // option 2 drops object nulls
        EXPECT_EQ(back["user"], report["user"]);
        // Decoding the same text again gives an equal tree.
        EXPECT_EQ(MDJSONCodec::decode(*MDJSONCodec::encode(back, options), 7), back);
    }
}

TEST(JSONObjectCodec, OptionsSetTheFlags) {
    auto codec = MDJSONCodec::codecWithEncodeOptions(MDJSONEncodeOptionPretty | MDJSONEncodeOptionSorted, 3);
    EXPECT_TRUE(codec->prettyPrint());
    EXPECT_TRUE(codec->sorted());
    EXPECT_TRUE(codec->ignoreNullsInArrays());
    EXPECT_TRUE(codec->ignoreNullsInObjects());
    EXPECT_TRUE(codec->topLevelContainer().isNil());
    EXPECT_FALSE(codec->error().has_value());

    MDJSONCodec plain(0, 0);
    EXPECT_FALSE(plain.prettyPrint());
    EXPECT_FALSE(plain.sorted());
    EXPECT_FALSE(plain.ignoreNullsInArrays());
    EXPECT_FALSE(plain.ignoreNullsInObjects());
    ASSERT_NE(plain.callbacks(), nullptr);
    EXPECT_NE(plain.callbacks()->onEndData, nullptr);
}

TEST(JSONObjectCodec, CallbacksBuildTheTreeDirectly) {
    MDJSONCodec codec(0, 0);
    const MDJSONDecodeCallbacks* cb = codec.callbacks();
    ASSERT_EQ(cb->onBeginObject(nullptr, &codec), 0);
    ASSERT_EQ(cb->onIntegerElement("n", 5, &codec), 0);
    ASSERT_EQ(cb->onBeginArray("list", &codec), 0);
    ASSERT_EQ(cb->onStringElement(nullptr, "s", &codec), 0);
    ASSERT_EQ(cb->onEndContainer(&codec), 0);
    ASSERT_EQ(cb->onFloatingPointElement("f", 0.5, &codec), 0);
    ASSERT_EQ(cb->onEndContainer(&codec), 0);
    EXPECT_EQ(cb->onEndData(&codec), 0);
    EXPECT_EQ(codec.topLevelContainer(),
              Value::dictionary({{"n", 5}, {"list", Value::array({"s"})}, {"f", 0.5}}));
    // Nothing is open any more: a value now has nowhere to go.
    EXPECT_EQ(cb->onNullElement(nullptr, &codec), MDJSON_ERROR_INVALID_DATA);
    expectCodecError(codec.error(), "Type NSNull not allowed as top level container");
}
