// The basic report filters: composition (pipeline, combine) and the
// per-report transforms (key selection, concatenation, subsets, string and
// data conversion), plus the helpers every filter implementation shares.
//
// Errors are in the domain of the failing filter's class name, code 0.
// Per-report filters finish synchronously on the calling thread; a stop hands
// on the reports produced before the failing one.
#pragma once

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "Mayday/Reporting/Filters/MaydayReportFilter.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

// ---- Helpers for filter implementations.

// Calls `onCompletion` unless it is empty.
void mdfilter_callCompletion(const MaydayReportFilterCompletion& onCompletion, platform::Value filteredReports,
                             bool completed, platform::OptionalError error);

// One report's transform: answers the new report, or nil with `error` set to stop.
using MaydayReportTransform =
    std::function<platform::Value(const platform::Value& report, platform::OptionalError& error)>;

// Walks `reports` in order through `transform` and completes with (output,
// YES, nil), or at the first failure with (output so far, NO, its error).
void mdfilter_filterEach(const platform::Value& reports, const MaydayReportFilterCompletion& onCompletion,
                         const MaydayReportTransform& transform);

// Drops `object` on the main queue, so per-call chain state outlives the
// completion that is running when the chain ends.
void mdfilter_releaseOnMainQueue(std::shared_ptr<void> object);

// ---- Argument lists.

// One entry of a filter list: a filter, a list of filters, or a key (a
// Value). Which kinds a list accepts is up to the constructor taking it.
class MaydayReportFilterArgument {
public:
    enum class Kind { Filter, Filters, Key };

    template <typename F>
        requires std::is_base_of_v<MaydayReportFilter, F>
    MaydayReportFilterArgument(std::shared_ptr<F> filter)
        : kind_(Kind::Filter), filters_{std::shared_ptr<MaydayReportFilter>(std::move(filter))} {}
    MaydayReportFilterArgument(std::vector<std::shared_ptr<MaydayReportFilter>> filters)
        : kind_(Kind::Filters), filters_(std::move(filters)) {}
    MaydayReportFilterArgument(std::initializer_list<std::shared_ptr<MaydayReportFilter>> filters)
        : kind_(Kind::Filters), filters_(filters) {}
    MaydayReportFilterArgument(platform::Value key) : kind_(Kind::Key), key_(std::move(key)) {}
    MaydayReportFilterArgument(const char* key) : MaydayReportFilterArgument(platform::Value(key)) {}
    MaydayReportFilterArgument(std::string key) : MaydayReportFilterArgument(platform::Value(std::move(key))) {}

    Kind kind() const noexcept { return kind_; }
    // Filter: the filter (possibly null); Filters: the list.
    const std::vector<std::shared_ptr<MaydayReportFilter>>& filters() const noexcept { return filters_; }
    const platform::Value& key() const noexcept { return key_; }
    // What a log line shows for this argument.
    std::string description() const;

private:
    Kind kind_;
    std::vector<std::shared_ptr<MaydayReportFilter>> filters_;
    platform::Value key_;
};

using MaydayReportFilterList = std::vector<std::shared_ptr<MaydayReportFilter>>;

// ---- Composition.

// Hands the reports on unchanged.
class MaydayReportFilterPassthrough : public MaydayReportFilter {
public:
    static std::shared_ptr<MaydayReportFilterPassthrough> filter();
    void filterReports(platform::Value reports, MaydayReportFilterCompletion onCompletion) override;
};

// Runs every filter on the same input; report i of the result maps keys[j]
// to the i-th report of filter j (for each filter that produced that many).
class MaydayReportFilterCombine : public MaydayReportFilter {
public:
    // Alternating filter, key, filter, key, ... A list of filters in filter
    // position becomes a pipeline of them; a key there is logged as "Not a
    // filter" and dropped (the next entry is again taken as a filter). A
    // filter in key position is logged as "Not a key" and dropped.
    static std::shared_ptr<MaydayReportFilterCombine> filterWithFiltersAndKeys(
        std::vector<MaydayReportFilterArgument> filtersAndKeys);
    explicit MaydayReportFilterCombine(std::vector<MaydayReportFilterArgument> filtersAndKeys);
    // `keys` is an array; keys that are not strings name their entries by
    // their description.
    MaydayReportFilterCombine(MaydayReportFilterList filters, platform::Value keys);

    const MaydayReportFilterList& filters() const noexcept { return filters_; }
    const platform::Value& keys() const noexcept { return keys_; }

    void filterReports(platform::Value reports, MaydayReportFilterCompletion onCompletion) override;

private:
    MaydayReportFilterList filters_;
    platform::Value keys_;
};

