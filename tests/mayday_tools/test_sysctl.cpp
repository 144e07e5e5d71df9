// System values by name, the hardware address query and the keyed-number scanner.
#include "Mayday/Recording/Tools/MDSysCtl.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <string>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "Mayday/Recording/Tools/MDLogger.h"
#include "StdoutCapture.h"
#include "TempDir.h"

namespace {

using zeltest::StdoutCapture;

size_t lineCount(const std::string& text) {
    size_t count = 0;
    for (char c : text) count += c == '\n';
    return count;
}

// One error line from MDSysCtl.cpp ending in `message`.
void expectOneErrorLine(const std::string& log, const std::string& message) {
    EXPECT_EQ(lineCount(log), 1u) << log;
    EXPECT_EQ(log.rfind("ERROR: MDSysCtl.cpp (", 0), 0u) << log;
    ASSERT_GE(log.size(), message.size() + 3) << log;
    EXPECT_EQ(log.substr(log.size() - message.size() - 3), ": " + message + "\n") << log;
}

std::string firstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

const std::string kTypedCall = "sysctlbyname(name, &value, &size, NULL, 0)";
const std::string kStringCall = "sysctlbyname(name, value, &size, NULL, 0)";

std::string stringValue(const char* name) {
    char buffer[1024];
    const int size = mdsysctl_stringForName(name, buffer, sizeof(buffer));
    return size > 0 ? std::string(buffer) : std::string("<failed>");
}

TEST(SysCtlFailures, UnknownNamesAnswerZeroAndLogOneLine) {
    const char* name = "zel.no_such.value";
    const std::string error = strerror(ENOENT);
    {
        StdoutCapture capture;
        EXPECT_EQ(mdsysctl_int32ForName(name), 0);
        const std::string log = capture.finish();
        expectOneErrorLine(log, "Could not get " + kTypedCall + " value for " + name + ": " + error);
        EXPECT_NE(log.find("mdsysctl_int32ForName"), std::string::npos) << log;  // the query that failed
    }
    {
        StdoutCapture capture;
        EXPECT_EQ(mdsysctl_uint64ForName(name), 0u);
        expectOneErrorLine(capture.finish(), "Could not get " + kTypedCall + " value for " + name + ": " + error);
    }
    {
        StdoutCapture capture;
        char buffer[16] = "untouched";
        EXPECT_EQ(mdsysctl_stringForName(name, buffer, sizeof(buffer)), 0);
        EXPECT_STREQ(buffer, "untouched");
        EXPECT_EQ(mdsysctl_stringForName(name, nullptr, 0), 0);
        const std::string log = capture.finish();
        EXPECT_EQ(lineCount(log), 2u) << log;
        EXPECT_NE(log.find("Could not get " + kStringCall + " value for " + name + ": " + error + "\n"),
                  std::string::npos)
            << log;
    }
    {
        StdoutCapture capture;
        const timeval zero = mdsysctl_timevalForName(name);
        EXPECT_EQ(zero.tv_sec, 0);
        EXPECT_EQ(zero.tv_usec, 0);
        expectOneErrorLine(capture.finish(), std::string("Could not get timeval value for ") + name + ": " + error);
    }
    {
        StdoutCapture capture;
        EXPECT_EQ(mdsysctl_int32ForName(""), 0);
        EXPECT_EQ(mdsysctl_int32ForName(nullptr), 0);
        EXPECT_EQ(lineCount(capture.finish()), 2u);
    }
}

TEST(SysCtlFailures, ValuesOfAnotherTypeAreRefused) {
    const std::string invalid = strerror(EINVAL);
    {
        StdoutCapture capture;
        EXPECT_EQ(mdsysctl_int32ForName("kernel.ostype"), 0);  // "Linux" is no number
        expectOneErrorLine(capture.finish(), "Could not get " + kTypedCall + " value for kernel.ostype: " + invalid);
    }
    {
        StdoutCapture capture;
        EXPECT_EQ(mdsysctl_uint64ForName("kern.boottime"), 0u);
        expectOneErrorLine(capture.finish(), "Could not get " + kTypedCall + " value for kern.boottime: " + invalid);
    }
    {
        StdoutCapture capture;
        EXPECT_EQ(mdsysctl_stringForName("kern.boottime", nullptr, 0), 0);
        expectOneErrorLine(capture.finish(), "Could not get " + kStringCall + " value for kern.boottime: " + invalid);
    }
    {
        StdoutCapture capture;
        EXPECT_EQ(mdsysctl_timevalForName("hw.memsize").tv_sec, 0);
        expectOneErrorLine(capture.finish(), "Could not get timeval value for hw.memsize: " + invalid);
    }
    {
        // A group of values is a directory, not a value.
        StdoutCapture capture;
        EXPECT_EQ(mdsysctl_uint64ForName("kernel"), 0u);
        expectOneErrorLine(capture.finish(),
                           "Could not get " + kTypedCall + " value for kernel: " + strerror(EISDIR));
    }
    struct sysinfo info {};
    ASSERT_EQ(sysinfo(&info), 0);
    if (static_cast<uint64_t>(info.totalram) * info.mem_unit > static_cast<uint64_t>(INT32_MAX)) {
        StdoutCapture capture;
        EXPECT_EQ(mdsysctl_int32ForName("hw.memsize"), 0);
        expectOneErrorLine(capture.finish(),
                           "Could not get " + kTypedCall + " value for hw.memsize: " + strerror(ERANGE));
    }
}

TEST(SysCtlValues, MachineValuesComeFromTheKernel) {
    struct utsname names {};
    ASSERT_EQ(uname(&names), 0);
    StdoutCapture capture;

    EXPECT_EQ(stringValue("kern.osversion"), names.release);
    EXPECT_EQ(stringValue("hw.machine"), names.machine);
    const std::string model = stringValue("hw.model");
    EXPECT_FALSE(model.empty());
    EXPECT_NE(model.back(), '\n');

    const std::string version = stringValue("kern.version");
    EXPECT_EQ(version.rfind("Linux version ", 0), 0u) << version;
    EXPECT_NE(version.back(), '\n');
    EXPECT_EQ(version, firstLine("/proc/version"));

#if defined(__x86_64__)
    EXPECT_EQ(mdsysctl_int32ForName("hw.cputype"), 0x01000007);
    EXPECT_EQ(mdsysctl_int32ForName("hw.cpusubtype"), 3);
#endif

    struct sysinfo info {};
    ASSERT_EQ(sysinfo(&info), 0);
    const uint64_t memory = mdsysctl_uint64ForName("hw.memsize");
    EXPECT_GT(memory, 0u);
    EXPECT_EQ(memory, static_cast<uint64_t>(info.totalram) * info.mem_unit);
    // Numbers also read as their decimal text.
    EXPECT_EQ(stringValue("hw.memsize"), std::to_string(memory));

    const timeval boot = mdsysctl_timevalForName("kern.boottime");
    const time_t now = time(nullptr);
    EXPECT_LE(boot.tv_sec, now);
    EXPECT_GT(boot.tv_sec, now - 20L * 365 * 86400);
    EXPECT_EQ(boot.tv_usec, 0);

    EXPECT_EQ(capture.finish(), "");
}

TEST(SysCtlValues, OtherNamesReadProcSys) {
    StdoutCapture capture;
    const int32_t pidMax = mdsysctl_int32ForName("kernel.pid_max");
    EXPECT_GT(pidMax, 0);
    EXPECT_EQ(std::to_string(pidMax), firstLine("/proc/sys/kernel/pid_max"));
    EXPECT_EQ(mdsysctl_uint64ForName("kernel.pid_max"), static_cast<uint64_t>(pidMax));
    EXPECT_EQ(stringValue("kernel.pid_max"), std::to_string(pidMax));
    EXPECT_EQ(stringValue("kernel.ostype"), "Linux");
    EXPECT_EQ(capture.finish(), "");
}

TEST(SysCtlValues, StringSizeQueryAndSmallBuffers) {
    StdoutCapture capture;
    // "Linux" occupies six bytes with its terminator.
    EXPECT_EQ(mdsysctl_stringForName("kernel.ostype", nullptr, 0), 6);
    EXPECT_EQ(mdsysctl_stringForName("kernel.ostype", nullptr, 100), 6);

    char exact[6];
    EXPECT_EQ(mdsysctl_stringForName("kernel.ostype", exact, sizeof(exact)), 6);
    EXPECT_STREQ(exact, "Linux");

    // Too small: what fits, terminated, and the full size so the caller sees the cut.
    char small[8];
    memset(small, '#', sizeof(small));
    EXPECT_EQ(mdsysctl_stringForName("kernel.ostype", small, 4), 6);
    EXPECT_STREQ(small, "Lin");
    EXPECT_EQ(small[4], '#');

    char untouched[4] = "abc";
    EXPECT_EQ(mdsysctl_stringForName("kernel.ostype", untouched, 0), 6);
    EXPECT_STREQ(untouched, "abc");
    EXPECT_EQ(mdsysctl_stringForName("kernel.ostype", untouched, -3), 6);
    EXPECT_STREQ(untouched, "abc");

    // The size query answers what a later read needs.
    const int needed = mdsysctl_stringForName("kern.version", nullptr, 0);
    ASSERT_GT(needed, 1);
    std::string value(static_cast<size_t>(needed), '\0');
    EXPECT_EQ(mdsysctl_stringForName("kern.version", value.data(), needed), needed);
    EXPECT_EQ(strlen(value.c_str()), static_cast<size_t>(needed - 1));
    EXPECT_EQ(capture.finish(), "");
}

TEST(SysCtlMacAddress, UnknownInterfaceFailsWithTheIndexMessage) {
    uint8_t mac[6] = {1, 2, 3, 4, 5, 6};
    StdoutCapture capture;
    EXPECT_FALSE(mdsysctl_getMacAddress("zelnone0", mac));
    expectOneErrorLine(capture.finish(), std::string("Could not get interface index for zelnone0: ") + strerror(ENODEV));
    EXPECT_EQ(mac[0], 1);
    EXPECT_EQ(mac[5], 6);

    StdoutCapture again;
    EXPECT_FALSE(mdsysctl_getMacAddress(nullptr, mac));
    EXPECT_NE(again.finish().find("Could not get interface index for (null): "), std::string::npos);
}

TEST(SysCtlMacAddress, AddressesMatchTheKernelsList) {
    uint8_t mac[6] = {9, 9, 9, 9, 9, 9};
    ASSERT_TRUE(mdsysctl_getMacAddress("lo", mac));
    for (uint8_t byte : mac) EXPECT_EQ(byte, 0);

    DIR* dir = opendir("/sys/class/net");
    ASSERT_NE(dir, nullptr);
    int compared = 0;
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string expected = firstLine("/sys/class/net/" + name + "/address");
        if (expected.size() != 17) continue;  // not a six-byte address
        uint8_t address[6] = {};
        ASSERT_TRUE(mdsysctl_getMacAddress(name.c_str(), address)) << name;
        char text[18];
        snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", address[0], address[1], address[2], address[3],
                 address[4], address[5]);
        EXPECT_EQ(text, expected) << name;
        ++compared;
    }
    closedir(dir);
    EXPECT_GT(compared, 0);
}

