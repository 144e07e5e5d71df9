#include "Mayday/Installations/MaydayInstallationConsole.h"

#include "Mayday/Recording/Tools/MDJSONCodecObjC.h"
#include "Mayday/Reporting/Filters/MaydayReportFilterAppleFmt.h"
#include "Mayday/Reporting/Filters/MaydayReportFilterBasic.h"
#include "Mayday/Reporting/Filters/MaydayReportFilterJSON.h"
#include "Mayday/Reporting/Sinks/MaydayReportSinkConsole.h"

using platform::Value;

std::shared_ptr<MaydayInstallationConsole> MaydayInstallationConsole::sharedInstance() {
    // Never destroyed: the recorder may use it until the process ends.
    static auto* instance = new std::shared_ptr<MaydayInstallationConsole>(std::make_shared<MaydayInstallationConsole>());
    return *instance;
}

MaydayInstallationConsole::MaydayInstallationConsole() : MaydayInstallation({}) {}

Value MaydayInstallationConsole::valueForProperty(const std::string& propertyName) const {
    if (propertyName == "printAppleFormat") return printAppleFormat_;
    return MaydayInstallation::valueForProperty(propertyName);
}

std::shared_ptr<MaydayReportFilter> MaydayInstallationConsole::sink() {
    std::shared_ptr<MaydayReportFilter> formatter;
    if (printAppleFormat_) {
        formatter = MaydayReportFilterAppleFmt::filterWithReportStyle(MaydayAppleReportStyleSymbolicated);
    } else {
        formatter = MaydayReportFilterPipeline::filterWithFilters(
            {MaydayReportFilterJSONEncode::filterWithOptions(MDJSONEncodeOptionPretty | MDJSONEncodeOptionSorted),
             MaydayReportFilterStringify::filter()});
    }
    return MaydayReportFilterPipeline::filterWithFilters({formatter, MaydayReportSinkConsole::sink()});
}
