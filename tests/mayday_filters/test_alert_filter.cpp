// The alert filter on a recording window back end: what the user is shown,
// how each answer lets the reports go on or not, and that the per-batch
// state is let go afterwards.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Mayday/Reporting/Filters/MaydayReportFilterAlert.h"
#include "installer/FakeUI.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/ui/Application.h"

using platform::MainLoop;
using platform::OptionalError;
using platform::Value;

namespace {

struct Answer {
    int calls = 0;
    Value reports;
    bool completed = false;
    OptionalError error;
};

class AlertFilterTest : public ::testing::Test {
protected:
    void SetUp() override {
        MainLoop::adoptCurrentThreadAsMain();
        ui_.install();
    }
    void TearDown() override {
        MainLoop::drainPending();
        platform::Application::sharedApplication().setBackend(nullptr);
    }

    // Runs `filter` on `reports` answering the alert with the button at
    // `pressed`, and waits on the main queue for the completion.
    Answer answerWith(MaydayReportFilter& filter, const Value& reports, size_t pressed) {
        ui_.alertAnswer = [pressed](const platform::AlertSpec& alert) { return alert.responseForButton(pressed); };
        Answer answer;
        const size_t shownBefore = ui_.alerts.size();
        filter.filterReports(reports, [&answer](Value filtered, bool completed, OptionalError error) {
            ++answer.calls;
            answer.reports = std::move(filtered);
            answer.completed = completed;
            answer.error = std::move(error);
        });
        EXPECT_EQ(ui_.alerts.size(), shownBefore) << "shown before the main queue ran";
        EXPECT_TRUE(MainLoop::runUntil([&] { return answer.calls > 0; }));
        return answer;
    }

    zeltest::FakeUI ui_;
};

TEST_F(AlertFilterTest, QuestionShowsBothAnswersAndOnlyYesGoesOn) {
    auto filter = MaydayReportFilterAlert::filterWithTitle("Crash detected", "Send the report?", "Send", "Don't send");
    const Value reports = Value::array({Value::dictionary({{"id", 1}})});

    Answer yes = answerWith(*filter, reports, 0);
    ASSERT_EQ(ui_.alerts.size(), 1u);
    const platform::AlertSpec& shown = ui_.alerts[0];
    EXPECT_EQ(shown.messageText, "Crash detected");
    EXPECT_EQ(shown.informativeText, "Send the report?");
    EXPECT_EQ(shown.buttons, (std::vector<std::string>{"Send", "Don't send"}));
    EXPECT_EQ(shown.style, platform::AlertStyle::Informational);
    EXPECT_EQ(yes.calls, 1);
    EXPECT_TRUE(yes.completed);
    EXPECT_FALSE(yes.error);
    EXPECT_TRUE(yes.reports.isSameContainer(reports));

    Answer no = answerWith(*filter, reports, 1);
    EXPECT_EQ(no.calls, 1);
    EXPECT_FALSE(no.completed);
    EXPECT_FALSE(no.error) << "a refusal is no error";
    EXPECT_EQ(no.reports, reports);
}

TEST_F(AlertFilterTest, LoneButtonTellsAndLetsTheReportsGoOn) {
    MaydayReportFilterAlert filter("Crash detected", "The report will be sent.", "OK", "");
    Answer answer = answerWith(filter, Value::array({"r"}), 0);
    ASSERT_EQ(ui_.alerts.size(), 1u);
    EXPECT_EQ(ui_.alerts[0].buttons, std::vector<std::string>{"OK"});
    EXPECT_TRUE(answer.completed);
    EXPECT_EQ(answer.reports, Value::array({"r"}));
}

TEST_F(AlertFilterTest, BatchStateIsLetGoOnTheMainQueue) {
    MaydayReportFilterAlert filter("T", "M", "Yes", "No");
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> watch = token;
    bool called = false;
    filter.filterReports(Value::array(), [token, &called](Value, bool, OptionalError) { called = true; });
    token.reset();
    ASSERT_TRUE(MainLoop::runUntil([&] { return called; }));
    MainLoop::drainPending();
    EXPECT_TRUE(watch.expired()) << "the process or its completion leaked";
}

TEST_F(AlertFilterTest, ProcessAnswersTheModalAlertAndTheButtonCallback) {
    auto process = MaydayAlertViewProcess::process();
    std::vector<bool> outcomes;
    auto record = [&outcomes](Value, bool completed, OptionalError error) {
        EXPECT_FALSE(error);
        outcomes.push_back(completed);
    };
    ui_.alertAnswer = [](const platform::AlertSpec& alert) { return alert.responseForButton(1); };
    process->startWithTitle("T", "M", "Yes", "No", Value::array({"r"}), record);
    EXPECT_EQ(process->expectedButtonIndex(), 1);
    EXPECT_EQ(process->reports(), Value::array({"r"}));
    EXPECT_EQ(outcomes, std::vector<bool>{false});

    process->alertView(nullptr, 1);
    process->alertView(nullptr, 0);
    EXPECT_EQ(outcomes, (std::vector<bool>{false, true, false}));

    process->startWithTitle("T", "M", "OK", "", Value::array(), record);
    EXPECT_EQ(process->expectedButtonIndex(), 0);
    EXPECT_EQ(outcomes.back(), true);
}

}  // namespace
