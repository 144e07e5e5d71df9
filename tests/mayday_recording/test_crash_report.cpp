// Real crashes in child processes with the recorder installed: the report
// each leaves on disk, read back and checked against what this process can
// see of the same machine.
#include <gtest/gtest.h>

#include <algorithm>
#include <dirent.h>
#include <fstream>
#include <link.h>
#include <pthread.h>
#include <regex>
#include <set>
#include <sys/statvfs.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "tests/support/ReportFiles.h"
#include "CrashChild.h"
#include "DeliberateFault.h"
#include "Mayday/Recording/MaydayC.h"
#include "Mayday/Recording/Monitors/MDCrashWatchdog.h"
#include "Mayday/Recording/Monitors/MaydayMonitor.h"
#include "Mayday/Recording/Tools/MDJSONCodecObjC.h"
#include "TempDir.h"

using platform::Value;

namespace {

using zeltest::filesIn;
Value decode(const std::string& text) { return zeltest::decodeReport(text); }

constexpr const char* kAppName = "ReportTest";

__attribute__((noinline)) void crashInReportTest() {
    zeltest::readAddress(0);
    __asm__ volatile("" ::: "memory");  // keeps the frame
}

void* parkForever(void* pipeFd) {
    char byte;
    while (read(static_cast<int>(reinterpret_cast<intptr_t>(pipeFd)), &byte, 1) != 0) {
    }
    return nullptr;
}

// Starts `count` threads that wait on a pipe nobody writes.
void startParkedThreads(int count) {
    int fds[2];
    if (pipe(fds) != 0) return;
    for (int i = 0; i < count; i++) {
        pthread_t thread;
        pthread_create(&thread, nullptr, parkForever, reinterpret_cast<void*>(static_cast<intptr_t>(fds[0])));
    }
}

// The top-level member names in the order the text has them.
std::vector<std::string> topLevelKeys(const std::string& text) {
    std::vector<std::string> keys;
    const std::regex member("^    \"([^\"]+)\": ");
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (std::regex_search(line, match, member)) keys.push_back(match[1]);
    }
    return keys;
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

struct CrashRun {
    zeltest::ChildEnd end;
    std::vector<std::string> files;  // in Reports
    std::string text;                // of the only file, when there is one
};

template <typename Setup> CrashRun crashChild(const zeltest::TempDir& base, Setup setup) {
    CrashRun run;
    run.end = zeltest::runInChild([&] {
        if (mayday_install(kAppName, base.path().c_str()) == MaydayMonitorTypeNone) _exit(3);
        setup();
        crashInReportTest();
    });
    run.files = filesIn(base.file("Reports"));
    if (run.files.size() == 1) run.text = zeltest::readFile(base.file("Reports") + "/" + run.files[0]);
    return run;
}

Value crashedThread(const Value& threads) {
    for (const Value& thread : threads.arrayItems())
        if (thread["crashed"].boolValue()) return thread;
    return Value();
}

TEST(CrashReport, ANullReadLeavesOneCompleteReport) {
    zeltest::TempDir base;
    const CrashRun run = crashChild(base, [] { startParkedThreads(3); });
    EXPECT_EQ(run.end.signal, SIGSEGV) << run.end.output;
    ASSERT_EQ(run.files.size(), 1u) << run.end.output;
    EXPECT_TRUE(std::regex_match(run.files[0], std::regex("ReportTest-report-[0-9a-f]{16}\\.json")));
    const Value report = decode(run.text);
    ASSERT_TRUE(report.isDictionary());
    EXPECT_EQ(topLevelKeys(run.text),
              (std::vector<std::string>{"report", "binary_images", "process", "system", "crash", "user", "debug"}));
    EXPECT_EQ(report["report"]["type"].stringValue(), "standard");
    EXPECT_EQ(report["report"]["version"].stringValue(), "3.2.0");

    // Every image this process has loaded (the child is a copy of it).
    std::set<std::string> imageNames;
    for (const Value& image : report["binary_images"].arrayItems()) {
        imageNames.insert(image["name"].stringValue());
        EXPECT_GT(image["image_size"].longLongValue(), 0);
    }
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* names) {
            const std::string name = info->dlpi_name;
            if (!name.empty() && name.find("linux-vdso") == std::string::npos) {
                EXPECT_TRUE(static_cast<std::set<std::string>*>(names)->count(name)) << name;
            }
            return 0;
        },
        &imageNames);

    const Value error = report["crash"]["error"];
    // The Mach monitor comes first in the default selection and catches it.
    EXPECT_EQ(error["type"].stringValue(), "mach");
    EXPECT_EQ(error["mach"]["exception_name"].stringValue(), "EXC_BAD_ACCESS");
    EXPECT_EQ(error["signal"]["name"].stringValue(), "SIGSEGV");
    EXPECT_EQ(error["signal"]["code_name"].stringValue(), "SEGV_MAPERR");
    EXPECT_EQ(error["address"].longLongValue(), 0);

    const Value threads = report["crash"]["threads"];
    ASSERT_GE(threads.count(), 5u);  // main, three parked, the cache thread
    int crashedCount = 0;
    for (size_t i = 0; i < threads.count(); i++) {
        const Value thread = threads[i];
        EXPECT_EQ(thread["index"].longLongValue(), static_cast<long long>(i));
        EXPECT_EQ(thread["registers"]["basic"].count(), 21u) << i;
        EXPECT_NE(thread["registers"]["basic"]["rsp"].longLongValue(), 0) << i;
        EXPECT_GT(thread["backtrace"]["contents"].count(), 0u) << i;
        if (thread["crashed"].boolValue()) {
            crashedCount++;
        } else {
            EXPECT_TRUE(thread["stack"].isNil());
            EXPECT_TRUE(thread["notable_addresses"].isNil());
        }
    }
    EXPECT_EQ(crashedCount, 1);
    const Value crashed = crashedThread(threads);
    const Value frames = crashed["backtrace"]["contents"];
    EXPECT_NE(frames[0]["symbol_name"].stringValue().find("crashInReportTest"), std::string::npos)
        << frames[0]["symbol_name"].stringValue();
    EXPECT_EQ(frames[0]["instruction_addr"].longLongValue(), crashed["registers"]["basic"]["rip"].longLongValue());
    const Value stack = crashed["stack"];
    EXPECT_EQ(stack["dump_end"].longLongValue() - stack["dump_start"].longLongValue(), 240);
    EXPECT_EQ(stack["stack_pointer"].longLongValue() - stack["dump_start"].longLongValue(), 80);
    EXPECT_EQ(stack["contents"].stringValue().size(), 480u);
    EXPECT_EQ(stack["grow_direction"].stringValue(), "-");
    EXPECT_TRUE(report["user"].isDictionary());
    EXPECT_EQ(report["user"].count(), 0u);
}

