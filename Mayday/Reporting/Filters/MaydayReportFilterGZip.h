// gzip compression and decompression of data reports.
#pragma once

#include <memory>

#include "Mayday/Reporting/Filters/MaydayReportFilter.h"

// Each data report gzipped; a report that is not data, or that the
// compressor refuses, stops the filter with the reason.
class MaydayReportFilterGZipCompress : public MaydayReportFilter {
public:
    // `compressionLevel`: -1 for zlib's default, 0 to 9.
    static std::shared_ptr<MaydayReportFilterGZipCompress> filterWithCompressionLevel(int compressionLevel);
    explicit MaydayReportFilterGZipCompress(int compressionLevel);

    int compressionLevel() const noexcept { return compressionLevel_; }
    void setCompressionLevel(int compressionLevel) noexcept { compressionLevel_ = compressionLevel; }

    void filterReports(platform::Value reports, MaydayReportFilterCompletion onCompletion) override;

private:
    int compressionLevel_;
};

// Each data report gunzipped; a report that is not data, or not gzip, stops
// the filter with the reason.
class MaydayReportFilterGZipDecompress : public MaydayReportFilter {
public:
    static std::shared_ptr<MaydayReportFilterGZipDecompress> filter();
    void filterReports(platform::Value reports, MaydayReportFilterCompletion onCompletion) override;
};
