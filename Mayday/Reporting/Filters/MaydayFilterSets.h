// Ready-made filter chains the installations send reports through.
#pragma once

#include <memory>

#include "Mayday/Reporting/Filters/MaydayReportFilter.h"

class MaydayFilterSets {
public:
    MaydayFilterSets() = delete;

    // Each report as one string: its platform-style crash text (in
    // `reportStyle`, a MaydayAppleReportStyle), a separator, and the JSON of
    // its "system" and "user" sections. With `compressed`, gzipped UTF-8 data
    // instead of the string.
    static std::shared_ptr<MaydayReportFilter> appleFmtWithUserAndSystemData(int reportStyle, bool compressed);
};
