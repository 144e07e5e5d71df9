// The contract every step between the stored reports and their destination
// keeps: take an array of reports, hand an array of reports on. A sink is
// the last filter of a chain, the one that sends.
#pragma once

#include <functional>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

// Called exactly once per filterReports call: (reports, completed, error).
// completed true with no error: the reports are the result; false: the
// filter stopped, the error says why (none for a user's refusal), and the
// reports are those produced so far or the input.
using MaydayReportFilterCompletion =
    std::function<void(platform::Value filteredReports, bool completed, platform::OptionalError error)>;

class MaydayReportFilter {
public:
    virtual ~MaydayReportFilter() = default;
    // `reports` is an array; `onCompletion` may be empty (then nobody is told).
    virtual void filterReports(platform::Value reports, MaydayReportFilterCompletion onCompletion) = 0;
    // Whether the reports this filter completes with are exactly the input
    // reports (the same containers) that reached their destination or were
    // refused there for good: then whoever stored them deletes those and
    // keeps the rest for another try. Otherwise the output is just output.
    virtual bool completesWithDeliveredReports() const { return false; }
};
