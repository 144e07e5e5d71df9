// The mail programs only start a mail: they may return before (or long
// after) the user sends it, and the files must still be there when the mail
// program reads them, so the folder is left for the temporary directory's
// own clean-up.
#include "Mayday/Reporting/Sinks/MaydayReportSinkEMail.h"

#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <set>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>

#include "Mayday/Recording/Tools/MDJSONCodecObjC.h"
#include "Mayday/Recording/Tools/MDLogger.h"
#include "Mayday/Reporting/Filters/MaydayReportFilterAppleFmt.h"
#include "Mayday/Reporting/Filters/MaydayReportFilterBasic.h"
#include "Mayday/Reporting/Filters/MaydayReportFilterGZip.h"
#include "Mayday/Reporting/Filters/MaydayReportFilterJSON.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/process/Task.h"
#include "sentry/DataError.h"
#include "sentry/DataGZip.h"

using platform::OptionalError;
using platform::Value;

namespace {

constexpr const char* kErrorDomain = "MaydayReportSinkEMail";
// Report texts go into a mailto body only up to this many bytes: mail
// programs and desktops cut long URLs short.
constexpr size_t kMailtoTextLimit = 1500;

// Starts argv[0] (a full path) as a child task. It is reaped by a thread of
// its own, since a mail program may run for as long as the user writes.
OptionalError startProgram(const std::vector<std::string>& arguments) {
    auto task = std::make_shared<platform::Task>();
    task->setLaunchPath(arguments.front());
    task->setArguments(std::vector<std::string>(arguments.begin() + 1, arguments.end()));
    platform::Error error;
    if (!task->launch(&error)) return errorWithDomain(kErrorDomain, 0, "Could not start %@: %@", arguments.front(), error);
    try {
        std::thread([task] { task->waitUntilExit(); }).detach();
    } catch (const std::system_error&) {
        // No thread to wait with: the child stays a zombie until we exit.
    }
    return std::nullopt;
}

bool isUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

std::string percentEncoded(const std::string& text, bool keepAt) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string encoded;
    for (unsigned char c : text) {
        if (isUnreserved(c) || (keepAt && c == '@')) {
            encoded.push_back(static_cast<char>(c));
        } else {
            encoded.push_back('%');
            encoded.push_back(kDigits[c >> 4]);
            encoded.push_back(kDigits[c & 0x0f]);
        }
    }
    return encoded;
}

std::string stringOf(const Value& value) { return value.isString() ? value.stringValue() : std::string(); }

Value::Bytes bytesOfReport(const Value& report) {
    if (report.isData()) return report.dataValue();
    const std::string text = report.isString() ? report.stringValue() : report.description();
    return Value::Bytes(text.begin(), text.end());
}

// Addresses that could pass for options of the mail program are left out.
std::vector<std::string> usableRecipients(const Value& recipients) {
    std::vector<std::string> addresses;
    for (const Value& recipient : recipients.arrayItems()) {
        const std::string address = stringOf(recipient);
        if (address.empty()) continue;
        if (address.front() == '-') {
            MDLOGOBJ_ERROR("Ignoring recipient %@: not an address", address);
            continue;
        }
        addresses.push_back(address);
    }
    return addresses;
}

// Writes every report to a fresh private folder; the files' paths, or the error.
OptionalError writeReports(const Value& reports, const std::string& filenameFmt, std::vector<std::string>& paths) {
    std::string folder = platform::temporaryDirectory() + "CrashReportMail.XXXXXX";
    if (mkdtemp(folder.data()) == nullptr)
        return errorWithDomain(kErrorDomain, errno, "Could not make a folder for the reports: %s", strerror(errno));
    std::set<std::string> used;
    int number = 0;
    for (const Value& report : reports.arrayItems()) {
        ++number;
        std::string name = MaydayReportSinkEMail::filenameForReport(filenameFmt, number);
        // A format without "%d" names every report the same.
        if (!used.insert(name).second) name = std::to_string(number) + "-" + name;
        const std::string path = platform::appendPathComponent(folder, name);
        platform::Error error;
        if (!platform::FileManager::defaultManager().createFileAtPath(path, bytesOfReport(report), &error))
            return error;
        paths.push_back(path);
    }
    return std::nullopt;
}

}  // namespace

std::shared_ptr<MaydayReportSinkEMail> MaydayReportSinkEMail::sinkWithRecipients(Value recipients, Value subject,
                                                                                 Value message, Value filenameFmt) {
    return std::make_shared<MaydayReportSinkEMail>(std::move(recipients), std::move(subject), std::move(message),
                                                   std::move(filenameFmt));
}

MaydayReportSinkEMail::MaydayReportSinkEMail(Value recipients, Value subject, Value message, Value filenameFmt)
    : recipients_(std::move(recipients)), subject_(std::move(subject)), message_(std::move(message)),
      filenameFmt_(std::move(filenameFmt)) {}

std::shared_ptr<MaydayReportFilter> MaydayReportSinkEMail::defaultCrashReportFilterSet() {
    return MaydayReportFilterPipeline::filterWithFilters(
        {MaydayReportFilterJSONEncode::filterWithOptions(MDJSONEncodeOptionPretty | MDJSONEncodeOptionSorted),
         MaydayReportFilterGZipCompress::filterWithCompressionLevel(-1), shared_from_this()});
}

