// The crash reporter's logger: line layout, cuts, the log file and the object path.
#include "Mayday/Recording/Tools/MDLogger.h"

#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "StdoutCapture.h"
#include "TempDir.h"

namespace {

using zeltest::StdoutCapture;

std::string captured(const std::function<void()>& body) {
    StdoutCapture capture;
    body();
    return capture.finish();
}

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Every test leaves the logger writing to /dev/null, never to a removed temp file.
class LoggerTest : public ::testing::Test {
protected:
    void TearDown() override {
        StdoutCapture quiet;
        mdlog_setLogFile("/dev/null", false);
    }
    zeltest::TempDir dir_;
};

// Logs through a runtime format, which the format checks cannot see.
void logBareRuntimeFormat(const char* format) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    mdlog_logBareLine(format);
#pragma GCC diagnostic pop
}

TEST_F(LoggerTest, LeveledLineShowsLevelFileNameLineAndFunction) {
    EXPECT_EQ(captured([] { mdlog_logLine("ERROR", "/src/Mayday/Recording/MDThing.cpp", 12, "void run(int)",
                                          "bad value %d", 7); }),
              "ERROR: MDThing.cpp (12): void run(int): bad value 7\n");
    // A file without directories is shown as it is; levels keep their five characters.
    EXPECT_EQ(captured([] { mdlog_logLine("WARN ", "plain.c", 0, "f", "w"); }), "WARN : plain.c (0): f: w\n");
    EXPECT_EQ(captured([] { mdlog_logLine("INFO ", "dir/", 3, "g", "i"); }), "INFO :  (3): g: i\n");
    // Null parts of the prefix show as printf would show them.
    EXPECT_EQ(captured([] { mdlog_logLine(nullptr, nullptr, 1, nullptr, "m"); }), "(null): (null) (1): (null): m\n");
}

TEST_F(LoggerTest, ShortFormsPassTheCallersPlace) {
    int line = 0;
    const std::string out = captured([&] {
        line = __LINE__ + 1;
        MDLOG_INFO("hello %s", "there");
    });
    const std::string prefix = "INFO : test_logger.cpp (" + std::to_string(line) + "): ";
    ASSERT_EQ(out.rfind(prefix, 0), 0u) << out;
    EXPECT_NE(out.find("ShortFormsPassTheCallersPlace"), std::string::npos) << out;
    EXPECT_TRUE(endsWith(out, ": hello there\n")) << out;
}

TEST_F(LoggerTest, NullFormatWritesNull) {
    EXPECT_EQ(captured([] { mdlog_logLine("ERROR", "a/b.c", 5, "fn", nullptr); }), "ERROR: b.c (5): fn: (null)\n");
    EXPECT_EQ(captured([] { logBareRuntimeFormat(nullptr); }), "(null)\n");
    EXPECT_EQ(captured([] { logBareRuntimeFormat(""); }), "\n");
}

TEST_F(LoggerTest, LongMessagesAreCutTo1023Characters) {
    const std::string longText(2000, 'x');
    const std::string cut = std::string(1023, 'x') + "\n";
    // Formatted here (%s, a width), passed through unformatted, and formatted by vsnprintf (a precision).
    EXPECT_EQ(captured([&] { mdlog_logBareLine("%s", longText.c_str()); }), cut);
    EXPECT_EQ(captured([&] { logBareRuntimeFormat(longText.c_str()); }), cut);
    EXPECT_EQ(captured([&] { mdlog_logBareLine("%5s", longText.c_str()); }), cut);
    EXPECT_EQ(captured([&] { mdlog_logBareLine("%1500d", 7); }), std::string(1023, ' ') + "\n");
    EXPECT_EQ(captured([&] { mdlog_logBareLine("%.1500s", longText.c_str()); }), cut);
    // The cut counts the formatted text, not the arguments.
    EXPECT_EQ(captured([&] { mdlog_logBareLine("ab%s", longText.c_str()); }), "ab" + std::string(1021, 'x') + "\n");

    // The prefix has its own buffer: a long function name is cut there and the message still follows.
    const std::string function(1500, 'f');
    const std::string out = captured([&] { mdlog_logLine("ERROR", "x.c", 1, function.c_str(), "msg"); });
    EXPECT_EQ(out.size(), 1023u + 4u);
    EXPECT_EQ(out.substr(1023), "msg\n");
}

