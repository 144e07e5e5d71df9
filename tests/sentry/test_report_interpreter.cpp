// Crash report -> Sentry event pieces, including damaged reports.
#include <gtest/gtest.h>

#include <string>

#include "installer/DeepSearch.h"
#include "platform/foundation/JSONSerialization.h"
#include "sentry/ReportInterpreters.h"
#include "sentry/SentryEvent.h"

using platform::Value;

namespace {

Value parse(const std::string& json) {
    const Value value = platform::JSONSerialization::JSONObjectWithData(json);
    EXPECT_FALSE(value.isNil()) << json;
    return value;
}

Value at(const Value& root, const char* path) { return objectForKeyPath(root, path); }

// Three threads, the third crashed; one image in the app folder, one system library.
const char* const kSignalReport = R"({
  "report": {"id": "1E11C277-17AA-4AEE-811C-BE72D046DFAE", "timestamp": "2026-12-08T08:41:15Z", "type": "standard"},
  "system": {"system_name": "Linux", "system_version": "6.18", "machine": "x86_64", "model": null,
             "os_version": "#1 SMP", "kernel_version": "Linux version 6.18", "jailbroken": false,
             "cpu_arch": "x86_64", "CFBundleName": "Demo", "CFBundleVersion": "120",
             "CFBundleExecutablePath": "/opt/demo/bin/demo"},
  "binary_images": [
    {"image_addr": 4096, "image_size": 4096, "image_vmaddr": 0, "name": "/opt/demo/bin/demo",
     "uuid": "00112233-4455-6677-8899-AABBCCDDEEFF", "build_id": "00112233445566778899AABBCCDDEEFF01020304"},
    {"image_addr": 65536, "image_size": 4096, "name": "/opt/demo/binary/libx.so",
     "uuid": "F1746C62-C13E-9652-971A-6D89297EBE9A"},
    {"image_addr": 131072, "image_size": 4096, "name": "linux-vdso.so.1", "uuid": null}
  ],
  "crash": {
    "error": {"type": "signal", "signal": {"signal": 11, "name": "SIGSEGV", "code": 0, "code_name": "SEGV_MAPERR"},
              "mach": {"exception": 0, "code": 0, "subcode": 0}},
    "threads": [
      {"index": 0, "crashed": false, "current_thread": true, "name": "main",
       "backtrace": {"contents": [{"instruction_addr": 65600, "symbol_name": "inner"}], "skipped": 3}},
      {"index": 1, "crashed": false, "current_thread": false, "dispatch_queue": "worker",
       "backtrace": {"contents": []}},
      {"index": 7, "crashed": true, "current_thread": false,
       "registers": {"basic": {"rip": 4100, "r10": -1, "r11": 1.8e19, "bad": "xyz"}},
       "backtrace": {"contents": [
         {"instruction_addr": 4096, "symbol_name": "innermost", "symbol_addr": 4090},
         {"instruction_addr": 8192},
         {"instruction_addr": 65537, "symbol_name": "outermost"}]}}
    ]
  },
  "user": {"tags": {"channel": "beta", "seats": 3, "on": true, "list": [1], "none": null},
           "extra": {"k": [1, 2]}, "fingerprint": ["a", 2, {}],
           "breadcrumbs": [
             {"timestamp": "2026-12-08 08:33:50.123 +0000", "category": "ui", "level": "info",
              "message": "tap", "data": {"x": 1}, "junk": 5},
             {"timestamp": "yesterday", "level": "loud", "data": "text"},
             "not an object",
             {"timestamp": "2026-12-08 08:33:50.123 -0130"}]}
})";

TEST(ReportInterpreter, PicksTheInterpreterByErrorType) {
    auto typeOf = [](const char* type) {
        Value report = parse(R"({"crash": {"error": {}}})");
        setObjectForKeyPath(report, Value(type), "crash/error/type");
        return ReportInterpreter::interpreterForReport(report);
    };
    EXPECT_NE(dynamic_cast<NSExceptionReportInterpreter*>(typeOf("nsexception").get()), nullptr);
    EXPECT_NE(dynamic_cast<CPPExceptionReportInterpreter*>(typeOf("cpp_exception").get()), nullptr);
    EXPECT_NE(dynamic_cast<MachExceptionReportInterpreter*>(typeOf("mach").get()), nullptr);
    EXPECT_NE(dynamic_cast<SignalExceptionReportInterpreter*>(typeOf("signal").get()), nullptr);
    EXPECT_NE(dynamic_cast<UserExceptionReportInterpreter*>(typeOf("user").get()), nullptr);
    EXPECT_EQ(typeOf("deadlock"), nullptr);
    EXPECT_EQ(ReportInterpreter::interpreterForReport(parse(R"({"crash": {"error": {"type": 3}}})")), nullptr);
    EXPECT_EQ(ReportInterpreter::interpreterForReport(Value()), nullptr);
}

