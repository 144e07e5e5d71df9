#include "Mayday/Recording/MaydayReportReader.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "Mayday/Recording/MaydayReportFixer.h"
#include "Mayday/Recording/Tools/MDJSONCodecObjC.h"
#include "Mayday/Reporting/Filters/MaydayDoctor.h"
#include "platform/foundation/Format.h"

using platform::Value;

namespace {

constexpr const char* kDomain = "MaydayReportReader";
constexpr unsigned kDecodeOptions =
    MDJSONDecodeOptionIgnoreNullInArray | MDJSONDecodeOptionIgnoreNullInObject | MDJSONDecodeOptionKeepPartialObject;

Value decode(const std::string& text, platform::OptionalError* error) {
    return MDJSONCodec::decode(Value::Bytes(text.begin(), text.end()), kDecodeOptions, error);
}

}  // namespace

MaydayReadReport maydayDecodeStoredReport(const std::string& storedText) {
    MaydayReadReport result;
    platform::OptionalError error;
    char* fixed = mdcrf_fixupCrashReport(storedText.c_str());
    if (fixed != nullptr) {
        result.report = decode(fixed, &error);
        free(fixed);
    } else {
        // The fix-up takes only whole documents; the part before the
        // damage still tells what happened.
        result.report = decode(storedText, &error);
        if (!error) error = platform::Error(kDomain, 0, "The report could not be fixed up");
    }
    if (!result.report.isDictionary()) {
        result.report = Value();
        result.problem = platform::Error(
            kDomain, 1,
            platform::format("Not a crash report: %@", error ? error->localizedDescription : std::string("no object")));
        return result;
    }
    if (error) {
        result.problem =
            platform::Error(kDomain, 2, platform::format("The report is damaged: %@", error->localizedDescription));
    }
    maydayDiagnoseReport(result.report);
    return result;
}

MaydayReadReport maydayReadReportFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        MaydayReadReport result;
        result.problem = platform::posixError(errno, path);
        return result;
    }
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad()) {
        MaydayReadReport result;
        result.problem = platform::posixError(errno ? errno : EIO, path);
        return result;
    }
    return maydayDecodeStoredReport(text);
}

void maydayDiagnoseReport(Value& report) {
    const auto doctor = MaydayDoctor::doctor();
    Value crash = report["crash"];
    if (crash.isDictionary()) crash.setObject(doctor->diagnoseCrash(report), "diagnosis");
    // The embedded report is the crash the recorder was writing when it
    // crashed itself: a whole report, diagnosed on its own terms (the top
    // level tells only the recorder's crash).
    const Value embedded = report["recrash_report"];
    Value recrashCrash = embedded["crash"];
    if (recrashCrash.isDictionary()) recrashCrash.setObject(doctor->diagnoseCrash(embedded), "diagnosis");
}
