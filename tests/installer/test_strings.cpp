#include <gtest/gtest.h>

#include "InstallerTestSupport.h"
#include "installer/ZELStrings.h"

using namespace zeltest;
using platform::Value;

TEST(ZELStrings, PicksTheTableNamedByLangInLowerCase) {
    TestBundle bundle({{"LANG", "FR"}}, {{"gb", {{"loading", "Loading"}}}, {"fr", {{"loading", "Chargement"}}}});
    EXPECT_EQ(ZELStrings().loadingString(), Value("Chargement"));

    TestBundle region({{"LANG", "EN_US"}}, {{"en_us", {{"loading", "Loading (US)"}}}});
    EXPECT_EQ(ZELStrings().loadingString(), Value("Loading (US)"));
}

TEST(ZELStrings, DefaultsToGbAndHasNoTextsWithoutATable) {
    TestBundle bundle({}, {{"gb", {{"loading", "Loading"}}}});
    EXPECT_EQ(ZELStrings().loadingString(), Value("Loading"));

    TestBundle missing({{"LANG", "de"}}, {{"gb", {{"loading", "Loading"}}}});
    ZELStrings strings;
    EXPECT_TRUE(strings.translations().isNil());
    EXPECT_TRUE(strings.loadingString().isNil());
    EXPECT_TRUE(strings.downloadingStringWithProduct(Value("X")).isNil());
    EXPECT_TRUE(strings.errorBodyWithError(platform::Error("d", 1, "boom")).isNil());
}

TEST(ZELStrings, FillsThePlaceholderWithTheProductOrTheErrorText) {
    TestBundle bundle({}, {{"gb", englishTexts()}});
    ZELStrings strings;
    EXPECT_EQ(strings.downloadingStringWithProduct(Value("Viewer - 2.1")), Value("Downloading Viewer - 2.1"));
    EXPECT_EQ(strings.installedStringWithProduct(Value("Viewer")), Value("Installed Viewer"));
    // The localised description, not the full description.
    EXPECT_EQ(strings.errorBodyWithError(platform::Error("NSURLErrorDomain", -1004, "Could not connect")),
              Value("Failed: Could not connect"));
    EXPECT_EQ(strings.errorQuitButton(), Value("Quit"));  // read from "errorQuit"
}

TEST(ZELStrings, TranslationTextIsNeverAPrintfFormat) {
    TestBundle bundle({}, {{"gb", {{"downloading", "%s%n%d 100%% of %@ %x"}}}});
    EXPECT_EQ(ZELStrings().downloadingStringWithProduct(Value("App")), Value("%s%n%d 100% of App %x"));
}
