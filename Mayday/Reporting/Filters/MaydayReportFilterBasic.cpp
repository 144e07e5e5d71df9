// The shared helpers and the composition filters. Pipeline and combine keep
// their per-call state in a shared object that each step's completion owns;
// a step hands its ownership on to the next step rather than pointing back,
// so nothing refers to itself and the state goes once the chain has ended.
#include "Mayday/Reporting/Filters/MaydayReportFilterBasic.h"

#include <utility>

#include "Mayday/Recording/Tools/MDLogger.h"
#include "platform/dispatch/Dispatch.h"
#include "sentry/DataError.h"

using platform::OptionalError;
using platform::Value;

namespace {

constexpr const char* kPipelineDomain = "MaydayReportFilterPipeline";
constexpr const char* kCombineDomain = "MaydayReportFilterCombine";

void logNotAFilter(const MaydayReportFilterArgument& argument) {
    MDLOGOBJ_ERROR("Not a filter: %@", argument.description());
}

// Adds the filters of `argument` to `filters`, one list level deep.
void appendFilters(MaydayReportFilterList& filters, const MaydayReportFilterArgument& argument) {
    if (argument.kind() == MaydayReportFilterArgument::Kind::Key) {
        logNotAFilter(argument);
        return;
    }
    for (const auto& filter : argument.filters()) {
        if (filter) {
            filters.push_back(filter);
        } else {
            MDLOGOBJ_ERROR("Not a filter: %@", Value());
        }
    }
}

// The dictionary key a combine key names.
std::string keyText(const Value& key) { return key.isString() ? key.stringValue() : key.description(); }

// ---- Pipeline run.

struct PipelineRun {
    MaydayReportFilterList filters;  // a copy: addFilter during a run changes nothing
    MaydayReportFilterCompletion onCompletion;
};

void finishPipeline(std::shared_ptr<PipelineRun> run, Value reports, bool completed, OptionalError error) {
    mdfilter_callCompletion(run->onCompletion, std::move(reports), completed, std::move(error));
    mdfilter_releaseOnMainQueue(std::move(run));
}

void runPipelineStep(std::shared_ptr<PipelineRun> run, size_t index, Value reports) {
    const std::shared_ptr<MaydayReportFilter> filter = run->filters[index];
    filter->filterReports(
        std::move(reports), [run = std::move(run), index](Value filtered, bool completed, OptionalError error) mutable {
            if (!run) return;  // a filter that completes twice is only heard once
            if (!completed) {
                finishPipeline(std::move(run), std::move(filtered), false, std::move(error));
            } else if (filtered.isNil()) {
                finishPipeline(std::move(run), Value(), false,
                               errorWithDomain(kPipelineDomain, 0, "filteredReports was nil"));
            } else if (index + 1 < run->filters.size()) {
                runPipelineStep(std::move(run), index + 1, std::move(filtered));
            } else {
                finishPipeline(std::move(run), std::move(filtered), true, std::move(error));
            }
        });
}

// ---- Combine run.

struct CombineRun {
    MaydayReportFilterList filters;
    std::vector<std::string> keys;
    Value reports;
    std::vector<Value> outputs;  // one array per filter that has completed
    MaydayReportFilterCompletion onCompletion;
};

void finishCombine(std::shared_ptr<CombineRun> run, Value reports, bool completed, OptionalError error) {
    mdfilter_callCompletion(run->onCompletion, std::move(reports), completed, std::move(error));
    mdfilter_releaseOnMainQueue(std::move(run));
}

Value combinedOutputs(const CombineRun& run) {
    Value result = Value::array();
    const size_t count = run.outputs.front().count();
    for (size_t i = 0; i < count; ++i) {
        Value entry = Value::dictionary();
        for (size_t j = 0; j < run.outputs.size(); ++j) {
            if (run.outputs[j].count() > i) entry.setObject(run.outputs[j].objectAtIndex(i), run.keys[j]);
        }
        result.addObject(std::move(entry));
    }
    return result;
}

void runCombineStep(std::shared_ptr<CombineRun> run, size_t index) {
    const std::shared_ptr<MaydayReportFilter> filter = run->filters[index];
    Value input = run->reports;
    filter->filterReports(
        std::move(input), [run = std::move(run), index](Value filtered, bool completed, OptionalError error) mutable {
            if (!run) return;
            if (!completed) {
                finishCombine(std::move(run), std::move(filtered), false, std::move(error));
                return;
            }
            if (filtered.isNil()) {
                finishCombine(std::move(run), Value(), false,
                              errorWithDomain(kCombineDomain, 0, "filteredReports was nil"));
                return;
            }
            // Entry i of the result joins the i-th output of every filter: a
            // filter that dropped or added a report would pair the texts of
            // one report with another's.
            if (!run->outputs.empty() && filtered.count() != run->outputs.front().count()) {
                platform::Error mismatch =
                    errorWithDomain(kCombineDomain, 0, "Filter %d gave %d reports where the first gave %d",
                                    static_cast<int>(index), static_cast<int>(filtered.count()),
                                    static_cast<int>(run->outputs.front().count()));
                Value input = run->reports;
                finishCombine(std::move(run), std::move(input), false, std::move(mismatch));
                return;
            }
            run->outputs.push_back(std::move(filtered));
            if (index + 1 < run->filters.size()) {
                runCombineStep(std::move(run), index + 1);
                return;
            }
            Value result = combinedOutputs(*run);
            finishCombine(std::move(run), std::move(result), true, std::move(error));
        });
}

}  // namespace