TEST(CrashReport, SystemSectionMatchesTheMachine) {
    zeltest::TempDir base;
    const CrashRun run = crashChild(base, [] {});
    ASSERT_EQ(run.files.size(), 1u) << run.end.output;
    const Value system = decode(run.text)["system"];
    struct utsname names;
    ASSERT_EQ(uname(&names), 0);
    EXPECT_EQ(system["system_name"].stringValue(), names.sysname);
    EXPECT_EQ(system["system_version"].stringValue(), names.release);
    EXPECT_EQ(system["os_version"].stringValue(), names.version);
    EXPECT_EQ(system["machine"].stringValue(), names.machine);
    EXPECT_EQ(system["kernel_version"].stringValue(), trimmed(zeltest::readFile("/proc/version")));
    EXPECT_EQ(system["cpu_arch"].stringValue(), "x86_64");
    EXPECT_EQ(system["parent_process_id"].longLongValue(), getpid());
    EXPECT_NE(system["process_id"].longLongValue(), getpid());
    char exe[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof(exe) - 1), 0);
    EXPECT_EQ(system["CFBundleExecutablePath"].stringValue(), exe);
    const std::string exeName = std::string(exe).substr(std::string(exe).rfind('/') + 1);
    EXPECT_EQ(system["process_name"].stringValue(), exeName);
    EXPECT_EQ(decode(run.text)["report"]["process_name"].stringValue(), exeName);
    const char* home = getenv("HOME");
    struct statvfs disk;
    if (home != nullptr && statvfs(home, &disk) == 0) {
        EXPECT_EQ(system["storage"].unsignedLongLongValue(),
                  static_cast<unsigned long long>(disk.f_blocks) * disk.f_frsize);
    }
    struct sysinfo info;
    ASSERT_EQ(sysinfo(&info), 0);
    EXPECT_EQ(system["memory"]["size"].unsignedLongLongValue(),
              static_cast<unsigned long long>(info.totalram) * info.mem_unit);
    EXPECT_GT(system["memory"]["free"].unsignedLongLongValue(), 0u);
    EXPECT_GE(system["memory"]["usable"].unsignedLongLongValue(), system["memory"]["free"].unsignedLongLongValue());
    EXPECT_EQ(system["device_app_hash"].stringValue().size(), 40u);
    EXPECT_EQ(system["build_type"].stringValue(), "unknown");
    EXPECT_FALSE(system["jailbroken"].boolValue());
    EXPECT_EQ(system["application_stats"]["launches_since_last_crash"].longLongValue(), 1);
}

