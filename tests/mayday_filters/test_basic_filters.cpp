// The composition filters and the per-report transforms: results, stops
// with their partial output, the error texts, and chain state that outlives
// its caller.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Mayday/Reporting/Filters/MaydayReportFilterBasic.h"
#include "Mayday/Reporting/Filters/MaydayReportFilterGZip.h"
#include "Mayday/Reporting/Filters/MaydayReportFilterJSON.h"
#include "StdoutCapture.h"
#include "platform/dispatch/Dispatch.h"

using platform::MainLoop;
using platform::OptionalError;
using platform::Value;

namespace {

struct Outcome {
    int calls = 0;
    Value reports;
    bool completed = false;
    OptionalError error;
};

// Runs `filter` and records its completion.
Outcome run(MaydayReportFilter& filter, const Value& reports) {
    Outcome outcome;
    filter.filterReports(reports, [&outcome](Value filtered, bool completed, OptionalError error) {
        ++outcome.calls;
        outcome.reports = std::move(filtered);
        outcome.completed = completed;
        outcome.error = std::move(error);
    });
    return outcome;
}

void expectStop(const Outcome& outcome, const Value& partial, const std::string& domain, const std::string& text) {
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_FALSE(outcome.completed);
    EXPECT_EQ(outcome.reports, partial) << outcome.reports.description();
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->domain, domain);
    EXPECT_EQ(outcome.error->code, 0);
    EXPECT_EQ(outcome.error->localizedDescription, text);
}

// A filter that answers with fixed results and counts its runs.
class FixedFilter : public MaydayReportFilter {
public:
    FixedFilter(Value output, bool completed = true, OptionalError error = std::nullopt)
        : output_(std::move(output)), completed_(completed), error_(std::move(error)) {}
    void filterReports(Value reports, MaydayReportFilterCompletion onCompletion) override {
        ++runs;
        seen = reports;
        onCompletion(output_, completed_, error_);
    }
    int runs = 0;
    Value seen;

private:
    Value output_;
    bool completed_;
    OptionalError error_;
};

// A filter that completes only when told to, with its input.
class LaterFilter : public MaydayReportFilter {
public:
    void filterReports(Value reports, MaydayReportFilterCompletion onCompletion) override {
        reports_ = std::move(reports);
        pending_ = std::move(onCompletion);
    }
    void finish() {
        auto completion = std::move(pending_);
        pending_ = nullptr;
        completion(reports_, true, std::nullopt);
    }

private:
    Value reports_;
    MaydayReportFilterCompletion pending_;
};

std::shared_ptr<FixedFilter> fixed(Value output) { return std::make_shared<FixedFilter>(std::move(output)); }

Value bytes(const std::string& text) { return Value::data(text.data(), text.size()); }

}  // namespace

TEST(ReportFilterPipeline, EmptyPassesThroughAndStopsSkipTheRest) {
    const Value reports = Value::array({"a", "b"});
    MaydayReportFilterPipeline empty(MaydayReportFilterList{});
    Outcome passed = run(empty, reports);
    EXPECT_TRUE(passed.completed);
    EXPECT_TRUE(passed.reports.isSameContainer(reports));

    auto first = fixed(Value::array({"one"}));
    auto refusing = std::make_shared<FixedFilter>(Value::array({"partial"}), false,
                                                  platform::Error("Sink", 3, "refused"));
    auto third = fixed(Value::array({"three"}));
    auto pipeline = MaydayReportFilterPipeline::filterWithFilters({first, refusing, third});
    Outcome stopped = run(*pipeline, reports);
    EXPECT_EQ(stopped.calls, 1);
    EXPECT_FALSE(stopped.completed);
    EXPECT_EQ(stopped.reports, Value::array({"partial"}));
    ASSERT_TRUE(stopped.error);
    EXPECT_EQ(stopped.error->domain, "Sink");
    EXPECT_EQ(refusing->seen, Value::array({"one"}));
    EXPECT_EQ(third->runs, 0);

    auto nothing = fixed(Value());
    MaydayReportFilterPipeline nilStep{nothing, third};
    expectStop(run(nilStep, reports), Value(), "MaydayReportFilterPipeline", "filteredReports was nil");
    EXPECT_EQ(third->runs, 0);
    MainLoop::drainPending();
}

