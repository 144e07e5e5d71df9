// Stored reports as a crash, a full disk or an editor may leave them: the
// fix-up, the decoder, the crash doctor, the platform crash text in every
// style and the Sentry conversion must take any of them without a fault.
// Seeded with the recorder's own reports (tests/fixtures/reports), which
// the fuzzer then cuts, splices and retypes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "Mayday/Recording/MaydayReportReader.h"
#include "Mayday/Reporting/Filters/MaydayReportFilterAppleFmt.h"
#include "sentry/SentryEvent.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const MaydayReadReport read = maydayDecodeStoredReport(std::string(reinterpret_cast<const char*>(data), size));
    if (!read.report.isDictionary()) return 0;
    for (int style = 0; style < 4; style++)
        (void)MaydayReportFilterAppleFmt::filterWithReportStyle(style)->toAppleFormat(read.report);
    (void)sentryEventForReport(read.report);
    return 0;
}