// A user section whose callback faults: the crash inside the writer turns
// the unfinished report into a recrash report at the same path.
void faultingUserSection(const MaydayReportWriter* writer) {
    writer->addStringElement(writer, "before_fault", "written");
    zeltest::readAddress(8);
}

TEST(CrashReport, AFaultInsideTheWriterLeavesOneRecrashReport) {
    zeltest::TempDir base;
    const CrashRun run = crashChild(base, [] { mayday_setOnCrash(faultingUserSection); });
    EXPECT_EQ(run.end.signal, SIGSEGV) << run.end.output;
    ASSERT_EQ(run.files.size(), 1u) << run.end.output;  // and no ".old" beside it
    const Value report = decode(run.text);
    EXPECT_EQ(topLevelKeys(run.text), (std::vector<std::string>{"recrash_report", "report", "crash"}));
    EXPECT_EQ(report["report"]["type"].stringValue(), "minimal");
    const Value unfinished = report["recrash_report"];
    EXPECT_EQ(unfinished["report"]["type"].stringValue(), "standard");
    EXPECT_GT(unfinished["binary_images"].count(), 0u);
    EXPECT_GT(unfinished["crash"]["threads"].count(), 0u);
    EXPECT_EQ(unfinished["user"]["before_fault"].stringValue(), "written");
    // The second fault, in the callback, is the one the minimal report tells.
    EXPECT_EQ(report["crash"]["error"]["address"].longLongValue(), 8);
    const Value crashedThreadObject = report["crash"]["crashed_thread"];
    EXPECT_TRUE(crashedThreadObject["crashed"].boolValue());
    EXPECT_GT(crashedThreadObject["backtrace"]["contents"].count(), 0u);
    EXPECT_TRUE(crashedThreadObject["notable_addresses"].isNil());
}

TEST(CrashReport, UserInformationThatIsNoObjectKeepsTheReportWhole) {
    const std::pair<const char*, bool> cases[] = {
        {"{\"a\": [1, 2", false}, {"[1, 2, 3]", false}, {"\"just text\"", false}, {"{\"name\": \"ok\", \"n\": 1}", true}};
    for (const auto& [userInfo, isObject] : cases) {
        zeltest::TempDir base;
        const char* text = userInfo;
        const CrashRun run = crashChild(base, [text] {
            mayday_setUserInfoJSON(text);
            mayday_setOnCrash([](const MaydayReportWriter* writer) {
                writer->addIntegerElement(writer, "from_callback", 7);
                writer->beginObject(writer, "left_open");  // closed with "user"
            });
        });
        ASSERT_EQ(run.files.size(), 1u) << userInfo << run.end.output;
        EXPECT_EQ(topLevelKeys(run.text),
                  (std::vector<std::string>{"report", "binary_images", "process", "system", "crash", "user", "debug"}))
            << userInfo;
        const Value user = decode(run.text)["user"];
        EXPECT_EQ(user["from_callback"].longLongValue(), 7) << userInfo;
        if (isObject) {
            EXPECT_EQ(user["name"].stringValue(), "ok");
            EXPECT_TRUE(user["error"].isNil());
        } else {
            EXPECT_EQ(user["json_data"].stringValue(), userInfo);
            EXPECT_EQ(user["error"].stringValue().rfind("Invalid JSON data: ", 0), 0u) << user["error"].stringValue();
        }
    }
}

TEST(CrashReport, ConsoleLogLinesGoIntoDebug) {
    zeltest::TempDir base;
    const CrashRun run = crashChild(base, [] { mayday_setAddConsoleLogToReport(true); });
    ASSERT_EQ(run.files.size(), 1u) << run.end.output;
    const Value lines = decode(run.text)["debug"]["console_log"];
    ASSERT_GT(lines.count(), 0u);
    bool sawWriting = false;
    for (const Value& line : lines.arrayItems())
        sawWriting = sawWriting || line.stringValue().find("Writing crash report to") != std::string::npos;
    EXPECT_TRUE(sawWriting);
}

}  // namespace