TEST(ReportFilterPipeline, ListsAreFlattenedKeysDroppedAndAddFilterRunsFirst) {
    auto a = fixed(Value::array({"a"}));
    auto b = fixed(Value::array({"b"}));
    auto c = fixed(Value::array({"c"}));
    zeltest::StdoutCapture log;
    MaydayReportFilterPipeline pipeline{a, {b, c}, Value(42)};
    const std::string logged = log.finish();
    ASSERT_EQ(pipeline.filters().size(), 3u);
    EXPECT_EQ(pipeline.filters()[1], b);
    EXPECT_NE(logged.find("ERROR"), std::string::npos) << logged;
    EXPECT_NE(logged.find("Not a filter: 42"), std::string::npos) << logged;

    auto front = fixed(Value::array({"front"}));
    pipeline.addFilter(front);
    EXPECT_EQ(run(pipeline, Value::array({"in"})).reports, Value::array({"c"}));
    EXPECT_EQ(front->seen, Value::array({"in"}));
    EXPECT_EQ(a->seen, Value::array({"front"}));
    MainLoop::drainPending();
}

TEST(ReportFilterPipeline, OutlivesItsCallerAndLetsGoOnTheMainQueue) {
    MainLoop::adoptCurrentThreadAsMain();
    auto later = std::make_shared<LaterFilter>();
    auto tail = fixed(Value::array({"sent"}));
    std::weak_ptr<FixedFilter> tailWatch = tail;
    auto pipeline = MaydayReportFilterPipeline::filterWithFilters({later, tail});
    Outcome outcome;
    pipeline->filterReports(Value::array({"r"}), [&](Value filtered, bool completed, OptionalError) {
        ++outcome.calls;
        outcome.reports = filtered;
        outcome.completed = completed;
    });
    pipeline.reset();
    tail.reset();
    EXPECT_FALSE(tailWatch.expired());  // the running chain holds it

    later->finish();
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.reports, Value::array({"sent"}));
    EXPECT_FALSE(tailWatch.expired()) << "released before the main queue ran";
    MainLoop::drainPending();
    EXPECT_TRUE(tailWatch.expired()) << "the chain state leaked";
}

TEST(ReportFilterCombine, MismatchAndStops) {
    const Value reports = Value::array({"in"});
    MaydayReportFilterCombine mismatched({fixed(Value::array()), fixed(Value::array())}, Value::array({"only"}));
    expectStop(run(mismatched, reports), reports, "MaydayReportFilterCombine",
               "Key/filter mismatch (1 keys, 2 filters");

    MaydayReportFilterCombine none(MaydayReportFilterList{}, Value::array());
    EXPECT_TRUE(run(none, reports).completed);

    auto refusing = std::make_shared<FixedFilter>(Value::array({"p"}), false, platform::Error("X", 1, "no"));
    auto never = fixed(Value::array());
    MaydayReportFilterCombine stopped({refusing, never}, Value::array({"a", "b"}));
    Outcome outcome = run(stopped, reports);
    EXPECT_FALSE(outcome.completed);
    EXPECT_EQ(outcome.reports, Value::array({"p"}));
    EXPECT_EQ(never->runs, 0);

    MaydayReportFilterCombine nilOutput({fixed(Value::array()), fixed(Value())}, Value::array({"a", "b"}));
    expectStop(run(nilOutput, reports), Value(), "MaydayReportFilterCombine", "filteredReports was nil");
    MainLoop::drainPending();
}

TEST(ReportFilterCombine, OutputsOfDifferentLengthsStopInsteadOfPairingTheWrongReports) {
    auto three = fixed(Value::array({"x0", "x1", "x2"}));
    auto two = fixed(Value::array({"y0", "y1"}));
    auto combine = MaydayReportFilterCombine::filterWithFiltersAndKeys({three, "x", two, "y"});
    Outcome outcome = run(*combine, Value::array({"in"}));
    EXPECT_FALSE(outcome.completed);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->localizedDescription, "Filter 1 gave 2 reports where the first gave 3");
    EXPECT_EQ(outcome.reports, Value::array({"in"})) << "the input goes back, untouched";
    EXPECT_EQ(two->seen, Value::array({"in"}));  // each filter gets the input
    MainLoop::drainPending();
}

