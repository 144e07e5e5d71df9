// The JSON filters: the walk over the reports around MDJSONCodec.
#include "Mayday/Reporting/Filters/MaydayReportFilterJSON.h"

#include <optional>
#include <utility>

#include "Mayday/Reporting/Filters/MaydayReportFilterBasic.h"
#include "sentry/DataError.h"

using platform::OptionalError;
using platform::Value;

namespace {

constexpr const char* kEncodeDomain = "MaydayReportFilterJSONEncode";
constexpr const char* kDecodeDomain = "MaydayReportFilterJSONDecode";

}  // namespace

std::shared_ptr<MaydayReportFilterJSONEncode> MaydayReportFilterJSONEncode::filterWithOptions(unsigned encodeOptions) {
    return std::make_shared<MaydayReportFilterJSONEncode>(encodeOptions);
}

MaydayReportFilterJSONEncode::MaydayReportFilterJSONEncode(unsigned encodeOptions) : encodeOptions_(encodeOptions) {}

void MaydayReportFilterJSONEncode::filterReports(Value reports, MaydayReportFilterCompletion onCompletion) {
    const unsigned options = encodeOptions_;
    mdfilter_filterEach(reports, onCompletion, [options](const Value& report, OptionalError& error) {
        std::optional<Value::Bytes> data = MDJSONCodec::encode(report, options, &error);
        if (!data) {
            // The stop must say why, even when the codec recorded nothing.
            if (!error) error = errorWithDomain(kEncodeDomain, 0, "Could not encode report of class %s", report.className());
            return Value();
        }
        return Value::data(std::move(*data));
    });
}

std::shared_ptr<MaydayReportFilterJSONDecode> MaydayReportFilterJSONDecode::filterWithOptions(unsigned decodeOptions) {
    return std::make_shared<MaydayReportFilterJSONDecode>(decodeOptions);
}

MaydayReportFilterJSONDecode::MaydayReportFilterJSONDecode(unsigned decodeOptions) : decodeOptions_(decodeOptions) {}

void MaydayReportFilterJSONDecode::filterReports(Value reports, MaydayReportFilterCompletion onCompletion) {
    const unsigned options = decodeOptions_;
    mdfilter_filterEach(reports, onCompletion, [options](const Value& report, OptionalError& error) {
        if (!report.isData()) {
            error = errorWithDomain(kDecodeDomain, 0, "Report is not data (%s)", report.className());
            return Value();
        }
        Value decoded = MDJSONCodec::decode(report.dataValue(), options, &error);
        if (decoded.isNil()) {
            if (!error) error = errorWithDomain(kDecodeDomain, 0, "Report is not a JSON object or array");
            return Value();
        }
        return decoded;
    });
}
