// The platform-style crash text of hand-built reports: each backtrace style,
// the header in fixed time zones, the exception kinds, the recrash part,
// reports of the wrong shape, and the filter set around it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "Mayday/Reporting/Filters/MaydayFilterSets.h"
#include "Mayday/Reporting/Filters/MaydayReportFilterAppleFmt.h"

using platform::Value;

namespace {

// TZ for one scope, then the zone from before.
struct TimeZone {
    const char* before = getenv("TZ");
    const std::string saved = before ? before : "";
    explicit TimeZone(const char* zone) { setenv("TZ", zone, 1), tzset(); }
    ~TimeZone() { before ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ"), tzset(); }
};

Value frame(const char* object, int objectAddr, int instructionAddr, int symbolAddr, const char* symbol) {
    Value entry = Value::dictionary({{"object_name", object}, {"object_addr", objectAddr},
                                     {"instruction_addr", instructionAddr}, {"symbol_addr", symbolAddr}});
    entry.setObject(symbol, "symbol_name");
    return entry;
}
Value backtraceOf(std::initializer_list<Value> frames) {
    return Value::dictionary({{"contents", Value::array(frames)}});
}
Value dict(std::initializer_list<std::pair<const std::string, Value>> items) { return Value::dictionary(items); }

const Value kAppFrame = frame("App", 0x1000, 0x1010, 0x1008, "main");
const Value kLibcFrame = frame("/usr/lib/libc.so.6", 0x7f0000, 0x7f0123, 0x7f0100, "abort");
const Value kRedactedFrame = frame("libsys.so", 0x2000, 0x2050, 0x2040, "<redacted>");
const std::string kAppLine = "0   App                             0x0000000000001010 ";
const std::string kLibcLine = "1   libc.so.6                       0x00000000007f0123 ";
const std::string kRedactedLine = "2   libsys.so                       0x0000000000002050 ";
// A frame that has nothing but its address.
const std::string kBareLine = "3   (null)                          0x0000000000000030 0x0 + 48\n";

// "App" on an architecture of unknown register layout, crashed in thread 0.
Value smallReport() {
    const Value crashed = dict({{"index", 0}, {"name", "main"}, {"crashed", true},
                                {"backtrace", backtraceOf({kAppFrame, kLibcFrame})},
                                {"registers", dict({{"basic", dict({{"b", 2}, {"a", 1}, {"c", 3}})}})}});
    const Value queued = dict({{"index", 1}, {"dispatch_queue", "com.q"}, {"backtrace", backtraceOf({kLibcFrame})}});
    const Value mach = dict({{"exception_name", "EXC_BAD_ACCESS"}, {"code_name", "KERN_INVALID_ADDRESS"}});
    const Value error = dict({{"mach", mach}, {"signal", dict({{"signal", 11}, {"name", "SIGSEGV"}})},
                              {"address", 16}, {"type", "mach"}});
    return dict({
        {"report", dict({{"version", "3.2.0"}, {"id", "R-1"}, {"process_name", "App"},
                         {"timestamp", "2024-03-05T06:07:08Z"}})},
        {"system", dict({{"device_app_hash", "hash"}, {"machine", "Box"}, {"process_name", "App"}, {"process_id", 42},
                         {"CFBundleExecutablePath", "/apps/App"}, {"CFBundleIdentifier", "com.example.app"},
                         {"CFBundleShortVersionString", "1.0"}, {"CFBundleVersion", "7"}, {"cpu_arch", "x86_64"},
                         {"parent_process_id", 1}, {"system_name", "Linux"}, {"system_version", "6.1"},
                         {"os_version", "#1"}, {"binary_cpu_type", 99}, {"binary_cpu_subtype", 0}})},
        {"crash", dict({{"error", error}, {"threads", Value::array({crashed, queued})}})},
        {"binary_images", Value::array({dict({{"image_addr", 0x7f0000}, {"image_size", 0x100}, {"uuid", "AB-CD"},
                                              {"name", "/usr/lib/libc.so.6"}, {"cpu_type", 0x1000007}}),
                                        dict({{"image_addr", 0x1000}, {"image_size", 0x2000}, {"name", "/apps/App"},
                                              {"uuid", "0123ABCD-EF"}, {"cpu_type", 12}, {"cpu_subtype", 11}})})},
    });
}

std::string styled(int style, const Value& mainExecutableName = Value("App")) {
    const Value backtrace = backtraceOf({kAppFrame, kLibcFrame, kRedactedFrame, dict({{"instruction_addr", 0x30}})});
    return MaydayReportFilterAppleFmt(style).backtraceString(backtrace, style, mainExecutableName);
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(AppleFmt, WholeTextOfSmallReport) {
    TimeZone utc("UTC");
    const std::string expected =
        "Incident Identifier: R-1\nCrashReporter Key:   hash\nHardware Model:      Box\n"
        "Process:         App [42]\nPath:            /apps/App\nIdentifier:      com.example.app\n"
        "Version:         1.0 (7)\nCode Type:       X86_64\nParent Process:  ? [1]\n\n"
        "Date/Time:       2024-03-05 06:07:08.000 +0000\nOS Version:      Linux 6.1 (#1)\nReport Version:  104\n"
        "\nException Type:  EXC_BAD_ACCESS (SIGSEGV)\n"
        "Exception Codes: KERN_INVALID_ADDRESS at 0x0000000000000010\nCrashed Thread:  0\n"
        "\nThread 0 name:  main\nThread 0 Crashed:\n" + kAppLine + "main + 8\n" + kLibcLine + "abort + 35\n" +
        "\nThread 1 name:  Dispatch queue: com.q\nThread 1:\n"
        "0   libc.so.6                       0x00000000007f0123 abort + 35\n"
        "\nThread 0 crashed with Unknown Thread State:\n"
        "     a: 0x0000000000000001      b: 0x0000000000000002      c: 0x0000000000000003 \n"
        "\nBinary Images:\n"
        "            0x1000 -             0x2fff +App armv7s  <0123abcdef> /apps/App\n"
        "          0x7f0000 -           0x7f00ff  libc.so.6 x86_64  <abcd> /usr/lib/libc.so.6\n"
        "\nExtra Information:\n";
    // Without a recrash report the text ends after the extra information.
    EXPECT_EQ(MaydayReportFilterAppleFmt(MaydayAppleReportStyleSymbolicated).toAppleFormat(smallReport()), expected);
}

TEST(AppleFmt, BacktraceStyles) {
    EXPECT_EQ(styled(MaydayAppleReportStyleUnsymbolicated),
              kAppLine + "0x1000 + 16\n" + kLibcLine + "0x7f0000 + 291\n" + kRedactedLine + "0x2000 + 80\n" +
                  kBareLine);
    // Main-executable frames by address, library frames by symbol; a
    // redacted symbol falls back to the address.
    EXPECT_EQ(styled(MaydayAppleReportStylePartiallySymbolicated),
              kAppLine + "0x1000 + 16\n" + kLibcLine + "abort + 35\n" + kRedactedLine + "0x2000 + 80\n" + kBareLine);
    EXPECT_EQ(styled(MaydayAppleReportStyleSymbolicatedSideBySide),
              kAppLine + "0x1000 + 16 (main + 8)\n" + kLibcLine + "0x7f0000 + 291 (abort + 35)\n" + kRedactedLine +
                  "0x2000 + 80 (<redacted> + 16)\n" + kBareLine);
    EXPECT_EQ(styled(MaydayAppleReportStyleSymbolicated),
              kAppLine + "main + 8\n" + kLibcLine + "abort + 35\n" + kRedactedLine + "0x2000 + 80\n" + kBareLine);
    // With no main executable known every frame counts as a library's.
    EXPECT_TRUE(styled(MaydayAppleReportStylePartiallySymbolicated, Value()).starts_with(kAppLine + "main + 8\n"));
}

TEST(AppleFmt, FilterKeepsVersionThreeOnly) {
    Value old = smallReport(), major = smallReport();
    old["report"].setObject("2.0.0", "version");
    major["report"].setObject(dict({{"major", 3}}), "version");
    int calls = 0;
    MaydayReportFilterAppleFmt::filterWithReportStyle(0)->filterReports(
        Value::array({smallReport(), old, major, Value("junk")}), [&](Value reports, bool completed, auto error) {
            ++calls;
            EXPECT_TRUE(completed && !error);
            ASSERT_EQ(reports.count(), 2u);
            EXPECT_TRUE(reports[0].stringValue().starts_with("Incident Identifier: R-1\n"));
        });
    EXPECT_EQ(calls, 1);
}

TEST(AppleFmt, HeaderDatesInTimeZones) {
    const MaydayReportFilterAppleFmt filter(0);
    TimeZone india("<+0530>-5:30");
    EXPECT_TRUE(contains(filter.headerStringForReport(smallReport()),
                         "\nDate/Time:       2024-03-05 11:37:08.000 +0530\n"));
    {
        TimeZone east("EST5");
        EXPECT_EQ(filter.stringFromDate(Value::date(-0.25)), "1969-12-31 18:59:59.750 -0500");
    }
    for (const Value& bad : {Value("2024-02-30T00:00:00Z"), Value("2024-03-05 06:07:08Z"), Value(1709618828)})
        EXPECT_EQ(filter.stringFromDate(filter.dateFromString(bad)), "(null)") << bad.description();
}

TEST(AppleFmt, ExceptionKinds) {
    const MaydayReportFilterAppleFmt filter(0);
    const std::string uncaught = "\nApplication Specific Information:\n*** Terminating app due to uncaught exception ";
    Value report = smallReport(), error = report["crash"]["error"];
    const auto endsWith = [&](const std::string& end) {
        return filter.errorInfoStringForReport(report).ends_with(end);
    };
    error.setObject("out of range", "reason");
    error.setObject(dict({{"name", "E"}, {"line_of_code", "42"}, {"backtrace", Value::array({"a()", "b()"})}}),
                    "user_reported");
    EXPECT_TRUE(endsWith(uncaught + "'E', reason: 'out of range'\n\nCustom Backtrace:\nLine: 42\na()\nb()\n\n"));

    error.removeObjectForKey("user_reported");
    error.setObject("cpp_exception", "type");
    error.setObject(dict({{"name", "std::runtime_error"}}), "cpp_exception");
    EXPECT_TRUE(endsWith(uncaught + "'std::runtime_error', reason: 'out of range'\n"));
    error.setObject("deadlock", "type");
    EXPECT_TRUE(endsWith("Crashed Thread:  0\n\nApplication main thread deadlocked\n"));
}

TEST(AppleFmt, ZombieExceptionAndExtraInformation) {
    const MaydayReportFilterAppleFmt filter(MaydayAppleReportStyleSymbolicated);
    Value report = smallReport();
    const Value exception = dict({{"address", 0xdead}, {"name", "NSGenericException"}, {"reason", "gone"},
                                  {"backtrace", backtraceOf({kAppFrame})}});
    report.setObject(dict({{"last_dealloced_nsexception", exception}}), "process");
    EXPECT_FALSE(filter.isZombieNSException(report));
    report["crash"]["threads"][0]["registers"]["basic"].setObject(0xdead, "rdi");
    EXPECT_TRUE(filter.errorInfoStringForReport(report).ends_with(
        "uncaught exception 'NSGenericException', reason: 'gone'\nNOTE: This exception has been deallocated! "
        "Stack trace is crash from attempting to access this zombie exception.\n"));
    Value thread = report["crash"]["threads"][0];
    thread.setObject(dict({{"dump_start", 0x100}, {"dump_end", 0x200}, {"contents", "00FF"}}), "stack");
    thread.setObject(dict({{"rdi", 1}}), "notable_addresses");
    report["crash"].setObject("Stack overflow in main", "diagnosis");
    // An array holding a nil has no JSON form.
    report["crash"]["error"].setObject(dict({{"referenced_object", Value::array({Value()})}}), "nsexception");
    EXPECT_EQ(filter.extraInfoStringForReport(report, Value("App")),
              "\nExtra Information:\nObject referenced by NSException:\nError encoding JSON: "
              "Error Domain=MDJSONCodecObjC Code=0 \"Could not determine type of nil\"\n"
              "\nStack Dump (0x0000000000000100-0x0000000000000200):\n\n00FF\n"
              "\nNotable Addresses:\n{\n    \"rdi\": 1\n}\n"
              "\nLast deallocated NSException (0x000000000000dead): NSGenericException: gone\n" + kAppLine +
                  "main + 8\n\nCrashDoctor Diagnosis: Stack overflow in main\n");
    // A live NSException outranks the zombie.
    EXPECT_TRUE(filter.errorInfoStringForReport(report).ends_with("exception '(null)', reason: '(null)'\n"));
    report["crash"]["error"]["mach"].setObject("KERN_PROTECTION_FAILURE", "code_name");
    EXPECT_FALSE(filter.isZombieNSException(report));
}

TEST(AppleFmt, RecrashPart) {
    Value report = smallReport();
    const Value thread = dict({{"index", 3}, {"crashed", true}, {"backtrace", backtraceOf({kAppFrame})},
                               {"registers", dict({{"basic", dict({{"a", 5}})}})}});
    report.setObject(dict({{"crash", dict({{"error", dict({{"signal", dict({{"signal", 6}})}})},
                                           {"crashed_thread", thread}, {"diagnosis", "oops"}})}}),
                     "recrash_report");
    // The executable's frames, by the outer report's path, stay unsymbolicated.
    const MaydayReportFilterAppleFmt filter(MaydayAppleReportStylePartiallySymbolicated);
    const std::string recrash =
        "\nHandler crashed while reporting:\n"
        "\nException Type:  0 (6)\nException Codes: 0x00000000 at 0x0000000000000000\nCrashed Thread:  3\n"
        "\nThread 3 Crashed:\n" + kAppLine + "0x1000 + 16\n"
        "\nThread 3 crashed with Unknown Thread State:\n     a: 0x0000000000000005 \n"
        "\nRecrash Diagnosis: oops";
    EXPECT_EQ(filter.toAppleFormat(report), filter.crashReportString(report) + recrash);
}

TEST(AppleFmt, RegistersAndImages) {
    const MaydayReportFilterAppleFmt filter(0);
    Value report = smallReport(), registers = report["crash"]["threads"][0]["registers"]["basic"];
    for (const char* name : {"d", "e", "f", "g"}) registers.setObject(7, name);
    EXPECT_TRUE(filter.crashedThreadCPUStateStringForReport(report, "sparc").ends_with(
        ":\n     a: 0x0000000000000001      b: 0x0000000000000002      c: 0x0000000000000003      d: "
        "0x0000000000000007 \n     e: 0x0000000000000007      f: 0x0000000000000007      g: 0x0000000000000007 \n"));

    // Known layouts list their registers in order, the missing ones as 0, no others.
    registers.setObject(-4, "rax");
    registers.setObject(9, "fs_base");
    const std::string x86 = filter.crashedThreadCPUStateStringForReport(report, "x86_64");
    EXPECT_TRUE(x86.starts_with("\nThread 0 crashed with X86_64 Thread State:\n   rax: 0xfffffffffffffffc    rbx: "
                                "0x0000000000000000    rcx: 0x0000000000000000    rdx: 0x0000000000000000 \n"));
    EXPECT_TRUE(x86.ends_with("\n    gs: 0x0000000000000000 \n") && !contains(x86, "fs_base"));
    report["crash"]["threads"][0].setObject(false, "crashed");
    EXPECT_EQ(filter.crashedThreadCPUStateStringForReport(report, "x86_64"), "");

    // An image without an address neither moves nor breaks the sort.
    report["binary_images"].addObject(dict({{"name", "anon"}}));
    EXPECT_TRUE(filter.binaryImagesStringForReport(report).ends_with(
        "/usr/lib/libc.so.6\n                 0 - 0xffffffffffffffff  anon unknown(0,0)  <(null)> anon\n"));
}

TEST(AppleFmt, WrongTypesPrintNullAndZero) {
    const MaydayReportFilterAppleFmt filter(MaydayAppleReportStylePartiallySymbolicated);
    const Value report = dict({
        {"report", Value::array({1, 2})}, {"system", "not a dictionary"}, {"process", 5},
        {"crash", dict({{"error", dict({{"address", "zz"}, {"mach", 3}})}, {"threads", dict({{"crashed", true}})},
                        {"crashed_thread",
                         dict({{"index", "2"}, {"backtrace", Value::array({1})}, {"registers", "r"}})}})},
        {"binary_images", Value::array({Value::null(), Value("x")})}, {"recrash_report", Value::array()},
    });
    const std::string text = filter.toAppleFormat(report);
    EXPECT_TRUE(text.starts_with("Incident Identifier: (null)\nCrashReporter Key:   (null)\n"));
    EXPECT_TRUE(contains(text, "\nProcess:         (null) [(null)]\n"));
    EXPECT_TRUE(contains(text, "\nDate/Time:       (null)\n"));
    EXPECT_TRUE(contains(text, "\nException Type:  0 ((null))\nException Codes: 0x00000000 at 0x0000000000000000\n"
                               "Crashed Thread:  2\n\nThread 2 crashed with Unknown Thread State:\n\nBinary Images:\n"
                               "                 0 - 0xffffffffffffffff  (null) unknown(0,0)  <(null)> (null)\n"));
    EXPECT_TRUE(contains(text, "\nHandler crashed while reporting:\n"));
    EXPECT_NO_THROW(filter.toAppleFormat(Value("junk")));
}

TEST(AppleFmt, FilterSetJoinsUserAndSystemData) {
    Value report = smallReport();
    report.setObject(dict({{"tag", "beta"}}), "user");
    const auto run = [&](bool compressed) {
        Value result;
        MaydayFilterSets::appleFmtWithUserAndSystemData(MaydayAppleReportStyleSymbolicated, compressed)
            ->filterReports(Value::array({report}), [&](Value reports, bool completed, auto) {
                EXPECT_TRUE(completed);
                result = reports[0];
            });
        return result;
    };
    const std::string text = run(false).stringValue();
    EXPECT_TRUE(text.starts_with(MaydayReportFilterAppleFmt(3).toAppleFormat(report) +
                                 "\n\n-------- User & System Data --------\n\n{\n    \"system\": {\n"));
    EXPECT_TRUE(text.ends_with("\n    \"user\": {\n        \"tag\": \"beta\"\n    }\n}"));
    const Value gzipped = run(true);
    EXPECT_TRUE(gzipped.dataValue().size() > 2 && gzipped.dataValue()[0] == 0x1f && gzipped.dataValue()[1] == 0x8b);
}
