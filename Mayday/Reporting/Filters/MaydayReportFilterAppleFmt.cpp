// The report as a whole: the filter itself, the header, the exception, the
// extra information and the recrash part. Threads, registers and images
// are in MaydayReportFilterAppleFmtThreads.cpp.
#include "Mayday/Reporting/Filters/MaydayReportFilterAppleFmt.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <optional>

#include "Mayday/Recording/Tools/MDJSONCodecObjC.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/URL.h"

using platform::Value;

namespace {

// Only this layout of the report document is understood.
constexpr int kSupportedMajorVersion = 3;

// Report timestamps cover years 0 to 9999; anything beyond is no date a
// report can hold, and would overflow the calendar arithmetic.
constexpr double kLatestTimestamp = 253402300800.0;    // 10000-01-01T00:00:00Z
constexpr double kEarliestTimestamp = -62167219200.0;  // 0000-01-01T00:00:00Z

bool isDigitAt(const std::string& text, size_t position) { return text[position] >= '0' && text[position] <= '9'; }

int numberAt(const std::string& text, size_t position, size_t length) {
    int value = 0;
    for (size_t i = position; i < position + length; ++i) value = value * 10 + (text[i] - '0');
    return value;
}

// "yyyy-MM-ddTHH:mm:ssZ" in GMT, the literal characters exactly where the
// pattern puts them; a calendar date that does not exist (February 30th)
// does not parse.
std::optional<time_t> parseTimestamp(const std::string& text) {
    static const char kPattern[] = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != sizeof(kPattern) - 1) return std::nullopt;
    for (size_t i = 0; i < text.size(); ++i) {
        if (kPattern[i] == 'd' ? !isDigitAt(text, i) : text[i] != kPattern[i]) return std::nullopt;
    }
    struct tm fields = {};
    fields.tm_year = numberAt(text, 0, 4) - 1900;
    fields.tm_mon = numberAt(text, 5, 2) - 1;
    fields.tm_mday = numberAt(text, 8, 2);
    fields.tm_hour = numberAt(text, 11, 2);
    fields.tm_min = numberAt(text, 14, 2);
    fields.tm_sec = numberAt(text, 17, 2);
    const struct tm asWritten = fields;
    const time_t seconds = timegm(&fields);
    // timegm normalises out-of-range fields: a changed field means an invalid date.
    if (fields.tm_year != asWritten.tm_year || fields.tm_mon != asWritten.tm_mon ||
        fields.tm_mday != asWritten.tm_mday || fields.tm_hour != asWritten.tm_hour ||
        fields.tm_min != asWritten.tm_min || fields.tm_sec != asWritten.tm_sec)
        return std::nullopt;
    return seconds;
}

}  // namespace

std::shared_ptr<MaydayReportFilterAppleFmt> MaydayReportFilterAppleFmt::filterWithReportStyle(int reportStyle) {
    return std::make_shared<MaydayReportFilterAppleFmt>(reportStyle);
}

MaydayReportFilterAppleFmt::MaydayReportFilterAppleFmt(int reportStyle) : reportStyle_(reportStyle) {}

void MaydayReportFilterAppleFmt::filterReports(Value reports, MaydayReportFilterCompletion onCompletion) {
    Value filtered = Value::array();
    for (const Value& report : reports.arrayItems()) {
        if (majorVersion(report) != kSupportedMajorVersion) continue;
        // A report that cannot be converted at all (memory ran out) is left
        // out like one of another version: the others still go on.
        try {
            filtered.addObject(Value(toAppleFormat(report)));
        } catch (const std::exception&) {
        }
    }
    if (onCompletion) onCompletion(filtered, true, std::nullopt);
}

// ---------------------------------------------------------------------------
// Report sections

Value MaydayReportFilterAppleFmt::infoReport(const Value& report) const { return report["report"]; }
Value MaydayReportFilterAppleFmt::systemReport(const Value& report) const { return report["system"]; }
Value MaydayReportFilterAppleFmt::processReport(const Value& report) const { return report["process"]; }
Value MaydayReportFilterAppleFmt::crashReport(const Value& report) const { return report["crash"]; }
Value MaydayReportFilterAppleFmt::errorReport(const Value& report) const { return crashReport(report)["error"]; }
Value MaydayReportFilterAppleFmt::binaryImagesReport(const Value& report) const { return report["binary_images"]; }
Value MaydayReportFilterAppleFmt::recrashReport(const Value& report) const { return report["recrash_report"]; }