namespace {

// A monitor whose contribution to every event faults: the crash happens
// while the event is handled but before any report is being written.
bool g_faultingMonitorEnabled = false;
const MaydayMonitorAPI kFaultingMonitor = {
    [](bool enabled) { g_faultingMonitorEnabled = enabled; },
    [] { return g_faultingMonitorEnabled; },
    [](Mayday_MonitorContext* context) {
        if (!context->crashedDuringCrashHandling) zeltest::readAddress(16);
    },
};

TEST(CrashReport, ACrashBeforeAnyWritingGetsAFreshMinimalReport) {
    zeltest::TempDir base;
    const CrashRun run = crashChild(base, [] {
        mdcm_testing_setAPI(MaydayMonitorTypeZombie, &kFaultingMonitor);
        mayday_setMonitoring(MaydayMonitorTypeDefault | MaydayMonitorTypeZombie);
    });
    ASSERT_EQ(run.files.size(), 1u) << run.end.output;
    const Value report = decode(run.text);
    EXPECT_EQ(topLevelKeys(run.text), (std::vector<std::string>{"report", "crash"}));
    EXPECT_EQ(report["report"]["type"].stringValue(), "minimal");
    EXPECT_EQ(report["crash"]["error"]["address"].longLongValue(), 16);
}

TEST(CrashReport, ABasePathTooLongForTheReportNamesIsRefused) {
    zeltest::TempDir base;
    const std::string longBase = base.path() + "/" + std::string(440, 'b');
    const zeltest::ChildEnd end = zeltest::runInChild([&] {
        const MaydayMonitorFlags active = mayday_install(kAppName, longBase.c_str());
        zeltest::put(active == MaydayMonitorTypeNone ? "refused" : "installed");
    });
    EXPECT_EQ(end.output.substr(end.output.size() - 7), "refused");
    EXPECT_TRUE(filesIn(base.path()).empty());  // nothing made under it
}

}  // namespace

namespace {

TEST(CrashReport, AStoredReportIsListedAndReadBackFixedUp) {
    zeltest::TempDir base;
    const CrashRun run = crashChild(base, [] {});
    ASSERT_EQ(run.files.size(), 1u) << run.end.output;
    const zeltest::ChildEnd reader = zeltest::runInChild([&] {
        mayday_install(kAppName, base.path().c_str());
        int64_t ids[4] = {};
        if (mayday_reportCount() != 1 || mayday_reportIDs(ids, 4) != 1) _exit(4);
        char* text = mayday_readReport(ids[0]);
        if (text == nullptr) _exit(5);
        zeltest::put("\n<<<");
        zeltest::put(text);
        free(text);
    });
    ASSERT_TRUE(reader.exited && reader.exitStatus == 0) << reader.output;
    const Value report = decode(reader.output.substr(reader.output.find("<<<") + 3));
    EXPECT_TRUE(std::regex_match(report["report"]["timestamp"].stringValue(),
                                 std::regex("20[0-9]{2}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z")));
    // C++ names come back readable; the faulting function is one.
    const Value frames = crashedThread(report["crash"]["threads"])["backtrace"]["contents"];
    EXPECT_EQ(frames[0]["symbol_name"].stringValue(), "(anonymous namespace)::crashInReportTest()");
}

}  // namespace

namespace {

TEST(CrashReport, AUserSectionThatNeverReturnsStillEndsTheProcessWithWhatWasFlushed) {
    zeltest::TempDir base;
    const CrashRun run = crashChild(base, [] {
        mdcw_testing_setSeconds(1);
        mayday_setOnCrash([](const MaydayReportWriter*) {
            for (;;) pause();
        });
    });
    EXPECT_FALSE(run.end.timedOut);
    EXPECT_EQ(run.end.signal, SIGSEGV);  // the fault's own signal, as without the recorder
    ASSERT_EQ(run.files.size(), 1u);
    // Everything up to "user" was flushed before the callback ran.
    platform::OptionalError error;
    const Value partial = MDJSONCodec::decode(Value::Bytes(run.text.begin(), run.text.end()),
                                              MDJSONDecodeOptionKeepPartialObject, &error);
    EXPECT_GT(partial["crash"]["threads"].count(), 0u);
    EXPECT_EQ(run.text.find("\"debug\""), std::string::npos);
}

}  // namespace