class KeyedNumberTest : public ::testing::Test {
protected:
    std::string write(const std::string& contents) {
        const std::string path = dir_.file("status" + std::to_string(++files_));
        zeltest::writeFile(path, contents);
        return path;
    }
    zeltest::TempDir dir_;
    int files_ = 0;
};

TEST_F(KeyedNumberTest, FindsTheKeyOnlyAtTheStartOfALine) {
    uint64_t value = 0;
    ASSERT_TRUE(mdsysctl_readKeyedNumber(write("cpu 1 2\nxbtime 5\nbtimeX 6\nbtime 1700000000\nend 1\n").c_str(),
                                         "btime", &value));
    EXPECT_EQ(value, 1700000000u);

    ASSERT_TRUE(mdsysctl_readKeyedNumber(write("Name:\tx\nTracerPid:\t4321\n").c_str(), "TracerPid:", &value));
    EXPECT_EQ(value, 4321u);

    // A number at the very end of the file, with no line feed.
    ASSERT_TRUE(mdsysctl_readKeyedNumber(write("a 1\nkey  77").c_str(), "key", &value));
    EXPECT_EQ(value, 77u);
}

TEST_F(KeyedNumberTest, ScansAcrossReadPieces) {
    // Long lines before the key, and the key itself straddling a 256-byte piece.
    std::string contents = "intr " + std::string(5000, '1') + "\n";
    contents += std::string(256 - contents.size() % 256 - 3, 'z') + "\n";
    contents += "btime 18446744073709551615\n";
    uint64_t value = 0;
    ASSERT_TRUE(mdsysctl_readKeyedNumber(write(contents).c_str(), "btime", &value));
    EXPECT_EQ(value, UINT64_MAX);
}

TEST_F(KeyedNumberTest, FailuresSetErrno) {
    uint64_t value = 5;
    errno = 0;
    EXPECT_FALSE(mdsysctl_readKeyedNumber(write("other 1\n").c_str(), "btime", &value));
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_FALSE(mdsysctl_readKeyedNumber(write("btime \nbtime x\n").c_str(), "btime", &value));
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_FALSE(mdsysctl_readKeyedNumber(write("btime 18446744073709551616\n").c_str(), "btime", &value));
    EXPECT_EQ(errno, ERANGE);
    errno = 0;
    EXPECT_FALSE(mdsysctl_readKeyedNumber(dir_.file("absent").c_str(), "btime", &value));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(value, 5u);
}

}  // namespace
