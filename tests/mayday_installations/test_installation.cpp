// The installation base: key paths, validation, the field records, the
// alerts and refused sends, and (in forked children, with the real recorder)
// the fields crash reports carry and the reports a send deletes.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <stdexcept>
#include <thread>

#include "Mayday/Installations/MaydayInstallation.h"
#include "Mayday/Recording/Mayday.h"
#include "Mayday/Reporting/Filters/MaydayReportFilterAlert.h"
#include "platform/foundation/Bundle.h"
#include "tests/support/CrashCases.h"
#include "tests/support/ReportFiles.h"
#include "tests/support/StdoutCapture.h"
#include "tests/support/TempDir.h"

using platform::Value;

namespace {

class TestInstallation : public MaydayInstallation {
public:
    explicit TestInstallation(std::vector<std::string> required = {}) : MaydayInstallation(std::move(required)) {}
    std::map<std::string, Value> properties;
    std::shared_ptr<MaydayReportFilter> finalFilter;
    std::shared_ptr<MaydayReportFilter> sink() override { return finalFilter; }

protected:
    Value valueForProperty(const std::string& name) const override { return properties.at(name); }
    std::string className() const override { return "TestInstallation"; }
};

// A caches directory and a bundle for a child's recorder.
struct Sandbox {
    zeltest::TempDir caches, bundle;
    Sandbox() {
        zeltest::writeFile(bundle.file("Info.plist"), "<plist version=\"1.0\"><dict><key>CFBundleName</key>"
                                                      "<string>InstallTest</string></dict></plist>\n");
    }
    void enter() const {
        setenv("XDG_CACHE_HOME", caches.path().c_str(), 1);
        platform::Bundle::setMainBundlePath(bundle.path());
    }
    std::vector<Value> reports() const {
        std::vector<Value> reports;
        const std::string dir = caches.path() + "/Mayday/InstallTest/Reports/";
        for (const std::string& name : zeltest::filesIn(dir))
            reports.push_back(zeltest::decodeReport(zeltest::readFile(dir + name)));
        return reports;
    }
    Value userSection() const {
        const std::vector<Value> all = reports();
        return all.size() == 1 ? all[0]["user"] : Value();
    }
};

TEST(InstallationKeyPaths, UserInFrontUnlessRootedOrEmpty) {
    EXPECT_EQ(MaydayInstallation::makeKeyPath("/crash/error"), "/crash/error");
    EXPECT_EQ(MaydayInstallation::makeKeyPath(""), "");
    EXPECT_EQ(MaydayInstallation::makeKeyPaths(Value::array({"a", "/b", "c"})), Value::array({"user/a", "/b", "user/c"}));
    const Value empty = Value::array();
    EXPECT_TRUE(MaydayInstallation::makeKeyPaths(empty).isSameContainer(empty));
}

TEST(InstallationValidation, EveryMissingPropertyIsNamedInOneError) {
    TestInstallation installation({"userName", "userEmail", "nickname", "appName"});
    installation.properties = {{"userName", Value()}, {"userEmail", Value()}, {"appName", "Zel"}};
    const platform::OptionalError error = installation.validateProperties();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, "TestInstallation");
    EXPECT_EQ(error->localizedDescription, "Installation properties failed validation: userName (is nil), "
                                           "userEmail (is nil), nickname (property not found)");
    installation.properties = {{"userName", "u"}, {"userEmail", "e"}, {"nickname", "n"}, {"appName", "Zel"}};
    EXPECT_FALSE(installation.validateProperties());
}