TEST(ReportFilterCombine, ArgumentListWrapsListsAndSkipsNonFilters) {
    auto first = fixed(Value::array({"1"}));
    auto second = fixed(Value::array({"2"}));
    auto upper = fixed(Value::array({"U"}));
    zeltest::StdoutCapture log;
    MaydayReportFilterCombine combine({Value("stray"), first, "k1", {second, upper}, "k2"});
    const std::string logged = log.finish();
    EXPECT_NE(logged.find("Not a filter: stray"), std::string::npos) << logged;
    ASSERT_EQ(combine.filters().size(), 2u);
    EXPECT_EQ(combine.filters()[0], first);
    EXPECT_EQ(combine.keys(), Value::array({"k1", "k2"}));
    Outcome outcome = run(combine, Value::array({"in"}));
    EXPECT_EQ(outcome.reports, Value::array({Value::dictionary({{"k1", "1"}, {"k2", "U"}})}));
    EXPECT_EQ(upper->seen, Value::array({"2"}));  // the list ran as a pipeline
    MainLoop::drainPending();
}

TEST(ReportFilterObjectForKey, MissingKeysStopOrBecomeEmpty) {
    const Value reports = Value::array({
        Value::dictionary({{"crash", Value::dictionary({{"type", "signal"}})}}),
        Value::dictionary({{"other", 1}}),
        Value::dictionary({{"crash", Value::dictionary({{"type", "mach"}})}}),
    });
    MaydayReportFilterObjectForKey strict("crash/type", false);
    expectStop(run(strict, reports), Value::array({"signal"}), "MaydayReportFilterObjectForKey",
               "Key not found: crash/type");

    auto lenient = MaydayReportFilterObjectForKey::filterWithKey("crash/type", true);
    Outcome outcome = run(*lenient, reports);
    EXPECT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.reports, Value::array({"signal", Value::dictionary(), "mach"}));

    // A number names no member, even one spelled with its digits.
    MaydayReportFilterObjectForKey number(Value(7), false);
    expectStop(run(number, Value::array({Value::dictionary({{"7", "seven"}}), Value::array({"a"})})), Value::array(),
               "MaydayReportFilterObjectForKey", "Key not found: 7");
}

TEST(ReportFilterSubsetAndConcatenate, KeyPathsShapeTheOutput) {
    const Value system = Value::dictionary({{"memory", Value::dictionary({{"free", 12}})}, {"os", "Linux"}});
    const Value report = Value::dictionary({{"system", system}, {"a", "first"}, {"b", "second"}});

    auto subset = MaydayReportFilterSubset::filterWithKeys({"system/memory", "a"});
    EXPECT_EQ(run(*subset, Value::array({report})).reports,
              Value::array({Value::dictionary({{"memory", Value::dictionary({{"free", 12}})}, {"a", "first"}})}));
    MaydayReportFilterSubset missing{"a", "system/cpu"};
    expectStop(run(missing, Value::array({report, Value::dictionary()})), Value::array(), "MaydayReportFilterSubset",
               "Report did not have key path system/cpu");

    auto concatenate = MaydayReportFilterConcatenate::filterWithSeparatorFmt("\n\n-------- %@ --------\n\n",
                                                                             {"a", "b"});
    EXPECT_EQ(run(*concatenate, Value::array({report})).reports,
              Value::array({"first\n\n-------- b --------\n\nsecond"}));
    MaydayReportFilterConcatenate flattened(" | %@=", {Value::array({"a", "system/os"}), "nothere"});
    EXPECT_EQ(flattened.keys(), Value::array({"a", "system/os", "nothere"}));
    EXPECT_EQ(run(flattened, Value::array({report})).reports, Value::array({"first | system/os=Linux | nothere=(null)"}));
}

