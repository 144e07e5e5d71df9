// Turns decoded crash reports into the plain text of the platform's own
// crash logs: header, exception, every thread's backtrace, the crashed
// thread's registers, the loaded images, extra information, and the report
// of a crash inside the crash handler when there was one.
//
// Every piece reads the report through Value lookups, which answer nil for
// missing keys and for the wrong container kinds: a malformed report prints
// "(null)", 0 or nothing where its parts are missing, never fails.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "Mayday/Reporting/Filters/MaydayReportFilter.h"
#include "platform/foundation/Value.h"

enum MaydayAppleReportStyle : int {
    MaydayAppleReportStyleUnsymbolicated = 0,
    // Frames of the main executable unsymbolicated, all others symbolicated.
    MaydayAppleReportStylePartiallySymbolicated = 1,
    MaydayAppleReportStyleSymbolicatedSideBySide = 2,
    MaydayAppleReportStyleSymbolicated = 3,
};

class MaydayReportFilterAppleFmt : public MaydayReportFilter {
public:
    static std::shared_ptr<MaydayReportFilterAppleFmt> filterWithReportStyle(int reportStyle);
    explicit MaydayReportFilterAppleFmt(int reportStyle);

    int reportStyle() const noexcept { return reportStyle_; }

    // Converts the reports of major version 3 in order; the others are left
    // out. Completes synchronously with the texts.
    void filterReports(platform::Value reports, MaydayReportFilterCompletion onCompletion) override;

    // The whole text: the crash report string and the recrash report string.
    std::string toAppleFormat(const platform::Value& report) const;
    std::string crashReportString(const platform::Value& report) const;
    std::string recrashReportString(const platform::Value& report) const;
    // The handler's crash `recrash` told after the report it interrupted.
    std::string handlerCrashString(const platform::Value& report, const platform::Value& recrash) const;

    std::string headerStringForReport(const platform::Value& report) const;
    // `crashTime` is a date, or nil when the report's timestamp did not parse.
    std::string headerStringForSystemInfo(const platform::Value& system, const platform::Value& reportID,
                                          const platform::Value& crashTime) const;
    std::string errorInfoStringForReport(const platform::Value& report) const;
    std::string threadListStringForReport(const platform::Value& report,
                                          const platform::Value& mainExecutableName) const;
    std::string threadStringForThread(const platform::Value& thread, const platform::Value& mainExecutableName) const;
    std::string backtraceString(const platform::Value& backtrace, int reportStyle,
                                const platform::Value& mainExecutableName) const;
    std::string crashedThreadCPUStateStringForReport(const platform::Value& report,
                                                     const std::string& cpuArch) const;
    std::string binaryImagesStringForReport(const platform::Value& report) const;
    std::string extraInfoStringForReport(const platform::Value& report,
                                         const platform::Value& mainExecutableName) const;
    // "Custom Backtrace:\n" and the lines of a user-reported exception, or empty.
    std::string userExceptionTrace(const platform::Value& userException) const;
    std::string stringWithUncaughtExceptionName(const platform::Value& name, const platform::Value& reason) const;
    // A bad access whose crashed thread holds the address of the last
    // deallocated NSException in one of its registers.
    bool isZombieNSException(const platform::Value& report) const;
    int majorVersion(const platform::Value& report) const;

    // "ARM-64", "ARM", "X86", "X86_64" or "Unknown" for an architecture text.
    std::string CPUType(const platform::Value& cpuArch) const;
    // The architecture name of a Mach-O CPU type and subtype.
    std::string CPUArchForMajor(int majorCode, int minorCode) const;
    std::string cpuArchForReport(const platform::Value& report) const;
    // The text lower-cased without "-"; "(null)" for a missing UUID, as "%@" shows it.
    std::string toCompactUUID(const platform::Value& uuid) const;
    // The date in the local time zone, "yyyy-MM-dd HH:mm:ss.SSS +hhmm";
    // "(null)" for anything but a date.
    std::string stringFromDate(const platform::Value& date) const;
    // A report timestamp ("yyyy-MM-ddTHH:mm:ssZ", GMT) as a date, or nil.
    platform::Value dateFromString(const platform::Value& text) const;
    // Pretty-printed JSON with sorted keys, or "Error encoding JSON: ...".
    std::string JSONForObject(const platform::Value& object) const;

    // Sections of a report.
    platform::Value infoReport(const platform::Value& report) const;
    platform::Value systemReport(const platform::Value& report) const;
    platform::Value processReport(const platform::Value& report) const;
    platform::Value crashReport(const platform::Value& report) const;
    platform::Value errorReport(const platform::Value& report) const;
    platform::Value binaryImagesReport(const platform::Value& report) const;
    platform::Value recrashReport(const platform::Value& report) const;
    // The first thread marked crashed, otherwise "crash" -> "crashed_thread".
    platform::Value crashedThreadReport(const platform::Value& report) const;
    platform::Value mainExecutableNameForReport(const platform::Value& report) const;

private:
    static bool isText(const platform::Value& value, std::string_view text);
    // The last path component of a text, or nil for anything else.
    static platform::Value lastPathComponentOf(const platform::Value& path);

    int reportStyle_;
};