TEST(ReportInterpreter, AttributesAreTypedForTheServer) {
    const ReportInterpreter interpreter(parse(kSignalReport));
    const Value required = interpreter.requiredAttributes();
    EXPECT_EQ(required["event_id"], Value("1e11c27717aa4aee811cbe72d046dfae"));
    EXPECT_EQ(required["timestamp"], Value("2026-12-08T08:41:15Z"));
    EXPECT_EQ(required["platform"], Value("native"));
    EXPECT_EQ(required["level"], Value("fatal"));

    const Value optional = interpreter.optionalAttributes();
    EXPECT_EQ(optional["release"], Value("120"));
    EXPECT_EQ(optional["tags"], parse(R"({"channel": "beta", "seats": "3", "on": "true"})"));
    EXPECT_EQ(optional["extra"], parse(R"({"k": [1, 2]})"));
    EXPECT_EQ(optional["fingerprint"], parse(R"(["a", "2"])"));

    // Identifiers the server would reject are left for it to assign.
    for (const char* id : {R"("ABC")", "12", R"("1E11C277-17AA-4AEE-811C-BE72D046DFAZ")", R"({"a": 1})"}) {
        const ReportInterpreter bad(parse(std::string(R"({"report": {"id": )") + id + "}}"));
        EXPECT_TRUE(bad.requiredAttributes()["event_id"].isNil()) << id;
    }
    const ReportInterpreter custom(parse(R"({"report": {"type": "custom"}, "level": "warning"})"));
    EXPECT_TRUE(custom.isCustomReport());
    EXPECT_EQ(custom.requiredAttributes()["level"], Value("warning"));
    const ReportInterpreter loud(parse(R"({"report": {"type": "custom"}, "level": "loud",
                                          "system": {"CFBundleVersion": 120}})"));
    EXPECT_TRUE(loud.requiredAttributes()["level"].isNil());
    EXPECT_TRUE(loud.optionalAttributes()["release"].isNil());
}

TEST(ReportInterpreter, ContextsAndBreadcrumbs) {
    const ReportInterpreter interpreter(parse(kSignalReport));
    EXPECT_EQ(interpreter.contextsInterface(), parse(R"({
      "device": {"family": "Linux", "model": "x86_64", "arch": "x86_64"},
      "os": {"name": "Linux", "version": "6.18", "build": "#1 SMP", "kernel_version": "Linux version 6.18",
             "rooted": false},
      "runtime": {"name": "Demo", "version": "120"}})"));
    EXPECT_EQ(ReportInterpreter(parse(R"({"system": {"system_name": "  Ubuntu Linux"}})")).family(), Value("Ubuntu"));
    EXPECT_TRUE(ReportInterpreter(parse(R"({"system": {"system_name": " "}})")).family().isNil());

    EXPECT_EQ(interpreter.breadcrumbsInterface(), parse(R"({"values": [
      {"timestamp": "2026-12-08T08:33:50.123+00:00", "category": "ui", "level": "info", "message": "tap",
       "data": {"x": 1}},
      {"timestamp": "yesterday"},
      {"timestamp": "2026-12-08T08:33:50.123-01:30"}]})"));
}