#define EXPECT_LOGGED_AS_PRINTF(...)                                                   \
    do {                                                                               \
        char expected[2048];                                                           \
        snprintf(expected, sizeof(expected), __VA_ARGS__);                             \
        EXPECT_EQ(captured([&] { mdlog_logBareLine(__VA_ARGS__); }),                   \
                  std::string(expected) + "\n")                                        \
            << #__VA_ARGS__;                                                           \
    } while (0)

TEST_F(LoggerTest, FormatsLikePrintf) {
    int local = 0;
    const char* nullText = nullptr;
    // The conversions formatted without vsnprintf.
    EXPECT_LOGGED_AS_PRINTF("%d %i %d", INT_MIN, INT_MAX, 0);
    EXPECT_LOGGED_AS_PRINTF("%u %x %X", UINT_MAX, 0xdeadbeefu, 0xabcdefu);
    EXPECT_LOGGED_AS_PRINTF("%ld %lu %lx", LONG_MIN, ULONG_MAX, 0x123456789abcdefUL);
    EXPECT_LOGGED_AS_PRINTF("%lld %llu", LLONG_MIN, ULLONG_MAX);
    EXPECT_LOGGED_AS_PRINTF("%hd %hu %hhd %hhu", -12345, 65535, -7, 255);
    EXPECT_LOGGED_AS_PRINTF("%zu %zd %td %jd", static_cast<size_t>(42), static_cast<ssize_t>(-42),
                            static_cast<ptrdiff_t>(-9), static_cast<intmax_t>(INT64_MIN));
    EXPECT_LOGGED_AS_PRINTF("%p %p", static_cast<void*>(&local), static_cast<void*>(nullptr));
    EXPECT_LOGGED_AS_PRINTF("[%s] [%s] [%c] 100%%", "text", nullText, 'q');
    EXPECT_LOGGED_AS_PRINTF("no conversions at all");
    EXPECT_LOGGED_AS_PRINTF("%5d|%-6s|%08x|%+d|%#o|%*d|%-*d|", 42, "ab", 0xbeefu, 5, 8u, 4, 7, 3, 9);
    // The ones left to vsnprintf.
    EXPECT_LOGGED_AS_PRINTF("%.3f|%.2s %e", 3.14159, "abcdef", 12345.678);
}

// Logs one line through a runtime format and adds what printf makes of it to `expected`.
template <typename... Args>
void logAndPrint(std::string* expected, const char* format, Args... args) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
    char printed[2048];
    snprintf(printed, sizeof(printed), format, args...);
    mdlog_logBareLine(format, args...);
#pragma GCC diagnostic pop
    *expected += std::string(printed) + "\n";
}

// Flags, widths and length modifiers are formatted here, byte for byte as
// printf does, and never reach vsnprintf; precisions and floats do.
TEST_F(LoggerTest, FlagsAndWidthsStayOffTheVsnprintfFallback) {
    const int ints[] = {0, 1, -1, 42, -42, 123456, INT_MAX, INT_MIN};
    const unsigned unsigneds[] = {0u, 1u, 8u, 255u, 0xbeefu, 0xdeadbeefu, UINT_MAX};
    const long long longs[] = {0LL, -1LL, LLONG_MIN, LLONG_MAX, 0x123456789abLL};
    const size_t sizes[] = {0, 17, SIZE_MAX};
    int local = 0;
    const void* pointers[] = {nullptr, &local, reinterpret_cast<const void*>(0x1234)};
    const char* texts[] = {"", "ab", "a longer text", nullptr};
    const char* intFormats[] = {"%d", "%5d", "%-5d|", "%05d", "%+d", "% d", "%+08d", "%-+8d|", "% 06i", "%1d", "%hhd",
                                "%hd"};
    const char* unsignedFormats[] = {"%u", "%08x", "%8X", "%#x", "%#010x", "%-#8x|", "%o", "%#o", "%012o", "%hhx",
                                     "%hu", "%-010u|"};
    const char* longFormats[] = {"%lld", "%20lld", "%-25lld|", "%llx", "%016llx", "%#llX", "%+ld", "%jd"};
    const char* sizeFormats[] = {"%zu", "%10zu", "%zx", "%-12zu|"};
    const char* pointerFormats[] = {"%p", "%20p", "%-20p|", "%020p", "%+p", "% p", "%#p"};
    const char* textFormats[] = {"%s", "%10s", "%-10s|", "%3s", "%010s"};
    const char* charFormats[] = {"%c", "%3c", "%-3c|", "%03c"};

    const unsigned long before = mdlog_fallbackFormatCount();
    std::string expected;
    const std::string out = captured([&] {
        for (const char* format : intFormats)
            for (int value : ints) logAndPrint(&expected, format, value);
        for (const char* format : unsignedFormats)
            for (unsigned value : unsigneds) logAndPrint(&expected, format, value);
        for (const char* format : longFormats)
            for (long long value : longs) logAndPrint(&expected, format, value);
        for (const char* format : sizeFormats)
            for (size_t value : sizes) logAndPrint(&expected, format, value);
        for (const char* format : pointerFormats)
            for (const void* value : pointers) logAndPrint(&expected, format, value);
        for (const char* format : textFormats)
            for (const char* value : texts) logAndPrint(&expected, format, value);
        for (const char* format : charFormats) logAndPrint(&expected, format, 'q');
        for (int width : {0, 3, -3, 12, -12}) logAndPrint(&expected, "[%*d][%*s]", width, -7, width, "ab");
        logAndPrint(&expected, "thread_suspend (%08x): %s", 0x1a2bu, "No such process");
    });
    EXPECT_EQ(expected, out);
    EXPECT_EQ(before, mdlog_fallbackFormatCount());

    captured([] {
        mdlog_logBareLine("%.3f", 1.5);
        mdlog_logBareLine("%.2s", "abc");
        MDLOG_INFO("%5.1f", 2.25);
    });
    EXPECT_EQ(before + 3, mdlog_fallbackFormatCount());
}

