// Outside text shown in a terminal or written to a log.
#include <gtest/gtest.h>

#include <string>

#include "platform/foundation/DisplayText.h"

using platform::displayableText;

TEST(DisplayText, ControlCharactersOfEveryKindBecomeSpaces) {
    EXPECT_EQ(displayableText("a\x1b[2Jb"), "a [2Jb");            // ESC (C0)
    EXPECT_EQ(displayableText("a\x7f" "b"), "a b");                // DEL
    EXPECT_EQ(displayableText("a\xc2\x9b" "31mb"), "a 31mb");      // U+009B, CSI as a C1 code point
    EXPECT_EQ(displayableText("a\xc2\x85" "b"), "a b");            // U+0085, next line
    EXPECT_EQ(displayableText("tab\there\r\n"), "tab here  ");
    EXPECT_EQ(displayableText("line\nnext", true), "line\nnext");
    EXPECT_EQ(displayableText("line\r\nnext", true), "line \nnext");
}

TEST(DisplayText, BytesThatAreNotUTF8BecomeReplacementCharacters) {
    const std::string replacement = "\xEF\xBF\xBD";
    EXPECT_EQ(displayableText("a\x9b" "31mb"), "a" + replacement + "31mb");  // a lone 8-bit CSI
    EXPECT_EQ(displayableText("\xc0\xaf"), replacement + replacement);      // overlong "/"
    EXPECT_EQ(displayableText("\xed\xa0\x80"), replacement + replacement + replacement);  // a surrogate
    EXPECT_EQ(displayableText("cut \xe2\x82"), "cut " + replacement + replacement);
}

TEST(DisplayText, ReadableTextIsKeptByteForByte) {
    const std::string text = "Demo Product – 1.0 für Ängstliche 日本語 😀 (100%)";
    EXPECT_EQ(displayableText(text), text);
    EXPECT_EQ(displayableText("\xc2\xa0" "nbsp"), "\xc2\xa0" "nbsp");  // U+00A0 is not a control
}