TEST(ReportInterpreter, ThreadsLeaveTheCrashedStackToTheException) {
    const SignalExceptionReportInterpreter interpreter(parse(kSignalReport));
    EXPECT_EQ(interpreter.crashedThreadIndex(), 2);
    const Value threads = at(interpreter.threadsInterface(), "values");
    ASSERT_EQ(threads.count(), 3u);
    EXPECT_EQ(threads[0]["name"], Value("main"));
    EXPECT_EQ(threads[0]["current"], Value(true));
    EXPECT_EQ(threads[1]["name"], Value("worker"));  // from the queue
    EXPECT_TRUE(threads[1]["stacktrace"].isNil());    // no frames
    EXPECT_EQ(threads[2]["id"], Value(7));
    EXPECT_EQ(threads[2]["crashed"], Value(true));
    EXPECT_TRUE(threads[2]["stacktrace"].isNil());
    // Skipped frames are not announced: the server has no such member.
    EXPECT_EQ(at(threads[0], "stacktrace").allKeys(), std::vector<std::string>{"frames"});

    const Value exception = at(interpreter.exceptionInterface(), "values/0");
    EXPECT_EQ(exception["type"], Value("SIGSEGV"));
    EXPECT_EQ(exception["value"], Value("Signal 11, Code 0"));
    EXPECT_EQ(exception["thread_id"], Value(7));
    EXPECT_EQ(exception["mechanism"], parse(R"({"type": "signal", "handled": false,
      "meta": {"signal": {"number": 11, "code": 0, "name": "SIGSEGV", "code_name": "SEGV_MAPERR"}}})"));
    // Above 2^63, whether decoded as a negative integer or a float.
    EXPECT_EQ(at(exception, "stacktrace/registers"),
              parse(R"({"rip": "0x0000000000001004", "r10": "0xffffffffffffffff", "r11": "0xf9ccd8a1c5080000"})"));
}

TEST(ReportInterpreter, FramesRunOutermostFirstWithTheirImages) {
    const ReportInterpreter interpreter(parse(kSignalReport));
    const Value frames = at(interpreter.stackTraceForThreadIndex(2, false), "frames");
    ASSERT_EQ(frames.count(), 3u);
    EXPECT_TRUE(at(interpreter.stackTraceForThreadIndex(2, false), "registers").isNil());
    // The image's first address is inside it, one past its end is not.
    EXPECT_EQ(frames[2], parse(R"({"function": "innermost", "package": "/opt/demo/bin/demo",
      "image_addr": "0x0000000000001000", "platform": "native", "instruction_addr": "0x0000000000001000",
      "symbol_addr": "0x0000000000000ffa", "in_app": true})"));
    EXPECT_EQ(frames[1], parse(R"({"function": "<redacted>", "image_addr": "0x0000000000000000",
      "platform": "native", "instruction_addr": "0x0000000000002000", "symbol_addr": "0x0000000000000000",
      "in_app": false})"));
    // "/opt/demo/binary/" is beside the app's folder "/opt/demo/bin/", not in it.
    EXPECT_EQ(frames[0]["package"], Value("/opt/demo/binary/libx.so"));
    EXPECT_EQ(frames[0]["in_app"], Value(false));
}

TEST(ReportInterpreter, ImageLookupAndDebugImages) {
    const ReportInterpreter interpreter(parse(kSignalReport));
    EXPECT_EQ(interpreter.debugInterface(), parse(R"({"images": [
      {"type": "elf", "code_file": "/opt/demo/bin/demo", "code_id": "00112233445566778899aabbccddeeff01020304",
       "debug_id": "33221100-5544-7766-8899-aabbccddeeff", "image_addr": "0x0000000000001000",
       "image_size": 4096},
      {"type": "elf", "code_file": "/opt/demo/binary/libx.so", "code_id": "f1746c62c13e9652971a6d89297ebe9a",
       "debug_id": "626c74f1-3ec1-5296-971a-6d89297ebe9a", "image_addr": "0x0000000000010000",
       "image_size": 4096},
      {"type": "elf", "code_file": "linux-vdso.so.1", "image_addr": "0x0000000000020000", "image_size": 4096}]})"));

    // Overlapping images: the first in report order wins; a missing
    // address counts as 0; addresses above 2^63 compare unsigned.
    const ReportInterpreter overlapping(parse(R"({"binary_images": [
      "junk", {"image_size": 16, "name": "low"}, {"image_addr": 8, "image_size": 64, "name": "wide"},
      {"image_addr": 8, "image_size": 8, "name": "narrow"},
      {"image_addr": -4096, "image_size": 8192, "name": "top", "build_id": "abc"}]})"));
    EXPECT_EQ(overlapping.binaryImageForAddress(0)["name"], Value("low"));
    EXPECT_EQ(overlapping.binaryImageForAddress(12)["name"], Value("low"));
    EXPECT_EQ(overlapping.binaryImageForAddress(16)["name"], Value("wide"));
    EXPECT_TRUE(overlapping.binaryImageForAddress(72).isNil());
    EXPECT_EQ(overlapping.binaryImageForAddress(~0ull - 1)["name"], Value("top"));
    const Value top = overlapping.images()[3];
    EXPECT_EQ(top["image_addr"], Value("0xfffffffffffff000"));
    EXPECT_TRUE(top["code_id"].isNil());  // odd-length build id, no uuid
}

