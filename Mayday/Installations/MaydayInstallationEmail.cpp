// The bundle name comes from the bundle, not from the program: it is put
// into texts as text, never read as a format.
#include "Mayday/Installations/MaydayInstallationEmail.h"

#include "Mayday/Reporting/Sinks/MaydayReportSinkEMail.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Format.h"

using platform::Value;

namespace {

// "%" doubled, so that the text stays itself inside a file-name format.
std::string percentsDoubled(const std::string& text) {
    std::string doubled;
    for (char c : text) {
        doubled.push_back(c);
        if (c == '%') doubled.push_back('%');
    }
    return doubled;
}

}  // namespace

std::shared_ptr<MaydayInstallationEmail> MaydayInstallationEmail::sharedInstance() {
    static auto* instance = new std::shared_ptr<MaydayInstallationEmail>(std::make_shared<MaydayInstallationEmail>());
    return *instance;
}

MaydayInstallationEmail::MaydayInstallationEmail() : MaydayInstallation({"recipients", "subject", "filenameFmt"}) {
    const std::string bundleName =
        platform::Bundle::mainBundle().objectForInfoDictionaryKey("CFBundleName").description();
    const std::string nameInFormat = percentsDoubled(bundleName);
    defaultFilenameFormats_ = {
        {0, platform::substituteObjects("crash-report-%@-%%d.json.gz", {nameInFormat})},
        {1, platform::substituteObjects("crash-report-%@-%%d.txt.gz", {nameInFormat})},
    };
    subject_ = platform::substituteObjects("Crash Report (%@)", {bundleName});
    setReportStyle(0, true);
}

void MaydayInstallationEmail::setReportStyle(int reportStyle, bool useDefaultFilenameFormat) {
    reportStyle_ = reportStyle;
    if (!useDefaultFilenameFormat) return;
    const auto found = defaultFilenameFormats_.find(reportStyle);
    filenameFmt_ = found == defaultFilenameFormats_.end() ? Value() : Value(found->second);
}

Value MaydayInstallationEmail::valueForProperty(const std::string& propertyName) const {
    if (propertyName == "recipients") return recipients_;
    if (propertyName == "subject") return subject_;
    if (propertyName == "message") return message_;
    if (propertyName == "filenameFmt") return filenameFmt_;
    if (propertyName == "reportStyle") return reportStyle_;
    return MaydayInstallation::valueForProperty(propertyName);
}

std::shared_ptr<MaydayReportFilter> MaydayInstallationEmail::sink() {
    auto mail = MaydayReportSinkEMail::sinkWithRecipients(recipients_, subject_, message_, filenameFmt_);
    switch (reportStyle_) {
    case 0: return mail->defaultCrashReportFilterSet();
    case 1: return mail->defaultCrashReportFilterSetAppleFmt();
    default: return nullptr;
    }
}