TEST_F(LoggerTest, LogFileReceivesEveryLineAndStandardOutputToo) {
    const std::string path = dir_.file("ConsoleLog.txt");
    ASSERT_TRUE(mdlog_setLogFile(path.c_str(), true));
    const std::string out = captured([] {
        mdlog_logLine("ERROR", "/p/q.cpp", 12, "fn", "first %d", 1);
        mdlog_logBareLine("second");
    });
    EXPECT_EQ(out, "ERROR: q.cpp (12): fn: first 1\nsecond\n");
    EXPECT_EQ(zeltest::readFile(path), out);
}

TEST_F(LoggerTest, OverwriteTruncatesAndOtherwiseWritingStartsAtTheBeginning) {
    const std::string path = dir_.file("log.txt");
    zeltest::writeFile(path, "0123456789ABCDEF");
    ASSERT_TRUE(mdlog_setLogFile(path.c_str(), false));
    captured([] { mdlog_logBareLine("ab"); });
    EXPECT_EQ(zeltest::readFile(path), "ab\n3456789ABCDEF");

    ASSERT_TRUE(mdlog_setLogFile(path.c_str(), true));
    EXPECT_EQ(zeltest::readFile(path), "");
    captured([] { mdlog_logBareLine("fresh"); });
    EXPECT_EQ(zeltest::readFile(path), "fresh\n");

    // Truncating reopens the stored path and logging goes on into it.
    ASSERT_TRUE(mdlog_truncateLogFile());
    EXPECT_EQ(zeltest::readFile(path), "");
    captured([] { mdlog_logBareLine("after"); });
    EXPECT_EQ(zeltest::readFile(path), "after\n");
}

TEST_F(LoggerTest, UnopenableLogFileIsReportedAndThePreviousDestinationStays) {
    const std::string good = dir_.file("good.txt");
    ASSERT_TRUE(mdlog_setLogFile(good.c_str(), true));

    const std::string bad = dir_.file("missing/dir/log.txt");
    bool opened = true;
    const std::string out = captured([&] {
        opened = mdlog_setLogFile(bad.c_str(), true);
        mdlog_logBareLine("still here");
    });
    EXPECT_FALSE(opened);
    // The complaint has no line feed of its own.
    EXPECT_EQ(out, "MDLogger: Could not open " + bad + ": " + strerror(ENOENT) + "still here\n");
    EXPECT_EQ(zeltest::readFile(good), "MDLogger: Could not open " + bad + ": " + strerror(ENOENT) + "still here\n");
    EXPECT_FALSE(zeltest::fileExists(bad));

    // Truncation still works on the file that stayed in use.
    ASSERT_TRUE(mdlog_truncateLogFile());
    EXPECT_EQ(zeltest::readFile(good), "");
}

TEST_F(LoggerTest, NullPathIsRefused) {
    bool opened = true;
    const std::string out = captured([&] { opened = mdlog_setLogFile(nullptr, true); });
    EXPECT_FALSE(opened);
    EXPECT_EQ(out.rfind("MDLogger: Could not open (null): ", 0), 0u) << out;
}

