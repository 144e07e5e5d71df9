#include "Mayday/Reporting/Filters/MaydayFilterSets.h"

#include "Mayday/Recording/Tools/MDJSONCodecObjC.h"
#include "Mayday/Reporting/Filters/MaydayReportFilterAppleFmt.h"
#include "Mayday/Reporting/Filters/MaydayReportFilterBasic.h"
#include "Mayday/Reporting/Filters/MaydayReportFilterGZip.h"
#include "Mayday/Reporting/Filters/MaydayReportFilterJSON.h"

using platform::Value;

namespace {

constexpr const char* kAppleReportKey = "Apple Report";
constexpr const char* kUserSystemKey = "User & System Data";
// zlib's own choice between speed and size.
constexpr int kDefaultCompressionLevel = -1;

}  // namespace

std::shared_ptr<MaydayReportFilter> MaydayFilterSets::appleFmtWithUserAndSystemData(int reportStyle,
                                                                                    bool compressed) {
    auto userSystemData = MaydayReportFilterPipeline::filterWithFilters({
        MaydayReportFilterSubset::filterWithKeys({Value("system"), Value("user")}),
        MaydayReportFilterJSONEncode::filterWithOptions(MDJSONEncodeOptionPretty | MDJSONEncodeOptionSorted),
        MaydayReportFilterDataToString::filter(),
    });
    MaydayReportFilterList filters = {
        MaydayReportFilterCombine::filterWithFiltersAndKeys({
            MaydayReportFilterAppleFmt::filterWithReportStyle(reportStyle),
            kAppleReportKey,
            userSystemData,
            kUserSystemKey,
        }),
        MaydayReportFilterConcatenate::filterWithSeparatorFmt("\n\n-------- %@ --------\n\n",
                                                              {Value(kAppleReportKey), Value(kUserSystemKey)}),
    };
    if (compressed) {
        filters.push_back(MaydayReportFilterStringToData::filter());
        filters.push_back(MaydayReportFilterGZipCompress::filterWithCompressionLevel(kDefaultCompressionLevel));
    }
    return std::make_shared<MaydayReportFilterPipeline>(std::move(filters));
}
