// The crash doctor. It knows no rules yet, so no report gets a diagnosis.
#include "Mayday/Reporting/Filters/MaydayDoctor.h"

std::shared_ptr<MaydayDoctor> MaydayDoctor::doctor() { return std::make_shared<MaydayDoctor>(); }

platform::Value MaydayDoctor::diagnoseCrash(const platform::Value& report) const {
    (void)report;
    return platform::Value();
}
