#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/PropertyList.h"

using platform::Bundle;
using platform::FileManager;
using platform::PropertyList;
using platform::Value;

namespace {

class BundleTest : public ::testing::Test {
protected:
    std::string root;

    void SetUp() override {
        char pattern[] = "/tmp/zel-bundle-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        ASSERT_TRUE(FileManager::defaultManager().createDirectoryAtPath(root + "/Resources", false));
        Value info = Value::dictionary({{"CFBundleIdentifier", "com.example.WebInstaller"},
                                        {"CFBundleExecutable", "WebInstaller"},
                                        {"CFBundleShortVersionString", "1.2"}});
        ASSERT_TRUE(PropertyList::writeXMLFile(info, root + "/Info.plist"));
        Value strings = Value::dictionary({{"Install", "Install it"}, {"Quit", "Quit now"}});
        ASSERT_TRUE(PropertyList::writeXMLFile(strings, root + "/Resources/translations_gb.plist"));
        touch(root + "/Resources/logo.png");
        touch(root + "/Resources/feed.json");
        touch(root + "/Resources/README");
        touch(root + "/Resources/banner.svg");
    }

    void TearDown() override { FileManager::defaultManager().removeItemAtPath(root); }

    static void touch(const std::string& path) { std::ofstream(path) << "x"; }
};

}  // namespace

TEST_F(BundleTest, InfoDictionary) {
    Bundle bundle(root);
    EXPECT_EQ(bundle.bundlePath(), root);
    EXPECT_EQ(bundle.resourcePath(), root + "/Resources");
    EXPECT_EQ(bundle.bundleIdentifier(), "com.example.WebInstaller");
    EXPECT_EQ(bundle.objectForInfoDictionaryKey("CFBundleShortVersionString").stringValue(), "1.2");
    EXPECT_EQ(bundle.executablePath(), root + "/WebInstaller");

    // Read again only on request.
    ASSERT_TRUE(PropertyList::writeXMLFile(Value::dictionary({{"CFBundleIdentifier", "b"}}), root + "/Info.plist"));
    EXPECT_EQ(bundle.bundleIdentifier(), "com.example.WebInstaller");
    bundle.reloadInfoDictionary();
    EXPECT_EQ(bundle.bundleIdentifier(), "b");

    // A missing or broken Info.plist gives an empty dictionary.
    std::ofstream(root + "/Info.plist") << "not a plist";
    bundle.reloadInfoDictionary();
    EXPECT_TRUE(bundle.infoDictionary().isDictionary());
    EXPECT_EQ(bundle.infoDictionary().count(), 0u);
    EXPECT_EQ(bundle.bundleIdentifier(), "");
}

TEST_F(BundleTest, Resources) {
    auto bundle = Bundle::bundleWithPath(root + "/");
    ASSERT_TRUE(bundle);
    EXPECT_EQ(bundle->bundlePath(), root);
    EXPECT_EQ(bundle->pathForResource("feed", "json"), root + "/Resources/feed.json");
    EXPECT_EQ(bundle->pathForResource("feed", ".json"), root + "/Resources/feed.json");
    EXPECT_EQ(bundle->pathForResource("README", ""), root + "/Resources/README");
    EXPECT_FALSE(bundle->pathForResource("feed", "xml"));
    EXPECT_FALSE(bundle->pathForResource("../Info", "plist"));

    EXPECT_EQ(bundle->pathForImageResource("logo"), root + "/Resources/logo.png");
    EXPECT_EQ(bundle->pathForImageResource("logo.png"), root + "/Resources/logo.png");
    EXPECT_EQ(bundle->pathForImageResource("banner"), root + "/Resources/banner.svg");
    EXPECT_FALSE(bundle->pathForImageResource("missing"));

    EXPECT_FALSE(Bundle::bundleWithPath(root + "/nope"));
}

TEST_F(BundleTest, LocalizedStringFallbacks) {
    Bundle bundle(root);
    EXPECT_EQ(bundle.localizedString("Install", "", "translations_gb"), "Install it");
    EXPECT_EQ(bundle.localizedString("Missing", "Fallback", "translations_gb"), "Fallback");
    EXPECT_EQ(bundle.localizedString("Missing", "", "translations_gb"), "Missing");
    EXPECT_EQ(bundle.localizedString("Install", "", "no_such_table"), "Install");
    EXPECT_EQ(bundle.localizedString("Install"), "Install");  // no Localizable.plist

    ASSERT_TRUE(PropertyList::writeXMLFile(Value::dictionary({{"Install", "Default table"}}),
                                           root + "/Resources/Localizable.plist"));
    EXPECT_EQ(bundle.localizedString("Install"), "Default table");

    // A table that changes on disk is read again.
    ASSERT_TRUE(PropertyList::writeXMLFile(Value::dictionary({{"Install", "Changed text, longer"}}),
                                           root + "/Resources/translations_gb.plist"));
    EXPECT_EQ(bundle.localizedString("Install", "", "translations_gb"), "Changed text, longer");
}

TEST_F(BundleTest, MainBundleReplacement) {
    Bundle& main = Bundle::mainBundle();
    std::string original = main.bundlePath();
    EXPECT_FALSE(original.empty());
    Bundle::setMainBundlePath(root);
    EXPECT_EQ(&Bundle::mainBundle(), &main);  // references stay valid
    EXPECT_EQ(main.bundleIdentifier(), "com.example.WebInstaller");
    // The main bundle's executable is this process, whatever its folder says.
    EXPECT_NE(main.executablePath().find("test_foundation"), std::string::npos);
    Bundle::setMainBundlePath(original);
    EXPECT_EQ(Bundle::mainBundle().bundlePath(), original);
}