TEST(ReportInterpreter, ExceptionsOfEachKind) {
    Value report = parse(kSignalReport);
    setObjectForKeyPath(report, parse(R"({"type": "mach", "mach": {"exception": 1, "exception_name": "EXC_BAD_ACCESS",
      "code": 1, "subcode": 0}, "signal": {"signal": 11, "code": 4294967290}})"), "crash/error");
    Value exception = at(MachExceptionReportInterpreter(report).exceptionInterface(), "values/0");
    EXPECT_EQ(exception["type"], Value("EXC_BAD_ACCESS"));
    EXPECT_EQ(exception["value"], Value("Exception 1, Code 1, Subcode 0"));
    // A negative signal code is written as unsigned 32 bits.
    EXPECT_EQ(at(exception, "mechanism/meta"), parse(R"({"signal": {"number": 11, "code": -6},
      "mach_exception": {"exception": 1, "code": 1, "subcode": 0, "name": "EXC_BAD_ACCESS"}})"));

    setObjectForKeyPath(report, parse(R"({"type": "cpp_exception", "reason": "boom",
      "cpp_exception": {"name": "std::runtime_error"}})"), "crash/error");
    exception = at(CPPExceptionReportInterpreter(report).exceptionInterface(), "values/0");
    EXPECT_EQ(exception["type"], Value("std::runtime_error"));
    EXPECT_EQ(exception["value"], Value("boom"));
    EXPECT_EQ(at(exception, "stacktrace/frames").count(), 3u);
    EXPECT_EQ(exception["mechanism"], parse(R"({"type": "cpp_exception", "handled": false})"));

    setObjectForKeyPath(report, parse(R"({"type": "nsexception", "reason": 5, "nsexception": {}})"), "crash/error");
    exception = at(NSExceptionReportInterpreter(report).exceptionInterface(), "values/0");
    EXPECT_EQ(exception["type"], Value("nsexception"));  // no name: the error type stands in
    EXPECT_TRUE(exception["value"].isNil());
}

TEST(ReportInterpreter, UserFramesComeFirstThenTheNativeOnes) {
    Value report = parse(kSignalReport);
    setObjectForKeyPath(report, parse(R"({"type": "user", "reason": "nil index",
      "signal": {"signal": 6, "name": "SIGABRT"},
      "user_reported": {"name": "ScriptError", "backtrace": ["A", "B", "C"]}})"), "crash/error");
    const UserExceptionReportInterpreter interpreter(report);
    const Value exception = at(interpreter.exceptionInterface(), "values/0");
    EXPECT_EQ(exception["type"], Value("ScriptError"));
    EXPECT_EQ(exception["value"], Value("nil index"));
    EXPECT_EQ(exception["mechanism"], parse(R"({"type": "user", "handled": true})"));
    const Value frames = at(exception, "stacktrace/frames");
    ASSERT_EQ(frames.count(), 6u);
    EXPECT_EQ(frames[0], parse(R"({"function": "C"})"));
    EXPECT_EQ(frames[2], parse(R"({"function": "A"})"));
    EXPECT_EQ(frames[3]["function"], Value("outermost"));
    for (size_t i = 3; i < 6; i++) EXPECT_EQ(frames[i]["in_app"], Value(false)) << i;
    EXPECT_TRUE(at(exception, "stacktrace/registers").isNil());

    setObjectForKeyPath(report, parse(R"([{"function": "f", "lineno": 12, "colno": -1, "in_app": 1,
      "instruction_addr": 4096, "pre_context": ["x", 2], "junk": true}, 42, null])"),
      "crash/error/user_reported/backtrace");
    EXPECT_EQ(UserExceptionReportInterpreter(report).userStacktrace(), parse(R"([{"function": "<null>"},
      {"function": "42"}, {"function": "f", "lineno": 12, "in_app": true,
      "instruction_addr": "0x0000000000001000", "pre_context": ["x"]}])"));
}