Value MaydayReportFilterAppleFmt::crashedThreadReport(const Value& report) const {
    const Value crash = crashReport(report);
    for (const Value& thread : crash["threads"].arrayItems())
        if (thread["crashed"].boolValue()) return thread;
    // A recrash report carries only its offending thread.
    return crash["crashed_thread"];
}

Value MaydayReportFilterAppleFmt::mainExecutableNameForReport(const Value& report) const {
    return infoReport(report)["process_name"];
}

bool MaydayReportFilterAppleFmt::isText(const Value& value, std::string_view text) {
    return value.isString() && value.stringValue() == text;
}

Value MaydayReportFilterAppleFmt::lastPathComponentOf(const Value& path) {
    if (!path.isString()) return Value();
    return Value(platform::lastPathComponentOfString(path.stringValue()));
}

int MaydayReportFilterAppleFmt::majorVersion(const Value& report) const {
    Value version = infoReport(report)["version"];
    if (version.isDictionary()) version = version["major"];
    return version.intValue();
}

// ---------------------------------------------------------------------------
// Small conversions

std::string MaydayReportFilterAppleFmt::CPUType(const Value& cpuArch) const {
    // A search in a missing text answers position 0, so no architecture
    // reads as the first one asked about.
    if (cpuArch.isNil()) return "ARM-64";
    const std::string& arch = cpuArch.stringValue();
    if (arch.starts_with("arm64")) return "ARM-64";
    if (arch.starts_with("arm")) return "ARM";
    if (arch == "x86") return "X86";
    if (arch == "x86_64") return "X86_64";
    return "Unknown";
}

std::string MaydayReportFilterAppleFmt::CPUArchForMajor(int majorCode, int minorCode) const {
    switch (majorCode) {
    case 7: return "i386";
    case 0x1000007: return "x86_64";
    case 0x100000C: return "arm64";
    case 12:
        switch (minorCode) {
        case 6: return "armv6";
        case 9: return "armv7";
        case 10: return "armv7f";
        case 11: return "armv7s";
        case 12: return "armv7k";
        default: return "arm";
        }
    default: return platform::format("unknown(%d,%d)", majorCode, minorCode);
    }
}

std::string MaydayReportFilterAppleFmt::cpuArchForReport(const Value& report) const {
    const Value system = systemReport(report);
    return CPUArchForMajor(system["binary_cpu_type"].intValue(), system["binary_cpu_subtype"].intValue());
}

