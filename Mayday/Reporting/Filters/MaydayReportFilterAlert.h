// Asks the user before the reports go on: a modal alert on the main thread.
#pragma once

#include <memory>
#include <string>

#include "Mayday/Reporting/Filters/MaydayReportFilter.h"

// One alert shown for one batch of reports; answers through its completion.
class MaydayAlertViewProcess {
public:
    static std::shared_ptr<MaydayAlertViewProcess> process();

    const platform::Value& reports() const noexcept { return reports_; }
    void setReports(platform::Value reports) { reports_ = std::move(reports); }
    const MaydayReportFilterCompletion& onCompletion() const noexcept { return onCompletion_; }
    void setOnCompletion(MaydayReportFilterCompletion onCompletion) { onCompletion_ = std::move(onCompletion); }
    // The button index that lets the reports go on.
    long expectedButtonIndex() const noexcept { return expectedButtonIndex_; }
    void setExpectedButtonIndex(long index) noexcept { expectedButtonIndex_ = index; }

    // Main thread. Shows the alert (title, message, a yes button and, unless
    // `noAnswer` is empty, a no button) modally, then completes with
    // (reports, completed, nil). With a no button, completed means the yes
    // button was pressed; a lone button only tells the user, so dismissing
    // it lets the reports go on.
    void startWithTitle(const std::string& title, const std::string& message, const std::string& yesAnswer,
                        const std::string& noAnswer, platform::Value reports,
                        MaydayReportFilterCompletion onCompletion);

    // The button callback of an alert view that is not modal: completes
    // with (reports, the button is the expected one, nil). `alertView` is
    // the sender, unused.
    void alertView(const void* alertView, long clickedButtonAtIndex);

private:
    void complete(bool completed);

    platform::Value reports_;
    MaydayReportFilterCompletion onCompletion_;
    long expectedButtonIndex_ = 0;
};

// Shows an alert for each batch and passes the reports on as the user answers.
// An empty `noAnswer` makes a one-button alert, which always lets the reports go on.
class MaydayReportFilterAlert : public MaydayReportFilter {
public:
    static std::shared_ptr<MaydayReportFilterAlert> filterWithTitle(std::string title, std::string message,
                                                                    std::string yesAnswer, std::string noAnswer);
    MaydayReportFilterAlert(std::string title, std::string message, std::string yesAnswer, std::string noAnswer);

    const std::string& title() const noexcept { return title_; }
    void setTitle(std::string title) { title_ = std::move(title); }
    const std::string& message() const noexcept { return message_; }
    void setMessage(std::string message) { message_ = std::move(message); }
    const std::string& yesAnswer() const noexcept { return yesAnswer_; }
    void setYesAnswer(std::string yesAnswer) { yesAnswer_ = std::move(yesAnswer); }
    const std::string& noAnswer() const noexcept { return noAnswer_; }
    void setNoAnswer(std::string noAnswer) { noAnswer_ = std::move(noAnswer); }

    // Returns at once; the alert is shown from the main queue and the
    // completion is called there (completed NO with no error when refused).
    void filterReports(platform::Value reports, MaydayReportFilterCompletion onCompletion) override;

private:
    std::string title_;
    std::string message_;
    std::string yesAnswer_;
    std::string noAnswer_;
};
