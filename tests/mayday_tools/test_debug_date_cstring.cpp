// Debugger detection, the UTC timestamp text and MDCString.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <string>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Mayday/Recording/Tools/MDCString.h"
#include "Mayday/Recording/Tools/MDDate.h"
#include "Mayday/Recording/Tools/MDDebug.h"

namespace {

// ---- Debugger detection ----

// TracerPid as the kernel reports it, read the ordinary way.
long tracerOfThisProcess() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("TracerPid:", 0) == 0) return std::stol(line.substr(10));
    }
    return -1;
}

TEST(DebugDetection, AnswersWhetherThisProcessIsTraced) {
    const long tracer = tracerOfThisProcess();
    ASSERT_GE(tracer, 0);
    EXPECT_EQ(mddebug_isBeingTraced(), tracer != 0);
}

TEST(DebugDetection, ChildTracedByItsParentSeesTrueUntilDetached) {
    fflush(stdout);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(10);
        raise(SIGSTOP);  // the parent is now our tracer
        const bool whileTraced = mddebug_isBeingTraced();
        raise(SIGSTOP);  // the parent detaches here
        const bool afterDetach = mddebug_isBeingTraced();
        _exit((whileTraced ? 1 : 0) | (afterDetach ? 2 : 0));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 10) GTEST_SKIP() << "ptrace is not permitted here";
    ASSERT_TRUE(WIFSTOPPED(status));
    ASSERT_EQ(ptrace(PTRACE_CONT, child, nullptr, nullptr), 0);
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSTOPPED(status));
    ASSERT_EQ(ptrace(PTRACE_DETACH, child, nullptr, nullptr), 0);
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1) << "bit 1: traced seen as traced; bit 2: detached seen as traced";
}

// ---- UTC timestamp text ----

std::string utc(time_t timestamp) {
    char buffer[32];
    memset(buffer, '#', sizeof(buffer));
    mddate_utcStringFromTimestamp(timestamp, buffer);
    // Exactly 20 characters and the terminator; nothing written beyond the 21 bytes.
    EXPECT_EQ(buffer[20], '\0');
    EXPECT_EQ(buffer[21], '#');
    return std::string(buffer);
}

TEST(UTCText, KnownInstants) {
    EXPECT_EQ(utc(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(utc(951782400), "2000-02-29T00:00:00Z");
    EXPECT_EQ(utc(951868799), "2000-02-29T23:59:59Z");
    EXPECT_EQ(utc(951868800), "2000-03-01T00:00:00Z");
    EXPECT_EQ(utc(1234567890), "2009-02-13T23:31:30Z");
    EXPECT_EQ(utc(4107542400), "2100-03-01T00:00:00Z");  // 2100 has no February 29th
    EXPECT_EQ(utc(253402300799), "9999-12-31T23:59:59Z");
}

TEST(UTCText, TimesBeforeTheEpoch) {
    EXPECT_EQ(utc(-1), "1969-12-31T23:59:59Z");
    EXPECT_EQ(utc(-86400), "1969-12-31T00:00:00Z");
    EXPECT_EQ(utc(-86401), "1969-12-30T23:59:59Z");
    EXPECT_EQ(utc(-2208988800), "1900-01-01T00:00:00Z");
    EXPECT_EQ(utc(-62167219200), "0000-01-01T00:00:00Z");
}

TEST(UTCText, TimesOutsideFourDigitYearsAreHeldAtTheLimits) {
    EXPECT_EQ(utc(253402300800), "9999-12-31T23:59:59Z");
    EXPECT_EQ(utc(INT64_MAX), "9999-12-31T23:59:59Z");
    EXPECT_EQ(utc(-62167219201), "0000-01-01T00:00:00Z");
    EXPECT_EQ(utc(INT64_MIN), "0000-01-01T00:00:00Z");
    mddate_utcStringFromTimestamp(0, nullptr);  // ignored, no crash
}

TEST(UTCText, AgreesWithTheCLibrary) {
    auto expected = [](time_t timestamp) {
        struct tm parts {};
        gmtime_r(&timestamp, &parts);
        char text[64];
        strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &parts);
        return std::string(text);
    };
    // Every day boundary and one second either side, 1900 to 2104.
    for (time_t day = -2208988800; day < 4260211200; day += 86400) {
        for (time_t offset : {-1, 0, 1}) {
            const time_t t = day + offset;
            if (utc(t) != expected(t)) {
                ADD_FAILURE() << t << ": " << utc(t) << " vs " << expected(t);
                return;
            }
        }
    }
    // Random instants of years 1000 to 9999, where strftime pads to four digits.
    std::mt19937_64 random(20240229);
    std::uniform_int_distribution<int64_t> anyTime(-30610224000LL, 253402300799LL);
    for (int i = 0; i < 200000; ++i) {
        const time_t t = anyTime(random);
        if (utc(t) != expected(t)) {
            ADD_FAILURE() << t << ": " << utc(t) << " vs " << expected(t);
            return;
        }
    }
}

// ---- MDCString ----

TEST(CString, CopiesTextAndKeepsItsOwnCopy) {
    std::string source = "report key";
    const auto fromString = MDCString::stringWithString(source);
    source[0] = 'X';
    EXPECT_EQ(fromString->length(), 10u);
    EXPECT_STREQ(fromString->bytes(), "report key");
    EXPECT_NE(static_cast<const void*>(fromString->bytes()), static_cast<const void*>(source.data()));

    char buffer[] = "value";
    const auto fromCString = MDCString::stringWithCString(buffer);
    buffer[0] = 'V';
    EXPECT_EQ(fromCString->length(), 5u);
    EXPECT_STREQ(fromCString->bytes(), "value");

    const MDCString direct("direct");
    EXPECT_EQ(direct.length(), 6u);
    EXPECT_STREQ(direct.bytes(), "direct");
}

TEST(CString, DataKeepsInnerZeroBytesAndIsTerminated) {
    const platform::Value::Bytes data = {'a', 0, 'b', 0xff, 0};
    const auto fromData = MDCString::stringWithData(data);
    ASSERT_EQ(fromData->length(), 5u);
    EXPECT_EQ(memcmp(fromData->bytes(), data.data(), data.size()), 0);
    EXPECT_EQ(fromData->bytes()[5], '\0');

    const char raw[] = {'x', '\0', 'y'};
    const auto fromBytes = MDCString::stringWithData(raw, sizeof(raw));
    ASSERT_EQ(fromBytes->length(), 3u);
    EXPECT_EQ(std::string(fromBytes->bytes(), fromBytes->length()), std::string(raw, sizeof(raw)));
    EXPECT_EQ(fromBytes->bytes()[3], '\0');

    const MDCString part(raw, 1);
    EXPECT_EQ(part.length(), 1u);
    EXPECT_STREQ(part.bytes(), "x");
}

TEST(CString, TextsStopAtAZeroByteAndEmptyInputsGiveTheEmptyString) {
    // A text is taken as its C string, as the C-string form would.
    const auto cut = MDCString::stringWithString(std::string("ab\0cd", 5));
    EXPECT_EQ(cut->length(), 2u);
    EXPECT_STREQ(cut->bytes(), "ab");

    for (const auto& empty : {MDCString::stringWithCString(nullptr), MDCString::stringWithCString(""),
                              MDCString::stringWithString(""), MDCString::stringWithData(platform::Value::Bytes{}),
                              MDCString::stringWithData(nullptr, 12)}) {
        EXPECT_EQ(empty->length(), 0u);
        ASSERT_NE(empty->bytes(), nullptr);
        EXPECT_EQ(empty->bytes()[0], '\0');
    }
}

}  // namespace
