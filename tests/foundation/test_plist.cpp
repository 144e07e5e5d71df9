#include <gtest/gtest.h>

#include <plist/plist.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/PropertyList.h"

using platform::Error;
using platform::PropertyList;
using platform::Value;

namespace {

constexpr double kDate2001 = 978307200.0;

Value::Bytes bytesOf(const std::string& s) { return Value::Bytes(s.begin(), s.end()); }

// The same tree in libplist's binary form, built independently of the code
// under test.
Value::Bytes binaryPlist() {
    std::unique_ptr<void, void (*)(plist_t)> root(plist_new_dict(), plist_free);
    plist_dict_set_item(root.get(), "name", plist_new_string("Installer \xe2\x82\xac"));
    plist_dict_set_item(root.get(), "count", plist_new_uint(42));
    plist_dict_set_item(root.get(), "negative", plist_new_uint(static_cast<uint64_t>(-5)));
    plist_dict_set_item(root.get(), "ratio", plist_new_real(0.25));
    plist_dict_set_item(root.get(), "enabled", plist_new_bool(1));
    plist_dict_set_item(root.get(), "when", plist_new_date(100, 500000));  // 2001-01-01 00:01:40.5
    plist_dict_set_item(root.get(), "before", plist_new_date(-10, -500000));
    plist_dict_set_item(root.get(), "blob", plist_new_data("\x00\x01\xff", 3));
    plist_t list = plist_new_array();
    plist_array_append_item(list, plist_new_string("a"));
    plist_array_append_item(list, plist_new_dict());
    plist_dict_set_item(root.get(), "list", list);
    char* raw = nullptr;
    uint32_t length = 0;
    plist_to_bin(root.get(), &raw, &length);
    Value::Bytes bytes(raw, raw + length);
    plist_to_bin_free(raw);
    return bytes;
}

// A binary list of `depth` arrays each holding the next, with 4-byte
// offsets and references; `cyclic` makes the innermost hold the outermost.
Value::Bytes nestedBinaryPlist(uint32_t depth, bool cyclic = false) {
    auto put32 = [](Value::Bytes& out, uint64_t v) {
        for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
    };
    Value::Bytes out = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
    std::vector<uint64_t> offsets;
    for (uint32_t i = 0; i < depth; ++i) {
        offsets.push_back(out.size());
        bool last = i + 1 == depth;
        if (last && !cyclic) {
            out.push_back(0xA0);
        } else {
            out.push_back(0xA1);
            put32(out, last ? 0 : i + 1);
        }
    }
    uint64_t table = out.size();
    for (uint64_t offset : offsets) put32(out, offset);
    Value::Bytes trailer(32, 0);
    trailer[6] = 4;
    trailer[7] = 4;
    for (int k = 0; k < 8; ++k) {
        trailer[8 + k] = static_cast<uint8_t>(uint64_t(depth) >> (56 - 8 * k));
        trailer[24 + k] = static_cast<uint8_t>(table >> (56 - 8 * k));
    }
    out.insert(out.end(), trailer.begin(), trailer.end());
    return out;
}

struct TempFile {
    std::string path;
    TempFile() {
        char pattern[] = "/tmp/zel-plist-XXXXXX";
        int fd = mkstemp(pattern);
        if (fd >= 0) close(fd);
        path = pattern;
    }
    ~TempFile() { unlink(path.c_str()); }
};

}  // namespace