TEST(ReportInterpreter, DamagedReportsGiveSmallerEventsNotFailures) {
    // Threads not an array, none crashed, empty; frames that are not
    // objects; numbers as text.
    const char* const reports[] = {
        R"({"crash": {"error": {"type": "signal"}, "threads": {"0": {}}}})",
        R"({"crash": {"error": {"type": "signal"}, "threads": []}})",
        R"({"crash": {"error": {"type": "mach"}, "threads": ["x", {"index": "3", "crashed": "yes",
            "backtrace": {"contents": [5, "frame", {"instruction_addr": "0x1000"}, {"instruction_addr": [1]}]}}]}})",
        R"({"report": {"id": 7, "timestamp": true}, "system": "none", "binary_images": [1, null],
            "crash": {"error": {"type": "user", "user_reported": {"backtrace": "A"}}, "threads": [null]},
            "user": {"tags": [1], "fingerprint": "f", "breadcrumbs": {"a": 1}}})",
    };
    for (const char* json : reports) {
        const Value event = sentryEventForReport(parse(json));
        EXPECT_EQ(event["platform"], Value("native")) << json;
        EXPECT_TRUE(at(event, "exception/values/0/mechanism/type").isString()) << json;
        EXPECT_TRUE(event["timestamp"].isNil() && event["tags"].isNil() && event["breadcrumbs"].isNil()) << json;
    }
    const Value third = sentryEventForReport(parse(reports[2]));
    // The one object thread: not marked crashed ("yes" is no boolean), so
    // the first record, "x", counts as the crashed one and has no id.
    EXPECT_TRUE(at(third, "exception/values/0/thread_id").isNil());
    EXPECT_EQ(at(third, "threads/values/0/id"), Value(3));
    EXPECT_TRUE(at(third, "threads/values/0/crashed").isNil());
    const Value frames = at(third, "threads/values/0/stacktrace/frames");
    ASSERT_EQ(frames.count(), 2u);
    EXPECT_EQ(frames[1]["instruction_addr"], Value("0x0000000000001000"));
    EXPECT_EQ(frames[0]["instruction_addr"], Value("0x0000000000000000"));
}

TEST(SentryEvent, ReportsWithoutAnInterpreterStillMakeAnEvent) {
    Value report = parse(kSignalReport);
    setObjectForKeyPath(report, parse(R"({"type": "deadlock", "reason": "main thread stuck"})"), "crash/error");
    const Value event = sentryEventForReport(report);
    for (const char* key : {"event_id", "timestamp", "level", "release", "tags", "contexts", "threads", "breadcrumbs",
                            "debug_meta"})
        EXPECT_FALSE(event[key].isNil()) << key;
    const Value exception = at(event, "exception/values/0");
    EXPECT_EQ(exception["type"], Value("deadlock"));
    EXPECT_EQ(exception["value"], Value("main thread stuck"));
    EXPECT_EQ(at(exception, "mechanism/handled"), Value(false));
    EXPECT_EQ(at(exception, "stacktrace/frames").count(), 3u);  // the crashed thread's

    for (const Value& broken : {Value(), Value("text"), parse("[1, 2]"), parse("{}")}) {
        const Value minimal = sentryEventForReport(broken);
        EXPECT_EQ(at(minimal, "exception/values/0/type"), Value("unknown"));
        EXPECT_EQ(at(minimal, "exception/values/0/mechanism/type"), Value("unknown"));
        EXPECT_EQ(minimal["level"], Value("fatal"));
    }
}

TEST(SentryEvent, MinimalReportsUseTheirCrashedThread) {
    const Value event = sentryEventForReport(parse(R"({"report": {"type": "minimal"},
      "crash": {"error": {"type": "signal", "signal": {"signal": 11, "code": 1}},
                "crashed_thread": {"index": 4, "crashed": true, "backtrace": {"contents": [{"instruction_addr": 1}]}}}})"));
    EXPECT_EQ(at(event, "exception/values/0/thread_id"), Value(4));
    EXPECT_EQ(at(event, "exception/values/0/stacktrace/frames").count(), 1u);
    EXPECT_EQ(at(event, "exception/values/0/value"), Value("Signal 11, Code 1"));
}

}  // namespace
