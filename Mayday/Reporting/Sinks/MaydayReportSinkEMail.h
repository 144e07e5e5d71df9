// Reports handed to the user's mail program. Each report (gzipped data, as
// the filter sets make it) is written to a file of its own in a fresh
// private folder under the temporary directory. Where "xdg-email" is
// installed it opens a new mail with those files attached; otherwise a
// "mailto:" URL goes to the desktop's opener ("xdg-open"), with the report
// texts in the body when they are small, or else the paths of the files.
// Both are started directly with an argument vector, never through a shell.
// The completion says whether the mail program started: sending is then
// the user's business.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Mayday/Reporting/Filters/MaydayReportFilter.h"
#include "platform/foundation/Value.h"

class MaydayReportSinkEMail : public MaydayReportFilter, public std::enable_shared_from_this<MaydayReportSinkEMail> {
public:
    // `recipients`: an array of addresses; `subject`, `message` (the mail's
    // text, may be nil) and `filenameFmt` (the attachments' names, "%d"
    // standing for the report's number from 1 and "%%" for "%"): strings.
    static std::shared_ptr<MaydayReportSinkEMail> sinkWithRecipients(platform::Value recipients,
                                                                     platform::Value subject,
                                                                     platform::Value message,
                                                                     platform::Value filenameFmt);
    MaydayReportSinkEMail(platform::Value recipients, platform::Value subject, platform::Value message,
                          platform::Value filenameFmt);

    const platform::Value& recipients() const noexcept { return recipients_; }
    const platform::Value& subject() const noexcept { return subject_; }
    const platform::Value& message() const noexcept { return message_; }
    const platform::Value& filenameFmt() const noexcept { return filenameFmt_; }

    // JSON (pretty, sorted), gzipped, then this sink.
    std::shared_ptr<MaydayReportFilter> defaultCrashReportFilterSet();
    // The platform-style text (side by side), as UTF-8 data, gzipped, then this sink.
    std::shared_ptr<MaydayReportFilter> defaultCrashReportFilterSetAppleFmt();

    void filterReports(platform::Value reports, MaydayReportFilterCompletion onCompletion) override;

    // The attachment name of report `number`: only "%d" and "%%" of the
    // format are read, every other character is kept, and a "/" becomes "_".
    static std::string filenameForReport(const std::string& filenameFmt, int number);
    // RFC 6068: "mailto:" with the addresses, then the subject and the body
    // (when not empty) percent-encoded.
    static std::string mailtoURL(const std::vector<std::string>& recipients, const std::string& subject,
                                 const std::string& body);
    // The text of a report: gunzipped when it is gzip data.
    static std::string textOfReport(const platform::Value& report);
    // The full path of `program` in $PATH, or empty.
    static std::string pathOfProgram(const std::string& program);

private:
    platform::Value recipients_;
    platform::Value subject_;
    platform::Value message_;
    platform::Value filenameFmt_;
};