// ---- Helpers.

void mdfilter_callCompletion(const MaydayReportFilterCompletion& onCompletion, Value filteredReports, bool completed,
                             OptionalError error) {
    if (onCompletion) onCompletion(std::move(filteredReports), completed, std::move(error));
}

void mdfilter_filterEach(const Value& reports, const MaydayReportFilterCompletion& onCompletion,
                         const MaydayReportTransform& transform) {
    Value output = Value::array();
    for (const Value& report : reports.arrayItems()) {
        OptionalError error;
        Value filtered = transform(report, error);
        if (filtered.isNil()) {
            mdfilter_callCompletion(onCompletion, std::move(output), false, std::move(error));
            return;
        }
        output.addObject(std::move(filtered));
    }
    mdfilter_callCompletion(onCompletion, std::move(output), true, std::nullopt);
}

void mdfilter_releaseOnMainQueue(std::shared_ptr<void> object) {
    platform::DispatchQueue::main().async([object = std::move(object)]() mutable { object.reset(); });
}

std::string MaydayReportFilterArgument::description() const {
    switch (kind_) {
        case Kind::Key:
            return key_.description();
        case Kind::Filter:
            return filters_.front() ? "<filter>" : "(null)";
        case Kind::Filters:
            break;
    }
    return "<list of " + std::to_string(filters_.size()) + " filters>";
}

// ---- Passthrough.

std::shared_ptr<MaydayReportFilterPassthrough> MaydayReportFilterPassthrough::filter() {
    return std::make_shared<MaydayReportFilterPassthrough>();
}

void MaydayReportFilterPassthrough::filterReports(Value reports, MaydayReportFilterCompletion onCompletion) {
    mdfilter_callCompletion(onCompletion, std::move(reports), true, std::nullopt);
}

// ---- Combine.

std::shared_ptr<MaydayReportFilterCombine> MaydayReportFilterCombine::filterWithFiltersAndKeys(
    std::vector<MaydayReportFilterArgument> filtersAndKeys) {
    return std::make_shared<MaydayReportFilterCombine>(std::move(filtersAndKeys));
}

