// Reports to JSON data and back, through MDJSONCodec.
#pragma once

#include <memory>

#include "Mayday/Recording/Tools/MDJSONCodecObjC.h"
#include "Mayday/Reporting/Filters/MaydayReportFilter.h"

// Each report encoded as JSON data; a failure stops the filter with the
// codec's error.
class MaydayReportFilterJSONEncode : public MaydayReportFilter {
public:
    // `encodeOptions`: MDJSONEncodeOption bits.
    static std::shared_ptr<MaydayReportFilterJSONEncode> filterWithOptions(unsigned encodeOptions);
    explicit MaydayReportFilterJSONEncode(unsigned encodeOptions);

    unsigned encodeOptions() const noexcept { return encodeOptions_; }
    void setEncodeOptions(unsigned encodeOptions) noexcept { encodeOptions_ = encodeOptions; }

    void filterReports(platform::Value reports, MaydayReportFilterCompletion onCompletion) override;

private:
    unsigned encodeOptions_;
};

// Each data report decoded from JSON; a report that is not data or gives no
// object stops the filter with the codec's error. With
// MDJSONDecodeOptionKeepPartialObject a partly decoded object is kept and the
// walk goes on, as that option asks.
class MaydayReportFilterJSONDecode : public MaydayReportFilter {
public:
    // `decodeOptions`: MDJSONDecodeOption bits.
    static std::shared_ptr<MaydayReportFilterJSONDecode> filterWithOptions(unsigned decodeOptions);
    explicit MaydayReportFilterJSONDecode(unsigned decodeOptions);

    unsigned decodeOptions() const noexcept { return decodeOptions_; }
    void setDecodeOptions(unsigned decodeOptions) noexcept { decodeOptions_ = decodeOptions; }

    void filterReports(platform::Value reports, MaydayReportFilterCompletion onCompletion) override;

private:
    unsigned decodeOptions_;
};
