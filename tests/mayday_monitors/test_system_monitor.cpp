// The system monitor, compared with what the test reads from the kernel
// itself. The gathered record is process-wide, so each case gathers in a
// forked child, which reports the event record's system group as
// "key=value" lines.
#include "Mayday/Recording/Monitors/MaydayMonitor_System.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <map>
#include <sstream>
#include <net/if.h>
#include <openssl/evp.h>
#include <string>
#include <sys/statvfs.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <vector>

#include "Mayday/Recording/Monitors/MaydayMonitor.h"
#include "Mayday/Recording/Tools/MDDynamicLinker.h"
#include "Mayday/Recording/Tools/MDSysCtl.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/PropertyList.h"
#include "tests/support/CrashChild.h"
#include "tests/support/TempDir.h"

namespace {

using platform::Value;
using Report = std::map<std::string, std::string>;

void putField(const char* key, const char* value) {
    zeltest::put(key);
    zeltest::put("=");
    zeltest::put(value ? value : "(null)");
    zeltest::put("\n");
}

void putField(const char* key, uint64_t value) { putField(key, std::to_string(value).c_str()); }
void putField(const char* key, int value) { putField(key, std::to_string(value).c_str()); }

#define PUT(field) putField(#field, s.field)
void putSystem(const Mayday_MonitorContext& context) {
    const auto& s = context.system;
    PUT(systemName), PUT(systemVersion), PUT(machine), PUT(model), PUT(kernelVersion), PUT(osVersion);
    PUT(isJailbroken), PUT(bootTime), PUT(appStartTime), PUT(executablePath), PUT(executableName);
    PUT(bundleID), PUT(bundleName), PUT(bundleVersion), PUT(bundleShortVersion), PUT(appID);
    PUT(cpuArchitecture), PUT(cpuType), PUT(cpuSubType), PUT(binaryCPUType), PUT(binaryCPUSubType);
    PUT(timezone), PUT(processName), PUT(processID), PUT(parentProcessID), PUT(deviceAppHash), PUT(buildType);
    PUT(storageSize), PUT(memorySize), PUT(freeMemory), PUT(usableMemory);
}
#undef PUT

Report parse(const std::string& output) {
    Report report;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        const size_t equals = line.find('=');
        if (equals != std::string::npos) report[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return report;
}

// Gathers in a child (with `bundlePath` as the main bundle when given),
// takes one event through the frame and reports its system group; `more`
// may report further lines.
template <typename More>
Report gatherInChild(const std::string& bundlePath, More more) {
    fflush(stdout);
    const zeltest::ChildEnd end = zeltest::runInChild([&] {
        if (!bundlePath.empty()) platform::Bundle::setMainBundlePath(bundlePath);
        mdcm_testing_reset();
        mdcm_system_testing_reset();
        static Mayday_MonitorContext seen;
        mdcm_setEventHandler([](Mayday_MonitorContext* context) { seen = *context; });
        mdcm_selectMonitors(MaydayMonitorTypeSystem);
        Mayday_MonitorContext context{};
        mdcm_dispatchEvent(&context);
        putSystem(seen);
        more(seen);
    });
    EXPECT_TRUE(end.exited && end.exitStatus == 0) << end.output;
    return parse(end.output);
}

Report gatherInChild(const std::string& bundlePath) {
    return gatherInChild(bundlePath, [](const Mayday_MonitorContext&) {});
}

std::string firstLine(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

std::string utcText(time_t seconds) {
    struct tm utc;
    gmtime_r(&seconds, &utc);
    char text[32];
    strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string exePath() {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    return length > 0 ? std::string(path, (size_t)length) : std::string();
}

// The first hardware address as /sys/class/net lists it: interfaces in name
// order, loopback and all-zero addresses skipped.
std::string firstHardwareAddress() {
    std::vector<std::string> names;
    if (DIR* dir = opendir("/sys/class/net")) {
        while (const struct dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') names.push_back(entry->d_name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string base = "/sys/class/net/" + name;
        if (strtoul(firstLine(base + "/flags").c_str(), nullptr, 16) & IFF_LOOPBACK) continue;
        unsigned byte[6];
        if (sscanf(firstLine(base + "/address").c_str(), "%x:%x:%x:%x:%x:%x", &byte[0], &byte[1], &byte[2],
                   &byte[3], &byte[4], &byte[5]) != 6)
            continue;
        std::string address;
        for (unsigned b : byte) address.push_back((char)b);
        if (address != std::string(6, '\0')) return address;
    }
    return std::string(6, '\0');
}

std::string sha1Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha1(), nullptr);
    std::string text;
    char hex[3];
    for (unsigned int i = 0; i < length; i++) {
        snprintf(hex, sizeof(hex), "%02x", digest[i]);
        text += hex;
    }
    return text;
}

class SystemMonitorTest : public ::testing::Test {
protected:
    zeltest::TempDir dir;

    // A bundle directory whose Info.plist holds `info`.
    std::string makeBundle(const Value& info) {
        const std::string path = dir.file("Bundle.app");
        zeltest::writeFile(path + "/Info.plist", "");
        EXPECT_TRUE(platform::PropertyList::writeXMLFile(info, path + "/Info.plist"));
        return path;
    }
};

TEST_F(SystemMonitorTest, DescribesSystemAndProcessAsTheKernelReportsThem) {
    struct utsname names;
    ASSERT_EQ(uname(&names), 0);
    const std::string home = getenv("HOME") ? getenv("HOME") : "";
    struct statvfs fileSystem;
    ASSERT_EQ(statvfs(home.c_str(), &fileSystem), 0) << home;
    struct sysinfo info;
    ASSERT_EQ(sysinfo(&info), 0);
    uint64_t bootSeconds = 0;
    ASSERT_TRUE(mdsysctl_readKeyedNumber("/proc/stat", "btime", &bootSeconds));
    const std::string dmiModel = firstLine("/sys/class/dmi/id/product_name");

    const std::string before = utcText(time(nullptr));
    setenv("TZ", "JST-9", 1);
    Report r = gatherInChild({}, [](const Mayday_MonitorContext& first) {
        // A later enable reuses the record: the same strings, not new copies.
        mdcm_system_getAPI()->setEnabled(false);
        mdcm_system_getAPI()->setEnabled(true);
        Mayday_MonitorContext second{};
        mdcm_system_getAPI()->addContextToEvent(&second);
        putField("reused", second.system.appStartTime == first.system.appStartTime ? "yes" : "no");
        putField("pid", (int)getpid());
        char uuid[40] = "(null)";
        if (const uint8_t* b = mddl_imageUUID(exePath().c_str(), true)) {
            snprintf(uuid, sizeof(uuid), "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0],
                     b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
        }
        putField("imageUUID", uuid);
    });
    unsetenv("TZ");
    const std::string after = utcText(time(nullptr));

    EXPECT_EQ(r["systemName"], names.sysname);
    EXPECT_EQ(r["systemVersion"], names.release);
    EXPECT_EQ(r["osVersion"], names.version);
    EXPECT_EQ(r["machine"], names.machine);
    EXPECT_EQ(r["model"], dmiModel.empty() ? "(null)" : dmiModel);
    EXPECT_EQ(r["kernelVersion"], firstLine("/proc/version"));
    EXPECT_EQ(r["isJailbroken"], "0");
    EXPECT_EQ(r["bootTime"], utcText((time_t)bootSeconds));
    EXPECT_LE(before, r["appStartTime"]);
    EXPECT_GE(after, r["appStartTime"]);
    EXPECT_EQ(r["buildType"], "unknown");
    EXPECT_EQ(r["timezone"], "JST");
    EXPECT_EQ(r["storageSize"], std::to_string((uint64_t)fileSystem.f_blocks * fileSystem.f_frsize));
    EXPECT_EQ(r["memorySize"], std::to_string((uint64_t)info.totalram * info.mem_unit));
    EXPECT_EQ(r["reused"], "yes");
    // Taken per event from /proc/meminfo, which counts kilobytes.
    for (const char* key : {"freeMemory", "usableMemory"}) {
        const uint64_t bytes = std::stoull(r[key]);
        EXPECT_GT(bytes, 0u) << key;
        EXPECT_EQ(bytes % 1024, 0u) << key;
        EXPECT_LE(bytes, (uint64_t)info.totalram * info.mem_unit) << key;
    }

    const std::string path = exePath();
    EXPECT_EQ(r["executablePath"], path);
    // Longer than the 15 bytes /proc/self/comm keeps.
    EXPECT_EQ(r["processName"], path.substr(path.rfind('/') + 1));
    EXPECT_EQ(r["processID"], r["pid"]);
    EXPECT_EQ(r["parentProcessID"], std::to_string(getpid()));
    EXPECT_NE(r["appID"], "(null)") << "the test program is linked with a build id";
    EXPECT_EQ(r["appID"], r["imageUUID"]);
#if defined(__x86_64__)
    EXPECT_EQ(r["cpuArchitecture"], "x86_64");
    EXPECT_EQ(r["cpuType"], std::to_string(0x1000007));
    EXPECT_EQ(r["cpuSubType"], "3");
    EXPECT_EQ(r["binaryCPUType"], std::to_string(0x1000007));
    EXPECT_EQ(r["binaryCPUSubType"], "3");
#endif
}

TEST_F(SystemMonitorTest, ApplicationValuesComeFromTheBundle) {
    Report r = gatherInChild(makeBundle(Value::dictionary({
        {"CFBundleExecutable", "Mayday Demo"},
        {"CFBundleIdentifier", "com.example.mayday"},
        {"CFBundleName", "Demo"},
        {"CFBundleVersion", "42"},
        {"CFBundleShortVersionString", "1.2"},
    })));
    EXPECT_EQ(r["executableName"], "Mayday Demo");
    EXPECT_EQ(r["bundleID"], "com.example.mayday");
    EXPECT_EQ(r["bundleName"], "Demo");
    EXPECT_EQ(r["bundleVersion"], "42");
    EXPECT_EQ(r["bundleShortVersion"], "1.2");

    // Without an Info.plist the executable names the application.
    ASSERT_EQ(unlink((dir.file("Bundle.app") + "/Info.plist").c_str()), 0);
    r = gatherInChild(dir.file("Bundle.app"));
    const std::string path = exePath();
    EXPECT_EQ(r["executableName"], path.substr(path.rfind('/') + 1));
    EXPECT_EQ(r["bundleID"], "(null)");
    EXPECT_EQ(r["bundleShortVersion"], "(null)");
}

TEST_F(SystemMonitorTest, DeviceAppHashCoversDeviceAndApplication) {
    const std::string bundle = makeBundle(Value::dictionary({{"CFBundleIdentifier", "com.example.mayday"}}));
    // Gathered twice in one process: the same hash again.
    Report r = gatherInChild(bundle, [](const Mayday_MonitorContext&) {
        mdcm_system_testing_reset();
        mdcm_system_getAPI()->setEnabled(true);
        Mayday_MonitorContext again{};
        mdcm_system_getAPI()->addContextToEvent(&again);
        putField("hashAgain", again.system.deviceAppHash);
    });
    const std::string hash = r["deviceAppHash"];
    ASSERT_EQ(hash.size(), 40u) << hash;
    EXPECT_EQ(hash.find_first_not_of("0123456789abcdef"), std::string::npos) << hash;
    EXPECT_EQ(r["hashAgain"], hash);

    char model[1024] = "";
    mdsysctl_stringForName("hw.model", model, sizeof(model));
    const std::string bytes = firstHardwareAddress() + r["machine"] + model + r["cpuArchitecture"] + "com.example.mayday";
    EXPECT_EQ(hash, sha1Hex(bytes));

    Report other = gatherInChild(makeBundle(Value::dictionary({{"CFBundleIdentifier", "com.example.other"}})));
    EXPECT_NE(other["deviceAppHash"], hash);
}

}  // namespace
