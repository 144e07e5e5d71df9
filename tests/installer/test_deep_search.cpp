#include <gtest/gtest.h>

#include "installer/DeepSearch.h"
#include "platform/foundation/Error.h"

using platform::Value;

namespace {

Value sampleReport() {
    Value thread0 = Value::dictionary({{"index", Value(7)}});
    Value crash = Value::dictionary({{"threads", Value::array({thread0, Value(2)})}});
    return Value::dictionary({{"report", Value::dictionary({{"id", Value("R1")}})},
                              {"crash", crash},
                              {"", Value("empty key")}});
}

std::string reasonOf(const std::function<void()>& body) {
    try {
        body();
    } catch (const platform::InvalidArgumentException& e) {
        return e.name() + ": " + e.reason();
    }
    return "no exception";
}

TEST(DeepSearch, ReadsByPathIgnoringLeadingSlashes) {
    const Value report = sampleReport();
    for (const char* path : {"report/id", "/report/id", "//report/id"}) {
        EXPECT_EQ(objectForKeyPath(report, path), Value("R1")) << path;
    }
    EXPECT_EQ(objectForKeyPath(report, "crash/threads/0/index"), Value(7));
    EXPECT_EQ(objectForKeyPath(report, ""), Value("empty key"));
    EXPECT_EQ(objectForKeyPath(report, "crash/threads/1"), Value(2));
    // Not an index, a negative one, one past the end, a scalar in the way.
    for (const char* path : {"crash/threads/x", "crash/threads/-1", "crash/threads/2", "report/id/0",
                             "report/id/x", "report//id", "report/id/"}) {
        EXPECT_TRUE(objectForKeyPath(report, path).isNil()) << path;
    }
    // Array indexes read as intValue does: leading digits count.
    EXPECT_EQ(objectForKeyPath(report, "crash/threads/0abc/index"), Value(7));
    EXPECT_EQ(objectForDeepKey(report, Value::array({"crash", "threads", Value(0), "index"})), Value(7));
    EXPECT_TRUE(objectForDeepKey(report, Value::array()).isSameContainer(report));
}

TEST(DeepSearch, SetsAndRemovesInPlace) {
    const Value report = sampleReport();
    setObjectForKeyPath(report, Value("R2"), "report/id");
    setObjectForKeyPath(report, Value(9), "crash/threads/0/index");
    setObjectForKeyPath(report, Value("two"), "crash/threads/1");
    EXPECT_EQ(objectForKeyPath(report, "report/id"), Value("R2"));
    EXPECT_EQ(objectForKeyPath(report, "crash/threads/0/index"), Value(9));
    EXPECT_EQ(objectForKeyPath(report, "crash/threads/1"), Value("two"));

    removeObjectForKeyPath(report, "crash/threads/0");
    EXPECT_EQ(objectForKeyPath(report, "crash/threads").count(), 1u);
    removeObjectForDeepKey(report, Value::array({"report", "id"}));
    EXPECT_TRUE(objectForKeyPath(report, "report/id").isNil());
}

TEST(DeepSearch, FailuresNameTheParentAndChangeNothing) {
    const Value report = sampleReport();
    const Value before = report.deepCopy();
    EXPECT_EQ(reasonOf([&] { setObjectForKeyPath(report, Value(1), "a/b"); }),
              "NSInternalInconsistencyException: Parent (\n    a\n) does not resolve to a valid object");
    EXPECT_EQ(reasonOf([&] { setObjectForDeepKey(report, Value(1), Value::array()); }),
              "NSInvalidArgumentException: deepKey (\n) must contain at least one key");
    EXPECT_EQ(reasonOf([&] { removeObjectForDeepKey(report, Value::array()); }),
              "NSInvalidArgumentException: deepKey (\n) must contain at least one key");
    EXPECT_EQ(reasonOf([&] { setObjectForKeyPath(report, Value(1), "report/id/x"); }),
              "NSInternalInconsistencyException: Parent (\n    report,\n    id\n) of type NSString does not respond "
              "to \"setObject:forKey:\" or \"replaceObjectAtIndex:withObject:\"");
    EXPECT_EQ(reasonOf([&] { removeObjectForDeepKey(report, Value::array({"crash", "threads", Value::null()})); }),
              "NSInternalInconsistencyException: Parent (\n    crash,\n    threads\n) of type NSArray does not "
              "respond to \"removeObjectForKey:\"");
    // An index past the end is refused, not written past the array.
    EXPECT_NE(reasonOf([&] { setObjectForKeyPath(report, Value(1), "crash/threads/5"); }), "no exception");
    EXPECT_NE(reasonOf([&] { removeObjectForKeyPath(report, "crash/threads/5"); }), "no exception");
    EXPECT_EQ(report, before);
}

}  // namespace