std::shared_ptr<MaydayReportFilter> MaydayReportSinkEMail::defaultCrashReportFilterSetAppleFmt() {
    return MaydayReportFilterPipeline::filterWithFilters(
        {MaydayReportFilterAppleFmt::filterWithReportStyle(MaydayAppleReportStyleSymbolicatedSideBySide),
         MaydayReportFilterStringToData::filter(), MaydayReportFilterGZipCompress::filterWithCompressionLevel(-1),
         shared_from_this()});
}

std::string MaydayReportSinkEMail::filenameForReport(const std::string& filenameFmt, int number) {
    std::string name;
    for (size_t i = 0; i < filenameFmt.size(); ++i) {
        const char c = filenameFmt[i];
        if (c == '%' && i + 1 < filenameFmt.size() && filenameFmt[i + 1] == 'd') {
            name += std::to_string(number);
            ++i;
        } else if (c == '%' && i + 1 < filenameFmt.size() && filenameFmt[i + 1] == '%') {
            name.push_back('%');
            ++i;
        } else {
            name.push_back(c == '/' || c == '\0' ? '_' : c);
        }
    }
    if (name.empty() || name == "." || name == "..") name = "crash-report-" + std::to_string(number);
    return name;
}

std::string MaydayReportSinkEMail::mailtoURL(const std::vector<std::string>& recipients, const std::string& subject,
                                             const std::string& body) {
    std::string url = "mailto:";
    for (size_t i = 0; i < recipients.size(); ++i) {
        if (i > 0) url.push_back(',');
        url += percentEncoded(recipients[i], true);
    }
    url += "?subject=" + percentEncoded(subject, false);
    if (!body.empty()) url += "&body=" + percentEncoded(body, false);
    return url;
}

std::string MaydayReportSinkEMail::textOfReport(const Value& report) {
    Value::Bytes bytes = bytesOfReport(report);
    if (bytes.size() >= 2 && bytes[0] == 0x1f && bytes[1] == 0x8b) {
        if (std::optional<Value::Bytes> plain = gunzippedWithError(bytes, nullptr)) bytes = std::move(*plain);
    }
    return MaydayReportFilterStringify().stringifyObject(Value::data(std::move(bytes))).stringValue();
}

std::string MaydayReportSinkEMail::pathOfProgram(const std::string& program) {
    const char* searchPath = std::getenv("PATH");
    if (searchPath == nullptr) return {};
    const std::string folders = searchPath;
    size_t start = 0;
    while (start <= folders.size()) {
        size_t end = folders.find(':', start);
        if (end == std::string::npos) end = folders.size();
        const std::string folder = folders.substr(start, end - start);
        // An empty entry means the working directory: never looked in.
        if (!folder.empty() && folder.front() == '/') {
            const std::string candidate = platform::appendPathComponent(folder, program);
            bool isDirectory = false;
            if (platform::FileManager::defaultManager().fileExistsAtPath(candidate, &isDirectory) && !isDirectory &&
                access(candidate.c_str(), X_OK) == 0)
                return candidate;
        }
        start = end + 1;
    }
    return {};
}

void MaydayReportSinkEMail::filterReports(Value reports, MaydayReportFilterCompletion onCompletion) {
    if (reports.count() == 0) {
        mdfilter_callCompletion(onCompletion, std::move(reports), true, std::nullopt);
        return;
    }
    const std::string mailProgram = pathOfProgram("xdg-email");
    const std::string opener = mailProgram.empty() ? pathOfProgram("xdg-open") : std::string();
    if (mailProgram.empty() && opener.empty()) {
        // Nowhere to send them: at least the log shows them.
        for (const Value& report : reports.arrayItems()) platform::logFormat("Report\n%@", textOfReport(report));
        mdfilter_callCompletion(onCompletion, std::move(reports), false,
                                errorWithDomain(kErrorDomain, 0, "Cannot send mail on this platform"));
        return;
    }

    std::vector<std::string> paths;
    if (OptionalError error = writeReports(reports, stringOf(filenameFmt_), paths)) {
        mdfilter_callCompletion(onCompletion, std::move(reports), false, std::move(error));
        return;
    }
    const std::vector<std::string> addresses = usableRecipients(recipients_);
    const std::string subject = stringOf(subject_);
    const std::string message = stringOf(message_);

    std::vector<std::string> arguments;
    if (!mailProgram.empty()) {
        arguments.push_back(mailProgram);
        for (const std::string& path : paths) arguments.insert(arguments.end(), {"--attach", path});
        arguments.insert(arguments.end(), {"--subject", subject});
        if (!message.empty()) arguments.insert(arguments.end(), {"--body", message});
        arguments.insert(arguments.end(), addresses.begin(), addresses.end());
    } else {
        std::vector<std::string> parts;
        if (!message.empty()) parts.push_back(message);
        size_t length = message.size();
        for (const Value& report : reports.arrayItems()) {
            parts.push_back(textOfReport(report));
            length += parts.back().size();
        }
        if (length > kMailtoTextLimit) {
            // Too long for a URL: the user attaches the files.
            parts.resize(message.empty() ? 0 : 1);
            std::string list;
            for (const std::string& path : paths) list += (list.empty() ? "" : "\n") + path;
            parts.push_back(list);
        }
        std::string body;
        for (const std::string& part : parts) body += (body.empty() ? "" : "\n\n") + part;
        arguments = {opener, mailtoURL(addresses, subject, body)};
    }

    OptionalError error = startProgram(arguments);
    const bool started = !error;
    mdfilter_callCompletion(onCompletion, std::move(reports), started, std::move(error));
}