TEST(PropertyListReading, BinaryWithAllKinds) {
    Error error;
    Value v = PropertyList::read(binaryPlist(), &error);
    ASSERT_TRUE(v.isDictionary()) << error.localizedDescription;
    EXPECT_EQ(v["name"].stringValue(), "Installer \xe2\x82\xac");
    EXPECT_TRUE(v["count"].isInteger());
    EXPECT_EQ(v["count"].longLongValue(), 42);
    EXPECT_EQ(v["negative"].longLongValue(), -5);
    EXPECT_TRUE(v["ratio"].isFloat());
    EXPECT_DOUBLE_EQ(v["ratio"].doubleValue(), 0.25);
    EXPECT_TRUE(v["enabled"].isBoolean());
    EXPECT_TRUE(v["enabled"].boolValue());
    ASSERT_TRUE(v["when"].isDate());
    EXPECT_DOUBLE_EQ(v["when"].dateValue(), kDate2001 + 100.5);
    EXPECT_DOUBLE_EQ(v["before"].dateValue(), kDate2001 - 10.5);
    EXPECT_EQ(v["blob"].dataValue(), (Value::Bytes{0x00, 0x01, 0xff}));
    ASSERT_EQ(v["list"].count(), 2u);
    EXPECT_TRUE(v["list"][1].isDictionary());
}

TEST(PropertyListReading, XMLWithDatesAndData) {
    const std::string xml = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>CFBundleIdentifier</key><string>com.example.installer</string>
  <key>Launched</key><date>1970-01-01T00:00:10Z</date>
  <key>Icon</key><data>aGVsbG8=</data>
  <key>Retries</key><integer>-3</integer>
  <key>Scale</key><real>1.5</real>
  <key>Off</key><false/>
  <key>Items</key><array><string>x &amp; y</string><integer>7</integer></array>
</dict>
</plist>)";
    Value v = PropertyList::read(bytesOf(xml));
    ASSERT_TRUE(v.isDictionary());
    EXPECT_EQ(v["CFBundleIdentifier"].stringValue(), "com.example.installer");
    ASSERT_TRUE(v["Launched"].isDate());
    EXPECT_DOUBLE_EQ(v["Launched"].dateValue(), 10.0);
    EXPECT_EQ(v["Icon"].dataValue(), bytesOf("hello"));
    EXPECT_EQ(v["Retries"].longLongValue(), -3);
    EXPECT_TRUE(v["Scale"].isFloat());
    EXPECT_TRUE(v["Off"].isBoolean());
    EXPECT_FALSE(v["Off"].boolValue());
    EXPECT_EQ(v["Items"][0].stringValue(), "x & y");
}

TEST(PropertyListReading, GarbageGivesNilAndError) {
    for (const std::string& bad : {std::string(), std::string("garbage"), std::string("<plist><dict><key>a</key>"),
                                  std::string("bplist00\x01\x02\x03", 11), std::string("bplist00")}) {
        Error error;
        EXPECT_TRUE(PropertyList::read(bytesOf(bad), &error).isNil()) << bad;
        EXPECT_EQ(error.domain, "NSCocoaErrorDomain");
        EXPECT_EQ(error.code, 3840);
    }
    // Every truncation of a valid binary list is handled.
    Value::Bytes good = binaryPlist();
    for (size_t n = 1; n < good.size(); ++n) {
        PropertyList::read(Value::Bytes(good.begin(), good.begin() + static_cast<long>(n)));
    }
}

TEST(PropertyListReading, DeepOrCyclicBinaryIsRefusedNotOverflowed) {
    Value ok = PropertyList::read(nestedBinaryPlist(100));
    ASSERT_TRUE(ok.isArray());
    EXPECT_TRUE(ok[0][0][0].isArray());
    for (uint32_t depth : {1000u, 200000u}) {
        Error error;
        EXPECT_TRUE(PropertyList::read(nestedBinaryPlist(depth), &error).isNil()) << depth;
        EXPECT_EQ(error.code, 3840);
    }
    EXPECT_TRUE(PropertyList::read(nestedBinaryPlist(3, true)).isNil());
}

