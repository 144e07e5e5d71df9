#include "platform/foundation/Value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using platform::Value;

namespace {

constexpr long long kLLMax = std::numeric_limits<long long>::max();
constexpr long long kLLMin = std::numeric_limits<long long>::min();
constexpr int kIntMax = std::numeric_limits<int>::max();
constexpr int kIntMin = std::numeric_limits<int>::min();

TEST(ValueKinds, ConstructorsAndClassNames) {
    EXPECT_TRUE(Value(nullptr).isNil());
    EXPECT_TRUE(Value(static_cast<const char*>(nullptr)).isNil());
    EXPECT_TRUE(Value(7u).isInteger());
    EXPECT_TRUE(Value(std::string_view("x")).isString());
    EXPECT_FALSE(Value::date(1).isNumber());
    EXPECT_FALSE(Value("1").isNumber());
    const std::pair<Value, const char*> names[] = {
        {Value(), "nil"},        {Value::null(), "NSNull"},    {Value(false), "NSNumber"},
        {Value(3), "NSNumber"},  {Value(3.5), "NSNumber"},     {Value("s"), "NSString"},
        {Value::date(0), "NSDate"}, {Value::data({1}), "NSData"}, {Value::array(), "NSArray"},
        {Value::dictionary(), "NSDictionary"}};
    for (const auto& [value, name] : names) EXPECT_STREQ(value.className(), name);
    // Unsigned 64-bit values keep their bits.
    Value big(std::numeric_limits<unsigned long long>::max());
    EXPECT_EQ(big.longLongValue(), -1);
    EXPECT_EQ(big.unsignedLongLongValue(), std::numeric_limits<unsigned long long>::max());
}

TEST(ValueNumbers, ConvertBetweenKinds) {
    EXPECT_EQ(Value(true).intValue(), 1);
    EXPECT_EQ(Value(false).doubleValue(), 0.0);
    EXPECT_EQ(Value(42).doubleValue(), 42.0);
    EXPECT_EQ(Value(3.99).intValue(), 3);
    EXPECT_TRUE(Value(0.25).boolValue());
    EXPECT_FALSE(Value(0).boolValue());
    EXPECT_EQ(Value::date(12.5).doubleValue(), 12.5);
    EXPECT_EQ(Value::date(12.5).dateValue(), 12.5);
    EXPECT_EQ(Value(12.5).dateValue(), 0.0);
    // Other kinds answer 0/false.
    for (const Value& v : {Value(), Value::null(), Value::array({1}), Value::data({1})}) {
        EXPECT_EQ(v.intValue(), 0) << v.className();
        EXPECT_FALSE(v.boolValue()) << v.className();
        EXPECT_EQ(v.doubleValue(), 0.0) << v.className();
    }
}

TEST(ValueNumbers, OutOfRangeFloatsSaturate) {
    EXPECT_EQ(Value(1e300).longLongValue(), kLLMax);
    EXPECT_EQ(Value(-1e300).longLongValue(), kLLMin);
    EXPECT_EQ(Value(9223372036854775808.0).longLongValue(), kLLMax);
    EXPECT_EQ(Value(std::nan("")).longLongValue(), 0);
    EXPECT_EQ(Value(1e30).unsignedLongLongValue(), std::numeric_limits<unsigned long long>::max());
    EXPECT_EQ(Value(9223372036854775808.0).unsignedLongLongValue(), 9223372036854775808ull);
}

TEST(ValueStrings, ParseALeadingIntegerLikeNSString) {
    EXPECT_EQ(Value("  +0007").intValue(), 7);
    EXPECT_EQ(Value("\t-12abc").intValue(), -12);
    EXPECT_EQ(Value("42.9").intValue(), 42);
    EXPECT_EQ(Value("abc").intValue(), 0);
    EXPECT_EQ(Value("- 5").intValue(), 0);
    EXPECT_EQ(Value("9223372036854775807").longLongValue(), kLLMax);
    EXPECT_EQ(Value("-9223372036854775808").longLongValue(), kLLMin);
    EXPECT_EQ(Value("9223372036854775808").longLongValue(), kLLMax);
    EXPECT_EQ(Value("-99999999999999999999999").longLongValue(), kLLMin);
    // intValue saturates to int, it does not wrap.
    EXPECT_EQ(Value("3000000000").intValue(), kIntMax);
    EXPECT_EQ(Value("-3000000000").intValue(), kIntMin);
}

TEST(ValueStrings, ParseALeadingDouble) {
    EXPECT_EQ(Value(" 2.5kg").doubleValue(), 2.5);
    EXPECT_EQ(Value("+1e3").doubleValue(), 1000.0);
    EXPECT_EQ(Value("-.5").doubleValue(), -0.5);
    EXPECT_EQ(Value("x1").doubleValue(), 0.0);
    // NSString answers HUGE_VAL / -HUGE_VAL on overflow, not 0.
    EXPECT_EQ(Value("1e400").doubleValue(), HUGE_VAL);
    EXPECT_EQ(Value("-1e400").doubleValue(), -HUGE_VAL);
}

TEST(ValueStrings, BoolValueRules) {
    for (const char* yes : {"YES", "yes", "Y", "true", "T", "1", "  +0007", "-1", "0009", "9z"})
        EXPECT_TRUE(Value(yes).boolValue()) << '"' << yes << '"';
    for (const char* no : {"NO", "no", "false", "0", "000", "", "   ", "0.5", "x1", "+", "-0"})
        EXPECT_FALSE(Value(no).boolValue()) << '"' << no << '"';
}

TEST(ValueEquality, NumbersCompareByValueAcrossKinds) {
    EXPECT_EQ(Value(1), Value(1.0));
    EXPECT_EQ(Value(true), Value(1));
    EXPECT_EQ(Value(false), Value(0));
    EXPECT_NE(Value(1), Value(1.5));
    EXPECT_NE(Value(true), Value(2));
    EXPECT_NE(Value(1), Value("1"));
    EXPECT_EQ(Value(), Value());
    EXPECT_NE(Value(), Value::null());
    EXPECT_NE(Value::date(1), Value(1.0));
    EXPECT_EQ(Value::data({1, 2}), Value::data({1, 2}));
    EXPECT_NE(Value::data({1, 2}), Value::data({1, 3}));
}

TEST(ValueEquality, ContainersCompareStructurally) {
    Value a = Value::dictionary({{"b", 2}, {"a", Value::array({1, "x"})}});
    Value b = Value::dictionary();
    b.setObject(Value::array({1.0, "x"}), "a");
    b.setObject(2.0, "b");
    EXPECT_EQ(a, b);
    b.objectForKey("a").addObject(3);
    EXPECT_NE(a, b);
    EXPECT_NE(Value::array({1, 2}), Value::array({2, 1}));
    EXPECT_NE(Value::dictionary({{"a", 1}}), Value::dictionary({{"b", 1}}));
}

TEST(ValueContainers, DictionaryKeysAreSortedAndNilRemoves) {
    Value d = Value::dictionary({{"zeta", 1}, {"alpha", 2}, {"Mid", 3}, {"gone", Value()}});
    EXPECT_EQ(d.allKeys(), (std::vector<std::string>{"Mid", "alpha", "zeta"}));
    EXPECT_EQ(d.count(), 3u);
    d.setObject("new", "alpha");
    EXPECT_EQ(d["alpha"].stringValue(), "new");
    d.setObject(Value(), "alpha");
    EXPECT_TRUE(d.objectForKey("alpha").isNil());
    EXPECT_EQ(d.count(), 2u);
    d.setObject(Value::null(), "n");  // NSNull is a value, not a removal
    EXPECT_TRUE(d["n"].isNull());
    d.removeObjectForKey("zeta");
    EXPECT_EQ(d.allKeys(), (std::vector<std::string>{"Mid", "n"}));
    d.removeAllObjects();
    EXPECT_EQ(d.count(), 0u);
}

TEST(ValueContainers, ArrayEditing) {
    Value a = Value::array({1, 2});
    a.addObject("three");
    a.insertObject(0, 0);
    a.insertObject("end", 99);  // past the end appends
    ASSERT_EQ(a.count(), 5u);
    EXPECT_EQ(a[size_t{0}].intValue(), 0);  // a literal 0 would also convert to const char*
    EXPECT_EQ(a[4].stringValue(), "end");
    EXPECT_TRUE(a[5].isNil());
    a.removeObjectAtIndex(1);
    a.removeObjectAtIndex(42);
    EXPECT_EQ(a, Value::array({0, 2, "three", "end"}));
}

TEST(ValueContainers, NonContainersIgnoreWritesAndAnswerNil) {
    Value s("text");
    s.setObject(1, "k");
    s.addObject(1);
    s.removeAllObjects();
    EXPECT_EQ(s.stringValue(), "text");
    EXPECT_EQ(s.count(), 4u);  // strings count their bytes
    EXPECT_TRUE(s["k"].isNil());
    EXPECT_TRUE(Value()["a"]["b"][size_t{0}].isNil());
    EXPECT_TRUE(Value::array({1})["key"].isNil());
    EXPECT_TRUE(Value(5).stringValue().empty());
    EXPECT_TRUE(Value("ab").dataValue().empty());
}

TEST(ValueContainers, CopiesShareAndDeepCopiesDoNot) {
    Value inner = Value::array({1});
    Value d = Value::dictionary({{"list", inner}});
    Value shared = d;
    EXPECT_TRUE(shared.isSameContainer(d));
    shared.setObject(2, "added");
    EXPECT_EQ(d["added"].intValue(), 2);
    d["list"].addObject(2);  // the stored array is the same container as `inner`
    EXPECT_EQ(inner.count(), 2u);

    Value deep = d.deepCopy();
    EXPECT_FALSE(deep.isSameContainer(d));
    EXPECT_FALSE(deep["list"].isSameContainer(inner));
    EXPECT_EQ(deep, d);
    deep.setObject(3, "onlyDeep");
    deep["list"].addObject(3);
    EXPECT_TRUE(d["onlyDeep"].isNil());
    EXPECT_EQ(inner.count(), 2u);
    EXPECT_FALSE(Value("a").isSameContainer(Value("a")));
}

TEST(ValueDescription, Scalars) {
    EXPECT_EQ(Value().description(), "(null)");
    EXPECT_EQ(Value::null().description(), "<null>");
    EXPECT_EQ(Value(true).description(), "1");
    EXPECT_EQ(Value(false).description(), "0");
    EXPECT_EQ(Value(-42).description(), "-42");
    EXPECT_EQ(Value(0.1).description(), "0.1");
    EXPECT_EQ(Value(1.0).description(), "1");
    EXPECT_EQ(Value(42.5).description(), "42.5");
    EXPECT_EQ(Value(1.0 / 3).description(), "0.3333333333333333");
    EXPECT_EQ(std::stod(Value(0.1 + 0.2).description()), 0.1 + 0.2);
    EXPECT_EQ(Value("plain text").description(), "plain text");
    EXPECT_EQ(Value::data({0x01, 0xab, 0x02, 0x03, 0xff}).description(), "<01ab0203 ff>");
    EXPECT_EQ(Value::date(0).description(), "1970-01-01 00:00:00 +0000");
    EXPECT_EQ(Value::date(-0.5).description(), "1969-12-31 23:59:59 +0000");
}

TEST(ValueDescription, ContainersUsePropertyListStyleInKeyOrder) {
    EXPECT_EQ(Value::array({1, "two words", "word"}).description(),
              "(\n    1,\n    \"two words\",\n    word\n)");
    EXPECT_EQ(Value::dictionary({{"b", "x"}, {"a key", 1}}).description(),
              "{\n    \"a key\" = 1;\n    b = x;\n}");
}

}  // namespace
