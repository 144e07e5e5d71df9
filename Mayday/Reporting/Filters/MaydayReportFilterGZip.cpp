// The gzip filters: the byte work is sentry/DataGZip.h's; these add the
// per-report walk and refuse reports that are not data.
#include "Mayday/Reporting/Filters/MaydayReportFilterGZip.h"

#include <optional>
#include <utility>

#include "Mayday/Reporting/Filters/MaydayReportFilterBasic.h"
#include "sentry/DataError.h"
#include "sentry/DataGZip.h"

using platform::OptionalError;
using platform::Value;

namespace {

// Runs `convert` on the bytes of a data report; anything else is refused
// in `domain` before the codec sees it.
template <typename Convert>
Value convertData(const Value& report, OptionalError& error, const char* domain, Convert convert) {
    if (!report.isData()) {
        error = errorWithDomain(domain, 0, "Report is not data (%s)", report.className());
        return Value();
    }
    std::optional<Value::Bytes> converted = convert(report.dataValue(), &error);
    if (!converted) return Value();
    return Value::data(std::move(*converted));
}

}  // namespace

std::shared_ptr<MaydayReportFilterGZipCompress> MaydayReportFilterGZipCompress::filterWithCompressionLevel(
    int compressionLevel) {
    return std::make_shared<MaydayReportFilterGZipCompress>(compressionLevel);
}

MaydayReportFilterGZipCompress::MaydayReportFilterGZipCompress(int compressionLevel)
    : compressionLevel_(compressionLevel) {}

void MaydayReportFilterGZipCompress::filterReports(Value reports, MaydayReportFilterCompletion onCompletion) {
    const int level = compressionLevel_;
    mdfilter_filterEach(reports, onCompletion, [level](const Value& report, OptionalError& error) {
        return convertData(report, error, "MaydayReportFilterGZipCompress",
                           [level](const Value::Bytes& data, OptionalError* slot) {
                               return gzippedWithCompressionLevel(data, level, slot);
                           });
    });
}

std::shared_ptr<MaydayReportFilterGZipDecompress> MaydayReportFilterGZipDecompress::filter() {
    return std::make_shared<MaydayReportFilterGZipDecompress>();
}

void MaydayReportFilterGZipDecompress::filterReports(Value reports, MaydayReportFilterCompletion onCompletion) {
    mdfilter_filterEach(reports, onCompletion, [](const Value& report, OptionalError& error) {
        return convertData(report, error, "MaydayReportFilterGZipDecompress", gunzippedWithError);
    });
}