TEST(PropertyListReading, LargeBinaryContainers) {
    // More than 14 entries: the count is stored as a separate integer.
    std::unique_ptr<void, void (*)(plist_t)> root(plist_new_dict(), plist_free);
    plist_t list = plist_new_array();
    for (int i = 0; i < 300; ++i) plist_array_append_item(list, plist_new_uint(static_cast<uint64_t>(i)));
    for (int i = 0; i < 20; ++i) plist_dict_set_item(root.get(), ("k" + std::to_string(i)).c_str(), plist_new_bool(1));
    plist_dict_set_item(root.get(), "list", list);
    char* raw = nullptr;
    uint32_t length = 0;
    plist_to_bin(root.get(), &raw, &length);
    Value::Bytes bytes(raw, raw + length);
    plist_to_bin_free(raw);
    Value v = PropertyList::read(bytes);
    ASSERT_TRUE(v.isDictionary());
    EXPECT_EQ(v.count(), 21u);
    ASSERT_EQ(v["list"].count(), 300u);
    EXPECT_EQ(v["list"][299].longLongValue(), 299);
}

TEST(PropertyListWriting, XMLRoundTrip) {
    Value original = Value::dictionary({
        {"text", "a <b> & \"c\" \xc3\xa9"}, {"int", 12}, {"neg", -9}, {"big", 0x8000000000000001ull},
        {"float", 0.1}, {"yes", true}, {"no", false},
        {"date", Value::date(kDate2001 + 3600)}, {"old", Value::date(86400.0)},
        {"data", Value::data("\x00\x10\x20", 3)},
        {"list", Value::array({1, "two", Value::array()})}, {"empty", Value::dictionary()},
    });
    Error error;
    std::string xml = PropertyList::writeXML(original, &error);
    ASSERT_FALSE(xml.empty()) << error.localizedDescription;
    EXPECT_NE(xml.find("<plist"), std::string::npos);
    Value back = PropertyList::read(bytesOf(xml), &error);
    ASSERT_TRUE(back.isDictionary()) << error.localizedDescription;
    EXPECT_TRUE(back.isEqual(original)) << back.description();
    EXPECT_TRUE(back["int"].isInteger());
    EXPECT_TRUE(back["float"].isFloat());
    EXPECT_TRUE(back["yes"].isBoolean());
    EXPECT_TRUE(back["date"].isDate());
    EXPECT_EQ(back["big"].unsignedLongLongValue(), 0x8000000000000001ull);
}

TEST(PropertyListWriting, UnwritableValues) {
    for (const Value& bad : {Value(), Value::null(), Value::array({Value::null()}),
                             Value::dictionary({{"k", Value::array({Value::null()})}}),
                             Value::array({std::string("a\0b", 3)}), Value::array({Value::date(1e12)})}) {
        Error error;
        EXPECT_EQ(PropertyList::writeXML(bad, &error), "") << bad.description();
        EXPECT_EQ(error.domain, "NSCocoaErrorDomain");
        EXPECT_EQ(error.code, 3851);
    }
    Value cycle = Value::array();
    cycle.addObject(cycle);
    Error error;
    EXPECT_EQ(PropertyList::writeXML(cycle, &error), "");
    EXPECT_EQ(error.code, 3851);
    cycle.removeAllObjects();
}

TEST(PropertyListFiles, WriteReadAndDictionaryOnly) {
    TempFile file;
    Value dict = Value::dictionary({{"k", "v"}});
    Error error;
    ASSERT_TRUE(PropertyList::writeXMLFile(dict, file.path, &error)) << error.localizedDescription;
    EXPECT_TRUE(PropertyList::readFile(file.path).isEqual(dict));
    EXPECT_TRUE(PropertyList::dictionaryWithContentsOfFile(file.path).isEqual(dict));

    ASSERT_TRUE(PropertyList::writeXMLFile(Value::array({1}), file.path));
    EXPECT_TRUE(PropertyList::readFile(file.path).isArray());
    EXPECT_TRUE(PropertyList::dictionaryWithContentsOfFile(file.path).isNil());

    EXPECT_TRUE(PropertyList::readFile("/nonexistent/zel/file.plist", &error).isNil());
    EXPECT_EQ(error.code, 260);
    EXPECT_TRUE(PropertyList::dictionaryWithContentsOfFile("/nonexistent/zel/file.plist").isNil());
}