TEST(InstallationFields, IndexesInOrderOfFirstUseAndRecordsThatStayWhole) {
    TestInstallation installation;
    const auto first = installation.reportFieldForProperty("first");
    EXPECT_EQ(installation.reportFieldForProperty("second")->index(), 1);
    EXPECT_EQ(installation.reportFieldForProperty("first"), first);
    EXPECT_EQ(first->index(), 0);

    installation.reportFieldForPropertySetKey("first", "account");
    installation.reportFieldForPropertySetValue("first", Value::dictionary({{"b", 2}, {"a", 1}}));
    const MaydayInstReportField::Record* set = first->field();
    const std::string json = set->value;
    EXPECT_LT(json.find("\"a\""), json.find("\"b\""));  // sorted, pretty printed
    EXPECT_NE(json.find('\n'), std::string::npos);

    zeltest::StdoutCapture log;
    first->setValue(Value::array({Value()}));
    EXPECT_NE(log.finish().find("Could not set value"), std::string::npos);
    EXPECT_EQ(first->field(), set);
    first->setValue(Value());
    EXPECT_EQ(first->field()->value, nullptr);
    EXPECT_STREQ(first->field()->key, "account");
    // The record replaced stays whole for a crash that was reading it.
    EXPECT_EQ(set->value, json);
}

TEST(InstallationSending, RefusedWithoutValidPropertiesOrSink) {
    TestInstallation installation({"userName"});
    std::vector<std::string> errors;
    const auto record = [&errors](Value reports, bool completed, platform::OptionalError error) {
        EXPECT_TRUE(reports.isNil() && !completed);
        errors.push_back(error ? error->domain + ": " + error->localizedDescription : "no error");
    };
    installation.sendAllReportsWithCompletion(record);
    installation.properties["userName"] = "someone";
    installation.sendAllReportsWithCompletion(record);
    EXPECT_EQ(errors, (std::vector<std::string>{
                          "TestInstallation: Installation properties failed validation: userName (property not found)",
                          "TestInstallation: Sink was nil (subclasses must implement method \"sink\")"}));
}

TEST(InstallationAlerts, AskingDeletesDeclinedReportsAndTellingHasOneButton) {
    Sandbox sandbox;
    const zeltest::ChildEnd end = zeltest::runInChild([&] {
        sandbox.enter();
        for (int behavior : {0, 1}) {
            Mayday::sharedInstance()->setDeleteBehaviorAfterSendAll(behavior);
            TestInstallation().addConditionalAlertWithTitle("Crashed", "Send it?", "Yes", "No");
            zeltest::put(std::to_string(Mayday::sharedInstance()->deleteBehaviorAfterSendAll()).c_str());
        }
    });
    EXPECT_EQ(end.output, "02");
    TestInstallation installation;
    installation.addUnconditionalAlertWithTitle("Crashed", "A report goes out", "OK");
    const auto alert = std::dynamic_pointer_cast<MaydayReportFilterAlert>(installation.prependedFilters()->filters().at(0));
    ASSERT_TRUE(alert);
    EXPECT_EQ(alert->yesAnswer() + "|" + alert->noAnswer(), "OK|");
}

void addAppSection(const MaydayReportWriter* writer) { writer->addStringElement(writer, "app", "called"); }

TEST(InstallationCrash, TheLatestInstallationsFieldsThenItsCallbackAndNothingOnceDestroyed) {
    Sandbox kept, released;
    zeltest::runInChild([&] {
        kept.enter();
        TestInstallation earlier, latest;
        earlier.reportFieldForPropertySetKey("stale", "stale");
        earlier.reportFieldForPropertySetValue("stale", "from the first installation");
        earlier.install();
        latest.reportFieldForPropertySetKey("id", "userID");
        latest.reportFieldForPropertySetValue("id", "someone");
        latest.reportFieldForPropertySetKey("count", "count");
        latest.reportFieldForPropertySetValue("count", 3);
        latest.reportFieldForPropertySetKey("keyOnly", "keyOnly");
        latest.setOnCrash(addAppSection);
        latest.install();
        zeltest::nullRead();
    });
    EXPECT_EQ(kept.userSection(), Value::dictionary({{"userID", "someone"}, {"count", 3}, {"app", "called"}}))
        << kept.userSection().description();
    const zeltest::ChildEnd end = zeltest::runInChild([&] {
        released.enter();
        std::make_unique<TestInstallation>()->install();
        zeltest::put(Mayday::sharedInstance()->onCrash() == nullptr ? "cleared" : "still set");
    });
    EXPECT_EQ(end.output, "cleared");
}

