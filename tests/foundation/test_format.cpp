#include "platform/foundation/Format.h"

#include <gtest/gtest.h>

#include <optional>

using platform::Error;
using platform::format;
using platform::substituteObjects;
using platform::Value;

namespace {

TEST(Format, ObjectPlaceholdersUseDescriptions) {
    EXPECT_EQ(format("%@ / %@ / %@", Value("s"), Value(), Value::null()), "s / (null) / <null>");
    EXPECT_EQ(format("[%@]", Value(true)), "[1]");
    EXPECT_EQ(format("%@ %@", std::string("str"), "cstr"), "str cstr");
    EXPECT_EQ(format("%@|%@", 7, 0.1), "7|0.1");
    EXPECT_EQ(format("%@", Error("D", 4, "bad")), "Error Domain=D Code=4 \"bad\"");
    EXPECT_EQ(format("%@", platform::OptionalError()), "(null)");
    EXPECT_EQ(format("%@", static_cast<const char*>(nullptr)), "(null)");
}

TEST(Format, PrintfConversionsAreTypeSafe) {
    EXPECT_EQ(format("%.2f", 42.5), "42.50");
    EXPECT_EQ(format("%5s|%-5s|", "ab", "cd"), "   ab|cd   |");
    EXPECT_EQ(format("%.3s", "abcdef"), "abc");
    EXPECT_EQ(format("%05d %+d %x %X %o", 42, 5, 255, 255u, 8), "00042 +5 ff FF 10");
    EXPECT_EQ(format("%ld %lld %zu %hhd", 1L, -9223372036854775807LL - 1, size_t{3}, 4),
              "1 -9223372036854775808 3 4");
    EXPECT_EQ(format("%llu", 18446744073709551615ull), "18446744073709551615");
    EXPECT_EQ(format("%c%c", 'o', 'k'), "ok");
    EXPECT_EQ(format("%f", 3), "3.000000");        // an int for a double conversion
    EXPECT_EQ(format("%d", 7.9), "7");             // a double for an int conversion
    EXPECT_EQ(format("%s|%s", 12, Value(1.5)), "12|1.5");
    EXPECT_EQ(format("%g", 0.0001), "0.0001");
    EXPECT_EQ(format("%s", std::string_view("view")), "view");
}

TEST(Format, PositionalPercentAndOddEndings) {
    EXPECT_EQ(format("%2$@ %1$@", "a", "b"), "b a");
    EXPECT_EQ(format("%1$@%1$@", "x"), "xx");
    EXPECT_EQ(format("%2$d-%1$.1f", 1.25, 9), "9-1.2");
    EXPECT_EQ(format("100%% sure"), "100% sure");
    EXPECT_EQ(format("50%"), "50%");
    EXPECT_EQ(format("tail %.2l"), "tail %.2l");
    EXPECT_EQ(format("%y!"), "%y!");  // unknown conversion stays text
    EXPECT_EQ(format("%n"), "%n");    // never writes through an argument
}

TEST(Format, MissingArgumentsAreEmptyAndExtrasIgnored) {
    EXPECT_EQ(format("a%@b"), "ab");
    EXPECT_EQ(format("%d,%d,%s", 1), "1,,");
    EXPECT_EQ(format("%3$@|", "a"), "|");
    EXPECT_EQ(format("%0$@|", "a"), "|");
    EXPECT_EQ(format("only", 1, 2, "three"), "only");
    // A position no argument can have is just a missing argument.
    std::string huge = "threw";
    EXPECT_NO_THROW(huge = format("%99999999999999999999$@|", "a"));
    EXPECT_EQ(huge, "|");
}

TEST(Format, WideFieldsAreNotCutShort) {
    EXPECT_EQ(format("%600d", 1).size(), 600u);
    EXPECT_EQ(format("%.600f", 1.0).size(), 602u);
    EXPECT_EQ(format("%600s", "ab").size(), 600u);
    std::string long_text(5000, 'q');
    EXPECT_EQ(format("<%@>", long_text), "<" + long_text + ">");
    EXPECT_EQ(format("%s", long_text), long_text);
}

TEST(SubstituteObjects, OnlyObjectPlaceholdersAreInterpreted) {
    EXPECT_EQ(substituteObjects("50%d %s %n %@", {"x"}), "50%d %s %n x");
    EXPECT_EQ(substituteObjects("%5@ %ls %1$s %.2f", {"x"}), "%5@ %ls %1$s %.2f");
    EXPECT_EQ(substituteObjects("100%% of %@", {"it"}), "100% of it");
    EXPECT_EQ(substituteObjects("ends with %", {}), "ends with %");
    EXPECT_EQ(substituteObjects("ends with %1$", {"x"}), "ends with %1$");
    // Objects are inserted as they are, never scanned again.
    EXPECT_EQ(substituteObjects("%@ and %@", {"%@ %s", "b"}), "%@ %s and b");
}

TEST(SubstituteObjects, OrderPositionsAndMissingObjects) {
    EXPECT_EQ(substituteObjects("%@, %@", {"a", "b", "c"}), "a, b");
    EXPECT_EQ(substituteObjects("%2$@ %1$@", {"a", "b"}), "b a");
    EXPECT_EQ(substituteObjects("%@ %@", {"a"}), "a (null)");
    EXPECT_EQ(substituteObjects("%3$@|%0$@", {"a"}), "(null)|(null)");
    EXPECT_EQ(substituteObjects("%10$@", {"1", "2", "3", "4", "5", "6", "7", "8", "9", "ten"}), "ten");
    EXPECT_EQ(substituteObjects("", {"a"}), "");
}

}  // namespace