TEST(ReportFilterStrings, ConversionsRefuseWhatTheyCannotConvert) {
    auto toString = MaydayReportFilterDataToString::filter();
    EXPECT_EQ(run(*toString, Value::array({bytes("h\xC3\xA9")})).reports, Value::array({"h\xC3\xA9"}));
    expectStop(run(*toString, Value::array({bytes("ok"), bytes("bad\xC3("), bytes("more")})), Value::array({"ok"}),
               "MaydayReportFilterDataToString", "Could not convert report from UTF-8");
    expectStop(run(*toString, Value::array({"already text"})), Value::array(), "MaydayReportFilterDataToString",
               "Could not convert report from UTF-8");

    auto toData = MaydayReportFilterStringToData::filter();
    EXPECT_EQ(run(*toData, Value::array({"abc"})).reports, Value::array({bytes("abc")}));
    expectStop(run(*toData, Value::array({"abc", Value(5)})), Value::array({bytes("abc")}),
               "MaydayReportFilterStringToData", "Could not convert report to UTF-8");

    MaydayReportFilterStringify stringify;
    EXPECT_EQ(stringify.stringifyObject(bytes("x\xFFy")), Value("x\xEF\xBF\xBDy"));
    EXPECT_EQ(run(stringify, Value::array({"s", bytes("d"), Value(3)})).reports, Value::array({"s", "d", "3"}));
}

TEST(ReportFilterGZipAndJSON, RoundTripsAndCodecErrors) {
    const Value report = Value::dictionary({{"crash", Value::dictionary({{"threads", Value::array({1, 2})}})}});
    MaydayReportFilterPipeline roundTrip{MaydayReportFilterJSONEncode::filterWithOptions(MDJSONEncodeOptionSorted),
                                         MaydayReportFilterGZipCompress::filterWithCompressionLevel(9),
                                         MaydayReportFilterGZipDecompress::filter(),
                                         MaydayReportFilterJSONDecode::filterWithOptions(0)};
    Outcome outcome = run(roundTrip, Value::array({report, Value::array({"x"})}));
    EXPECT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.reports, Value::array({report, Value::array({"x"})})) << outcome.reports.description();
    MainLoop::drainPending();

    auto compress = MaydayReportFilterGZipCompress::filterWithCompressionLevel(-1);
    Outcome zipped = run(*compress, Value::array({bytes("one")}));
    ASSERT_TRUE(zipped.completed);
    const Value gz = zipped.reports[0];
    EXPECT_EQ(gz.dataValue().at(0), 0x1F);
    Outcome notData = run(*compress, Value::array({bytes("one"), Value("text")}));
    EXPECT_FALSE(notData.completed);
    EXPECT_EQ(notData.reports, Value::array({gz}));
    ASSERT_TRUE(notData.error);
    EXPECT_EQ(notData.error->domain, "MaydayReportFilterGZipCompress");

    MaydayReportFilterGZipDecompress decompress;
    expectStop(run(decompress, Value::array({gz, bytes("plain")})), Value::array({bytes("one")}), "NSData",
               "inflate: Invalid data");

    MaydayReportFilterJSONDecode decode(0);
    Outcome broken = run(decode, Value::array({bytes("[1]"), bytes("{\"a\": [1, "), bytes("[2]")}));
    EXPECT_FALSE(broken.completed);
    EXPECT_EQ(broken.reports, Value::array({Value::array({1})}));
    ASSERT_TRUE(broken.error);
    EXPECT_EQ(broken.error->domain, "MDJSONCodecObjC") << broken.error->description();
}

TEST(ReportFilterContract, EmptyCompletionIsNotCalled) {
    MainLoop::adoptCurrentThreadAsMain();
    auto later = std::make_shared<LaterFilter>();
    const std::vector<std::shared_ptr<MaydayReportFilter>> filters = {
        MaydayReportFilterPassthrough::filter(),
        MaydayReportFilterPipeline::filterWithFilters({MaydayReportFilterStringify::filter(), later}),
        MaydayReportFilterCombine::filterWithFiltersAndKeys({MaydayReportFilterPassthrough::filter(), "k"}),
        MaydayReportFilterCombine::filterWithFiltersAndKeys({MaydayReportFilterPassthrough::filter()}),
        MaydayReportFilterObjectForKey::filterWithKey("missing", false),
        MaydayReportFilterDataToString::filter(),
        MaydayReportFilterJSONDecode::filterWithOptions(0),
        MaydayReportFilterGZipDecompress::filter(),
    };
    for (const auto& filter : filters) EXPECT_NO_THROW(filter->filterReports(Value::array({"r"}), nullptr));
    // Calling an empty completion would throw std::bad_function_call.
    EXPECT_NO_THROW(later->finish());
    MainLoop::drainPending();
}