TEST(InstallationCrash, FieldsPastTheTableAreNeverWrittenAndLoggedOnce) {
    Sandbox sandbox;
    const zeltest::ChildEnd end = zeltest::runInChild([&] {
        sandbox.enter();
        dup2(zeltest::g_reportFd, STDOUT_FILENO);  // the log, to the parent
        static TestInstallation installation;
        for (int i = 0; i < kMaydayInstallationMaxReportFields + 2; i++) {
            installation.reportFieldForPropertySetKey("f" + std::to_string(i), "f" + std::to_string(i));
            installation.reportFieldForPropertySetValue("f" + std::to_string(i), i);
        }
        installation.install();
        zeltest::nullRead();
    });
    const Value user = sandbox.userSection();
    EXPECT_EQ(user.count(), 500u);
    EXPECT_EQ(user["f499"].intValue(), 499) << user["f499"].description();
    const size_t logged = end.output.find("Report field table full");
    ASSERT_NE(logged, std::string::npos) << end.output;
    EXPECT_EQ(end.output.find("Report field table full", logged + 1), std::string::npos);
}

TEST(InstallationCrash, AValueReplacedWhileAnotherThreadCrashesComesWhole) {
    Sandbox sandbox;
    zeltest::runInChild([&] {
        sandbox.enter();
        static TestInstallation installation;
        installation.reportFieldForPropertySetKey("counter", "counter");
        installation.install();
        static std::atomic<int> sets{0};
        std::thread([] {
            for (int n = 0;; n++, sets++)
                installation.reportFieldForPropertySetValue(
                    "counter", Value::dictionary({{"n", n}, {"text", std::string(400, char('a' + n % 26))}}));
        }).detach();
        while (sets < 500) std::this_thread::yield();
        zeltest::nullRead();
    });
    const Value counter = sandbox.userSection()["counter"];
    ASSERT_GE(counter["n"].intValue(), 499) << counter.description();
    EXPECT_EQ(counter["text"].stringValue(), std::string(400, char('a' + counter["n"].intValue() % 26)));
}

// Says it answers with what was delivered: the first report, all, or copies.
class DeliveringSink : public MaydayReportFilter {
public:
    char pick = 'f';
    void filterReports(Value reports, MaydayReportFilterCompletion onCompletion) override {
        const Value delivered = pick == 'f' ? Value::array({reports[0]}) : pick == 'a' ? reports : reports.deepCopy();
        onCompletion(delivered, false, platform::Error("Test", 1, "one failed"));
    }
    bool completesWithDeliveredReports() const override { return true; }
};

// The names of the stored reports left after two are sent.
std::vector<std::string> leftAfterSending(char pick, int deleteBehavior) {
    Sandbox sandbox;
    zeltest::runInChild([&] {
        sandbox.enter();
        TestInstallation installation;
        installation.install();
        for (const char* name : {"first", "second"})
            Mayday::sharedInstance()->reportUserException(name, "not fatal", Value(), Value(), Value(), false, false);
        auto sink = std::make_shared<DeliveringSink>();
        sink->pick = pick;
        installation.finalFilter = sink;
        installation.addPreFilter(MaydayReportFilterPassthrough::filter());
        Mayday::sharedInstance()->setDeleteBehaviorAfterSendAll(deleteBehavior);
        installation.sendAllReportsWithCompletion(nullptr);
    });
    std::vector<std::string> left;
    for (const Value& report : sandbox.reports())
        left.push_back(report["crash"]["error"]["user_reported"]["name"].stringValue());
    return left;
}

TEST(InstallationSendingDeletes, ExactlyTheDeliveredReportsUnlessNeverDeleting) {
    using Left = std::vector<std::string>;
    EXPECT_EQ(leftAfterSending('f', 1), Left{"second"});
    EXPECT_EQ(leftAfterSending('a', 1), Left{});
    EXPECT_EQ(leftAfterSending('c', 2), (Left{"first", "second"}));
    EXPECT_EQ(leftAfterSending('a', 0), (Left{"first", "second"}));
}

}  // namespace