TEST_F(LoggerTest, WorksInSignalHandlersAndWithoutStandardOutput) {
    const std::string path = dir_.file("child.txt");
    fflush(stdout);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (!mdlog_setLogFile(path.c_str(), true)) _exit(2);
        close(STDOUT_FILENO);  // the file must still get everything
        struct sigaction action {};
        action.sa_handler = [](int signal) { MDLOG_WARN("caught signal %d at %p", signal, static_cast<void*>(nullptr)); };
        sigemptyset(&action.sa_mask);
        sigaction(SIGUSR1, &action, nullptr);
        raise(SIGUSR1);
        mdlog_logBareLine("done");
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    const std::string text = zeltest::readFile(path);
    EXPECT_EQ(text.rfind("WARN : test_logger.cpp (", 0), 0u) << text;
    EXPECT_NE(text.find(": caught signal " + std::to_string(SIGUSR1) + " at (nil)\ndone\n"), std::string::npos)
        << text;
}

TEST_F(LoggerTest, ObjectLinesFormatObjectsAndShareTheLayout) {
    EXPECT_EQ(captured([] {
                  mdlog_logObjectLine("ERROR", "/x/y/Sink.cpp", 12, "-[Sink send]", "failed %@ (%d)",
                                      std::string("upload"), 3);
              }),
              "ERROR: Sink.cpp (12): -[Sink send]: failed upload (3)\n");
    EXPECT_EQ(captured([] { mdlog_logBareObjectLine("bare %@", std::string("text")); }), "bare text\n");
    // Multi-byte UTF-8 passes unchanged, and "%" in an argument is never a format.
    EXPECT_EQ(captured([] { mdlog_logBareObjectLine("%@", std::string("gr\xc3\xbc\xc3\x9f %s %n \xe2\x82\xac")); }),
              "gr\xc3\xbc\xc3\x9f %s %n \xe2\x82\xac\n");
    const std::string out = captured([] { MDLOGOBJ_WARN("short %@", std::string("form")); });
    EXPECT_EQ(out.rfind("WARN : test_logger.cpp (", 0), 0u) << out;
    EXPECT_TRUE(endsWith(out, ": short form\n")) << out;
}

TEST_F(LoggerTest, ObjectLinesWithoutAMessage) {
    // The leveled form shows "(null)" as the message, with a line feed...
    EXPECT_EQ(captured([] { mdlog_logObjectLine("INFO ", "a/b.m", 4, "fn", nullptr); }), "INFO : b.m (4): fn: (null)\n");
    EXPECT_EQ(captured([] { mdlog_logObjectLineText("INFO ", "b.m", 4, "fn", nullptr); }), "INFO : b.m (4): fn: (null)\n");
    // ...while the bare form writes "(null)" alone.
    EXPECT_EQ(captured([] { mdlog_logBareObjectLine(nullptr); }), "(null)");
    EXPECT_EQ(captured([] { mdlog_logBareObjectLineText(nullptr); }), "(null)");
}

TEST_F(LoggerTest, TextThatIsNotUTF8IsReplacedByTheConversionFailure) {
    const std::string failure = "Could not convert log string to UTF-8. No logging performed.\n";
    const char* invalid[] = {
        "\xff",                  // never a UTF-8 byte
        "ok \xc3",               // cut sequence at the end
        "\xc3(",                 // continuation missing
        "\xc0\xaf",              // overlong "/"
        "\xe0\x80\xaf",          // overlong, three bytes
        "\xed\xa0\x80",          // a surrogate
        "\xf4\x90\x80\x80",      // above U+10FFFF
        "\x80",                  // a lone continuation byte
    };
    for (const char* text : invalid) {
        const std::string message(text);
        EXPECT_EQ(captured([&] { mdlog_logBareObjectLineText(&message); }), failure) << message;
    }
    // Through the leveled form the whole line is replaced.
    EXPECT_EQ(captured([] { mdlog_logObjectLine("ERROR", "f.c", 1, "fn", "%@", std::string("bad \xfe")); }), failure);
    // The largest code point and the last one before the surrogates are fine.
    const std::string edge = "\xf4\x8f\xbf\xbf \xed\x9f\xbf";
    EXPECT_EQ(captured([&] { mdlog_logBareObjectLineText(&edge); }), edge + "\n");
}

}  // namespace