std::string MaydayReportFilterAppleFmt::toCompactUUID(const Value& uuid) const {
    if (!uuid.isString()) return "(null)";
    std::string compact;
    compact.reserve(uuid.stringValue().size());
    for (char c : uuid.stringValue()) {
        if (c == '-') continue;
        compact += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return compact;
}

Value MaydayReportFilterAppleFmt::dateFromString(const Value& text) const {
    if (!text.isString()) return Value();
    const std::optional<time_t> seconds = parseTimestamp(text.stringValue());
    return seconds ? Value::date(static_cast<double>(*seconds)) : Value();
}

std::string MaydayReportFilterAppleFmt::stringFromDate(const Value& date) const {
    if (!date.isDate()) return "(null)";
    const double seconds = date.dateValue();
    if (!std::isfinite(seconds) || seconds < kEarliestTimestamp || seconds >= kLatestTimestamp) return "(null)";
    const double whole = std::floor(seconds);
    const int millis = std::min(999, static_cast<int>((seconds - whole) * 1000.0));
    const time_t t = static_cast<time_t>(whole);
    // The zone is read again each time, so a changed TZ shows at once.
    tzset();
    struct tm local = {};
    if (localtime_r(&t, &local) == nullptr) return "(null)";
    const long offset = local.tm_gmtoff;
    const long offsetMinutes = std::labs(offset) / 60;
    return platform::format("%04d-%02d-%02d %02d:%02d:%02d.%03d %c%02ld%02ld", local.tm_year + 1900, local.tm_mon + 1,
                            local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, millis, offset < 0 ? '-' : '+',
                            offsetMinutes / 60, offsetMinutes % 60);
}

std::string MaydayReportFilterAppleFmt::JSONForObject(const Value& object) const {
    platform::OptionalError error;
    const auto bytes = MDJSONCodec::encode(object, MDJSONEncodeOptionPretty | MDJSONEncodeOptionSorted, &error);
    if (!bytes) return platform::format("Error encoding JSON: %@", error);
    return std::string(bytes->begin(), bytes->end());
}

// ---------------------------------------------------------------------------
// The text

std::string MaydayReportFilterAppleFmt::toAppleFormat(const Value& report) const {
    // A crash inside the recorder leaves its own short report at the top and
    // embeds the report it was writing: the application's crash comes
    // first, the handler's after it.
    const Value embedded = recrashReport(report);
    if (embedded.isDictionary() && isText(infoReport(report)["type"], "minimal"))
        return crashReportString(embedded) + handlerCrashString(embedded, report);
    return crashReportString(report) + recrashReportString(report);
}

std::string MaydayReportFilterAppleFmt::crashReportString(const Value& report) const {
    const Value mainExecutableName = mainExecutableNameForReport(report);
    std::string text = headerStringForReport(report);
    text += errorInfoStringForReport(report);
    text += threadListStringForReport(report, mainExecutableName);
    text += crashedThreadCPUStateStringForReport(report, cpuArchForReport(report));
    text += binaryImagesStringForReport(report);
    text += extraInfoStringForReport(report, mainExecutableName);
    return text;
}

std::string MaydayReportFilterAppleFmt::headerStringForReport(const Value& report) const {
    const Value info = infoReport(report);
    return headerStringForSystemInfo(systemReport(report), info["id"], dateFromString(info["timestamp"]));
}

std::string MaydayReportFilterAppleFmt::headerStringForSystemInfo(const Value& system, const Value& reportID,
                                                                  const Value& crashTime) const {
    using platform::format;
    std::string text;
    text += format("Incident Identifier: %@\n", reportID);
    text += format("CrashReporter Key:   %@\n", system["device_app_hash"]);
    text += format("Hardware Model:      %@\n", system["machine"]);
    text += format("Process:         %@ [%@]\n", system["process_name"], system["process_id"]);
    text += format("Path:            %@\n", system["CFBundleExecutablePath"]);
    text += format("Identifier:      %@\n", system["CFBundleIdentifier"]);
    text += format("Version:         %@ (%@)\n", system["CFBundleShortVersionString"], system["CFBundleVersion"]);
    text += format("Code Type:       %@\n", CPUType(system["cpu_arch"]));
    text += format("Parent Process:  ? [%@]\n", system["parent_process_id"]);
    text += "\n";
    text += format("Date/Time:       %@\n", stringFromDate(crashTime));
    text += format("OS Version:      %@ %@ (%@)\n", system["system_name"], system["system_version"],
                   system["os_version"]);
    text += "Report Version:  104\n";
    return text;
}

std::string MaydayReportFilterAppleFmt::stringWithUncaughtExceptionName(const Value& name,
                                                                        const Value& reason) const {
    return platform::format(
        "\nApplication Specific Information:\n*** Terminating app due to uncaught exception '%@', reason: '%@'\n",
        name, reason);
}

std::string MaydayReportFilterAppleFmt::userExceptionTrace(const Value& userException) const {
    std::string trace;
    const Value line = userException["line_of_code"];
    if (!line.isNil()) trace += platform::format("Line: %@\n", line);
    for (const Value& entry : userException["backtrace"].arrayItems()) trace += platform::format("%@\n", entry);
    if (trace.empty()) return trace;
    return "Custom Backtrace:\n" + trace;
}

bool MaydayReportFilterAppleFmt::isZombieNSException(const Value& report) const {
    const Value mach = errorReport(report)["mach"];
    if (!isText(mach["exception_name"], "EXC_BAD_ACCESS") || !isText(mach["code_name"], "KERN_INVALID_ADDRESS"))
        return false;
    const Value lastException = processReport(report)["last_dealloced_nsexception"];
    if (lastException.isNil()) return false;
    const Value address = lastException["address"];
    if (!address.isNumber()) return false;
    const Value registers = crashedThreadReport(report)["registers"]["basic"];
    for (const auto& [name, value] : registers.dictionaryItems()) {
        (void)name;
        if (value.isNumber() && value == address) return true;
    }
    return false;
}

std::string MaydayReportFilterAppleFmt::errorInfoStringForReport(const Value& report) const {
    using platform::format;
    const Value error = errorReport(report);
    const Value mach = error["mach"];
    const Value signal = error["signal"];

    Value machExceptionName = mach["exception_name"];
    if (machExceptionName.isNil()) machExceptionName = Value("0");
    Value signalName = signal["name"];
    if (signalName.isNil()) signalName = Value(signal["signal"].description());
    Value machCodeName = mach["code_name"];
    if (machCodeName.isNil()) machCodeName = Value("0x00000000");

    std::string text = "\n";
    text += format("Exception Type:  %@ (%@)\n", machExceptionName, signalName);
    text += format("Exception Codes: %@ at 0x%016lx\n", machCodeName, error["address"].unsignedLongLongValue());
    text += format("Crashed Thread:  %d\n", crashedThreadReport(report)["index"].intValue());

    const Value nsexception = error["nsexception"];
    const Value userException = error["user_reported"];
    if (!nsexception.isNil()) {
        text += stringWithUncaughtExceptionName(nsexception["name"], error["reason"]);
    } else if (isZombieNSException(report)) {
        const Value lastException = processReport(report)["last_dealloced_nsexception"];
        text += stringWithUncaughtExceptionName(lastException["name"], lastException["reason"]);
        text += "NOTE: This exception has been deallocated! Stack trace is crash from attempting to access this "
                "zombie exception.\n";
    } else if (!userException.isNil()) {
        text += stringWithUncaughtExceptionName(userException["name"], error["reason"]);
        const std::string trace = userExceptionTrace(userException);
        if (!trace.empty()) text += format("\n%@\n", trace);
    } else if (isText(error["type"], "cpp_exception")) {
        text += stringWithUncaughtExceptionName(error["cpp_exception"]["name"], error["reason"]);
    }

    if (isText(error["type"], "deadlock")) text += "\nApplication main thread deadlocked\n";
    return text;
}

std::string MaydayReportFilterAppleFmt::extraInfoStringForReport(const Value& report,
                                                                 const Value& mainExecutableName) const {
    using platform::format;
    std::string text = "\nExtra Information:\n";

    const Value referencedObject = errorReport(report)["nsexception"]["referenced_object"];
    if (!referencedObject.isNil())
        text += format("Object referenced by NSException:\n%@\n", JSONForObject(referencedObject));

    const Value crashedThread = crashedThreadReport(report);
    if (!crashedThread.isNil()) {
        const Value stack = crashedThread["stack"];
        if (!stack.isNil())
            text += format("\nStack Dump (0x%016lx-0x%016lx):\n\n%@\n", stack["dump_start"].unsignedLongLongValue(),
                           stack["dump_end"].unsignedLongLongValue(), stack["contents"]);
        const Value notableAddresses = crashedThread["notable_addresses"];
        if (!notableAddresses.isNil()) text += format("\nNotable Addresses:\n%@\n", JSONForObject(notableAddresses));
    }

    const Value lastException = processReport(report)["last_dealloced_nsexception"];
    if (!lastException.isNil()) {
        text += format("\nLast deallocated NSException (0x%016lx): %@: %@\n",
                       lastException["address"].unsignedLongLongValue(), lastException["name"],
                       lastException["reason"]);
        const Value lastReferenced = lastException["referenced_object"];
        if (!lastReferenced.isNil()) text += format("Referenced object:\n%@\n", JSONForObject(lastReferenced));
        text += backtraceString(lastException["backtrace"], reportStyle_, mainExecutableName);
    }

    const Value applicationStats = systemReport(report)["application_stats"];
    if (!applicationStats.isNil()) text += format("\nApplication Stats:\n%@\n", JSONForObject(applicationStats));

    const Value diagnosis = crashReport(report)["diagnosis"];
    if (!diagnosis.isNil()) text += format("\nCrashDoctor Diagnosis: %@\n", diagnosis);
    return text;
}

std::string MaydayReportFilterAppleFmt::recrashReportString(const Value& report) const {
    const Value recrash = recrashReport(report);
    if (recrash.isNil()) return {};
    return handlerCrashString(report, recrash);
}

std::string MaydayReportFilterAppleFmt::handlerCrashString(const Value& report, const Value& recrash) const {
    const Value mainExecutableName = lastPathComponentOf(systemReport(report)["CFBundleExecutablePath"]);
    std::string text = "\nHandler crashed while reporting:\n";
    text += errorInfoStringForReport(recrash);
    text += threadStringForThread(crashedThreadReport(recrash), mainExecutableName);
    text += crashedThreadCPUStateStringForReport(recrash, cpuArchForReport(report));
    const Value diagnosis = crashReport(recrash)["diagnosis"];
    if (!diagnosis.isNil()) text += platform::format("\nRecrash Diagnosis: %@", diagnosis);
    return text;
}
