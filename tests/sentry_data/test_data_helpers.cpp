// Error construction, UTF-8 appending and URL escaping.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "platform/foundation/Value.h"
#include "sentry/DataAppendUTF8.h"
#include "sentry/DataError.h"
#include "sentry/DataURLEncode.h"

using namespace std::string_literals;

namespace {
std::string textOf(const platform::Value::Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }
}  // namespace

TEST(DataError, ErrorWithDomainFormatsTheDescription) {
    const platform::Error e = errorWithDomain("MyDomain", -12, "Failed %d times: %@ / %s", 3, std::string("why"), "c");
    EXPECT_EQ(e.domain, "MyDomain");
    EXPECT_EQ(e.code, -12);
    EXPECT_EQ(e.localizedDescription, "Failed 3 times: why / c");

    const platform::Error inner("Inner", 1, "inner text");
    const platform::Error wrapped = errorWithDomain("Outer", 2, "wrapped: %@", inner);
    EXPECT_EQ(wrapped.localizedDescription, "wrapped: " + inner.description());

    // A "%" in an argument is data, not a conversion.
    EXPECT_EQ(errorWithDomain("D", 0, "%@", std::string("100% %s %n")).localizedDescription, "100% %s %n");
    EXPECT_EQ(errorWithDomain("D", 0, nullptr).localizedDescription, "");
}

TEST(DataError, FillAndClearAlwaysAnswerFalse) {
    // No slot: nothing to store, still false.
    EXPECT_FALSE(fillError(nullptr, "D", 1, "text %d", 5));
    EXPECT_FALSE(clearError(nullptr));

    platform::OptionalError slot;
    EXPECT_FALSE(fillError(&slot, "Domain", 42, "bad %@", std::string("thing")));
    ASSERT_TRUE(slot.has_value());
    EXPECT_EQ(slot->domain, "Domain");
    EXPECT_EQ(slot->code, 42);
    EXPECT_EQ(slot->localizedDescription, "bad thing");

    // A second fill replaces the first.
    EXPECT_FALSE(fillError(&slot, "Other", 1, "second"));
    EXPECT_EQ(slot->domain, "Other");
    EXPECT_EQ(slot->localizedDescription, "second");

    EXPECT_FALSE(clearError(&slot));
    EXPECT_FALSE(slot.has_value());
}

TEST(DataAppendUTF8, AppendsUpToTheFirstNul) {
    platform::Value::Bytes data = {'>', ' '};
    appendUTF8String(data, "h\xC3\xA9llo");
    EXPECT_EQ(textOf(data), "> h\xC3\xA9llo");

    appendUTF8String(data, "ab\0cd"s);
    EXPECT_EQ(textOf(data), "> h\xC3\xA9lloab");

    appendUTF8String(data, "\0tail"s);
    appendUTF8String(data, "");
    EXPECT_EQ(textOf(data), "> h\xC3\xA9lloab");
}

TEST(DataAppendUTF8, FormatAppendsTheFormattedText) {
    platform::Value::Bytes data;
    appendUTF8Format(data, "%s=%d;", "count", 12);
    appendUTF8Format(data, "[%@]", platform::Value(std::string("v")));
    appendUTF8Format(data, "%@", std::string("cut\0off", 7));
    EXPECT_EQ(textOf(data), "count=12;[" + platform::Value(std::string("v")).description() + "]cut");
}

TEST(DataURLEncode, EscapesWhatAURLCannotHold) {
    EXPECT_EQ(URLEncoded(""), "");
    EXPECT_EQ(URLEncoded("plain-Text_0.9~"), "plain-Text_0.9~");
    EXPECT_EQ(URLEncoded("a b"), "a%20b");
    EXPECT_EQ(URLEncoded("100%"), "100%25");
    EXPECT_EQ(URLEncoded("\"<>\\^`{|}"), "%22%3C%3E%5C%5E%60%7B%7C%7D");
    EXPECT_EQ(URLEncoded("tab\tnl\ndel\x7f"), "tab%09nl%0Adel%7F");
    EXPECT_EQ(URLEncoded("nul\0x"s), "nul%00x");
    // UTF-8 bytes, uppercase hex.
    EXPECT_EQ(URLEncoded("caf\xC3\xA9 \xE2\x82\xAC"), "caf%C3%A9%20%E2%82%AC");
}

TEST(DataURLEncode, LeavesDelimitersAsTheyAre) {
    const std::string delimiters = "/?&=:#@+,;$!*'()[]~-._";
    EXPECT_EQ(URLEncoded(delimiters), delimiters);
    EXPECT_EQ(URLEncoded("mailto:me@example.com?subject=Crash report&body=a+b"),
              "mailto:me@example.com?subject=Crash%20report&body=a+b");
    // Every byte either stays or becomes exactly one %XX.
    std::string all;
    for (int c = 0; c < 256; c++) all += static_cast<char>(c);
    const std::string encoded = URLEncoded(all);
    size_t kept = 0;
    for (int c = 0; c < 256; c++) {
        if (isalnum(c) || delimiters.find(static_cast<char>(c)) != std::string::npos) kept++;
    }
    EXPECT_EQ(kept, 62u + delimiters.size());
    EXPECT_EQ(encoded.size(), kept + 3 * (256 - kept));
}