// Runs the filters one after the other, each on the previous one's output.
class MaydayReportFilterPipeline : public MaydayReportFilter {
public:
    // A list entry contributes its filters; keys and null filters are logged
    // as "Not a filter" and dropped.
    static std::shared_ptr<MaydayReportFilterPipeline> filterWithFilters(
        std::vector<MaydayReportFilterArgument> filters);
    MaydayReportFilterPipeline(std::initializer_list<MaydayReportFilterArgument> filters);
    explicit MaydayReportFilterPipeline(MaydayReportFilterList filtersArray);

    const MaydayReportFilterList& filters() const noexcept { return filters_; }
    // Puts `filter` in front: it runs first.
    void addFilter(std::shared_ptr<MaydayReportFilter> filter);

    void filterReports(platform::Value reports, MaydayReportFilterCompletion onCompletion) override;
    // As the last filter does: the pipeline hands on its output.
    bool completesWithDeliveredReports() const override;

private:
    MaydayReportFilterList filters_;
};

// ---- Per-report transforms.

// The value under `key` of each report: a string key is a key path
// ("crash/error/type"); any other key is looked up as a dictionary key,
// which (dictionary keys being strings) never matches.
class MaydayReportFilterObjectForKey : public MaydayReportFilter {
public:
    static std::shared_ptr<MaydayReportFilterObjectForKey> filterWithKey(platform::Value key, bool allowNotFound);
    MaydayReportFilterObjectForKey(platform::Value key, bool allowNotFound);

    const platform::Value& key() const noexcept { return key_; }
    void setKey(platform::Value key) { key_ = std::move(key); }
    // A missing value becomes an empty dictionary instead of stopping.
    bool allowNotFound() const noexcept { return allowNotFound_; }
    void setAllowNotFound(bool allowNotFound) noexcept { allowNotFound_ = allowNotFound; }

    void filterReports(platform::Value reports, MaydayReportFilterCompletion onCompletion) override;

private:
    platform::Value key_;
    bool allowNotFound_;
};

// One string per report: the values at the key paths, each after the first
// preceded by `separatorFmt` formatted with its key path ("%@").
class MaydayReportFilterConcatenate : public MaydayReportFilter {
public:
    // Array keys contribute their elements; nil keys are dropped.
    static std::shared_ptr<MaydayReportFilterConcatenate> filterWithSeparatorFmt(std::string separatorFmt,
                                                                                 std::vector<platform::Value> keys);
    MaydayReportFilterConcatenate(std::string separatorFmt, std::initializer_list<platform::Value> keys);
    MaydayReportFilterConcatenate(std::string separatorFmt, platform::Value keysArray);

    // A format the program wrote, never outside text.
    const std::string& separatorFmt() const noexcept { return separatorFmt_; }
    void setSeparatorFmt(std::string separatorFmt) { separatorFmt_ = std::move(separatorFmt); }
    const platform::Value& keys() const noexcept { return keys_; }
    void setKeys(platform::Value keys) { keys_ = std::move(keys); }

    void filterReports(platform::Value reports, MaydayReportFilterCompletion onCompletion) override;

private:
    std::string separatorFmt_;
    platform::Value keys_;
};

// One dictionary per report: the value at each key path under the path's
// last component.
class MaydayReportFilterSubset : public MaydayReportFilter {
public:
    static std::shared_ptr<MaydayReportFilterSubset> filterWithKeys(std::vector<platform::Value> keyPaths);
    MaydayReportFilterSubset(std::initializer_list<platform::Value> keyPaths);
    explicit MaydayReportFilterSubset(platform::Value keyPathsArray);

    const platform::Value& keyPaths() const noexcept { return keyPaths_; }
    void setKeyPaths(platform::Value keyPaths) { keyPaths_ = std::move(keyPaths); }

    void filterReports(platform::Value reports, MaydayReportFilterCompletion onCompletion) override;

private:
    platform::Value keyPaths_;
};

// Data reports to strings; data that is not UTF-8, or a report that is not
// data, stops the filter with "Could not convert report from UTF-8".
class MaydayReportFilterDataToString : public MaydayReportFilter {
public:
    static std::shared_ptr<MaydayReportFilterDataToString> filter();
    void filterReports(platform::Value reports, MaydayReportFilterCompletion onCompletion) override;
};

// String reports to their UTF-8 data; a report that is not a string (or not
// UTF-8) stops the filter with "Could not convert report to UTF-8".
class MaydayReportFilterStringToData : public MaydayReportFilter {
public:
    static std::shared_ptr<MaydayReportFilterStringToData> filter();
    void filterReports(platform::Value reports, MaydayReportFilterCompletion onCompletion) override;
};

// Every report as a string.
class MaydayReportFilterStringify : public MaydayReportFilter {
public:
    static std::shared_ptr<MaydayReportFilterStringify> filter();
    // A string unchanged; data as UTF-8 text (bytes that are not UTF-8 become
    // U+FFFD); anything else as its description.
    platform::Value stringifyObject(const platform::Value& object) const;
    void filterReports(platform::Value reports, MaydayReportFilterCompletion onCompletion) override;
};
