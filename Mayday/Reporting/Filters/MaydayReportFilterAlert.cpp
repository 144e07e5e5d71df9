// The alert filter. The process object of a batch lives as long as its
// completion holds it; that completion gives its hold up to the main queue
// once it has run, which ends the process without a cycle.
#include "Mayday/Reporting/Filters/MaydayReportFilterAlert.h"

#include <utility>

#include "Mayday/Reporting/Filters/MaydayReportFilterBasic.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/ui/Widgets.h"

using platform::OptionalError;
using platform::Value;

// ---- MaydayAlertViewProcess.

std::shared_ptr<MaydayAlertViewProcess> MaydayAlertViewProcess::process() {
    return std::make_shared<MaydayAlertViewProcess>();
}

void MaydayAlertViewProcess::startWithTitle(const std::string& title, const std::string& message,
                                            const std::string& yesAnswer, const std::string& noAnswer, Value reports,
                                            MaydayReportFilterCompletion onCompletion) {
    reports_ = std::move(reports);
    onCompletion_ = std::move(onCompletion);
    const bool hasNoAnswer = !noAnswer.empty();
    expectedButtonIndex_ = hasNoAnswer ? 1 : 0;

    platform::Alert alert;
    alert.addButtonWithTitle(yesAnswer);
    if (hasNoAnswer) alert.addButtonWithTitle(noAnswer);
    alert.setMessageText(title);
    alert.setInformativeText(message);
    alert.setAlertStyle(platform::AlertStyle::Informational);
    const long response = alert.runModal();
    complete(!hasNoAnswer || response == platform::kAlertFirstButtonReturn);
}

void MaydayAlertViewProcess::alertView(const void*, long clickedButtonAtIndex) {
    complete(clickedButtonAtIndex == expectedButtonIndex_);
}

void MaydayAlertViewProcess::complete(bool completed) {
    // Called in place: the completion may give up its hold on this object.
    mdfilter_callCompletion(onCompletion_, reports_, completed, std::nullopt);
}

// ---- MaydayReportFilterAlert.

std::shared_ptr<MaydayReportFilterAlert> MaydayReportFilterAlert::filterWithTitle(std::string title,
                                                                                  std::string message,
                                                                                  std::string yesAnswer,
                                                                                  std::string noAnswer) {
    return std::make_shared<MaydayReportFilterAlert>(std::move(title), std::move(message), std::move(yesAnswer),
                                                     std::move(noAnswer));
}

MaydayReportFilterAlert::MaydayReportFilterAlert(std::string title, std::string message, std::string yesAnswer,
                                                 std::string noAnswer)
    : title_(std::move(title)),
      message_(std::move(message)),
      yesAnswer_(std::move(yesAnswer)),
      noAnswer_(std::move(noAnswer)) {}

void MaydayReportFilterAlert::filterReports(Value reports, MaydayReportFilterCompletion onCompletion) {
    // The texts are taken now, so the filter itself need not outlive the call.
    platform::DispatchQueue::main().async([title = title_, message = message_, yesAnswer = yesAnswer_,
                                           noAnswer = noAnswer_, reports = std::move(reports),
                                           onCompletion = std::move(onCompletion)]() mutable {
        auto process = MaydayAlertViewProcess::process();
        auto answered = [hold = process, onCompletion = std::move(onCompletion)](
                            Value filtered, bool completed, OptionalError error) mutable {
            if (!hold) return;  // the user is heard once per batch
            mdfilter_callCompletion(onCompletion, std::move(filtered), completed, std::move(error));
            mdfilter_releaseOnMainQueue(std::move(hold));
        };
        process->startWithTitle(title, message, yesAnswer, noAnswer, std::move(reports), std::move(answered));
    });
}