MaydayReportFilterCombine::MaydayReportFilterCombine(std::vector<MaydayReportFilterArgument> filtersAndKeys)
    : keys_(Value::array()) {
    using Kind = MaydayReportFilterArgument::Kind;
    bool expectingFilter = true;
    for (const auto& argument : filtersAndKeys) {
        if (expectingFilter) {
            std::shared_ptr<MaydayReportFilter> filter;
            if (argument.kind() == Kind::Filter) {
                filter = argument.filters().front();
            } else if (argument.kind() == Kind::Filters) {
                filter = std::make_shared<MaydayReportFilterPipeline>(argument.filters());
            }
            if (!filter) {
                logNotAFilter(argument);
                continue;  // the next argument is taken as a filter too
            }
            filters_.push_back(std::move(filter));
            expectingFilter = false;
        } else if (argument.kind() != Kind::Key || argument.key().isNil()) {
            MDLOGOBJ_ERROR("Not a key: %@", argument.description());
        } else {
            keys_.addObject(argument.key());
            expectingFilter = true;
        }
    }
}

MaydayReportFilterCombine::MaydayReportFilterCombine(MaydayReportFilterList filters, Value keys)
    : filters_(std::move(filters)), keys_(keys.isArray() ? std::move(keys) : Value::array()) {}

void MaydayReportFilterCombine::filterReports(Value reports, MaydayReportFilterCompletion onCompletion) {
    if (filters_.empty()) {
        mdfilter_callCompletion(onCompletion, std::move(reports), true, std::nullopt);
        return;
    }
    if (filters_.size() != keys_.count()) {
        // The text has no closing parenthesis: receivers match it as it is.
        mdfilter_callCompletion(onCompletion, std::move(reports), false,
                                errorWithDomain(kCombineDomain, 0, "Key/filter mismatch (%d keys, %d filters",
                                                static_cast<int>(keys_.count()), static_cast<int>(filters_.size())));
        return;
    }
    auto run = std::make_shared<CombineRun>();
    run->filters = filters_;
    for (const Value& key : keys_.arrayItems()) run->keys.push_back(keyText(key));
    run->reports = std::move(reports);
    run->onCompletion = std::move(onCompletion);
    runCombineStep(std::move(run), 0);
}

// ---- Pipeline.

std::shared_ptr<MaydayReportFilterPipeline> MaydayReportFilterPipeline::filterWithFilters(
    std::vector<MaydayReportFilterArgument> filters) {
    MaydayReportFilterList flattened;
    for (const auto& argument : filters) appendFilters(flattened, argument);
    return std::make_shared<MaydayReportFilterPipeline>(std::move(flattened));
}

MaydayReportFilterPipeline::MaydayReportFilterPipeline(std::initializer_list<MaydayReportFilterArgument> filters) {
    for (const auto& argument : filters) appendFilters(filters_, argument);
}

MaydayReportFilterPipeline::MaydayReportFilterPipeline(MaydayReportFilterList filtersArray) {
    for (auto& filter : filtersArray) appendFilters(filters_, MaydayReportFilterArgument(std::move(filter)));
}

bool MaydayReportFilterPipeline::completesWithDeliveredReports() const {
    return !filters_.empty() && filters_.back()->completesWithDeliveredReports();
}

void MaydayReportFilterPipeline::addFilter(std::shared_ptr<MaydayReportFilter> filter) {
    if (!filter) {
        MDLOGOBJ_ERROR("Not a filter: %@", Value());
        return;
    }
    filters_.insert(filters_.begin(), std::move(filter));
}

void MaydayReportFilterPipeline::filterReports(Value reports, MaydayReportFilterCompletion onCompletion) {
    if (filters_.empty()) {
        mdfilter_callCompletion(onCompletion, std::move(reports), true, std::nullopt);
        return;
    }
    auto run = std::make_shared<PipelineRun>();
    run->filters = filters_;
    run->onCompletion = std::move(onCompletion);
    runPipelineStep(std::move(run), 0, std::move(reports));
}
