// The system monitor: the description of machine, system and application,
// gathered once, and the memory figures of each event.
//
// Gathering (setEnabled) allocates and is not crash-path code. addContextToEvent
// is: a struct copy and raw reads of /proc/meminfo, no heap, no locks, no stdio.
#include "Mayday/Recording/Monitors/MaydayMonitor_System.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <ifaddrs.h>
#include <memory>
#include <net/if.h>
// The direct SHA-1 functions: the EVP interface would load OpenSSL's
// providers for this one digest (about 2.4 MB resident and over a
// millisecond at install, and the pages to give back when a crash ends the
// process).
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>
#include <pwd.h>
#include <string>
#include <sys/statvfs.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <vector>

#include "Mayday/Recording/Tools/MDDate.h"
#include "Mayday/Recording/Tools/MDDynamicLinker.h"
#include "Mayday/Recording/Tools/MDLogger.h"
#include "Mayday/Recording/Tools/MDNumberText.h"
#include "Mayday/Recording/Tools/MDSysCall.h"
#include "Mayday/Recording/Tools/MDSysCtl.h"
#include "platform/foundation/Bundle.h"

namespace {

using SystemRecord = decltype(Mayday_MonitorContext::system);

std::atomic<bool> g_isEnabled{false};
bool g_isGathered = false;
SystemRecord g_system;

// ---- Gathering (not crash-path) ----

// Private copies for the record; they live for the process (only the test
// reset frees them). Null stays null.
char* copyString(const char* text) {
    return text ? strdup(text) : nullptr;
}

char* copyString(const std::string& text) {
    return strdup(text.c_str());
}

char* sysctlString(const char* name) {
    const int size = mdsysctl_stringForName(name, nullptr, 0);
    if (size <= 0) return nullptr;
    std::vector<char> value((size_t)size);
    if (mdsysctl_stringForName(name, value.data(), size) <= 0) return nullptr;
    return copyString(value.data());
}

// The string at `key` of the main bundle's information dictionary, or null.
char* infoString(const platform::Value& info, const char* key) {
    const platform::Value value = info[key];
    return value.isString() ? copyString(value.stringValue()) : nullptr;
}

std::string executablePath() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0) return std::string();
    return std::string(path, (size_t)length);
}

char* utcTimeText(time_t seconds) {
    char text[21];
    mddate_utcStringFromTimestamp(seconds, text);
    return copyString(text);
}

// The executable's build id as image UUIDs are shown: upper-case 8-4-4-4-12.
char* appID(const char* path) {
    const uint8_t* uuid = mddl_imageUUID(path, true);
    if (uuid == nullptr) uuid = mddl_imageUUID(mdfu_lastPathEntry(path), false);
    if (uuid == nullptr) return nullptr;
    char text[37];
    int position = 0;
    for (int i = 0; i < 16; i++) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text[position++] = '-';
        mdnum_writeHexByte(text + position, uuid[i], true);
        position += 2;
    }
    text[position] = '\0';
    return copyString(text);
}

// Mach CPU numbers to the architecture names of reports.
const char* architectureName(int cpuType, int cpuSubType) {
    switch (cpuType) {
        case 7: return "x86";
        case 0x1000007: return "x86_64";
        case 12:
            switch (cpuSubType) {
                case 6: return "armv6";
                case 9: return "armv7";
                case 10: return "armv7f";
                case 11: return "armv7s";
                case 12: return "armv7k";
                default: break;
            }
            break;
        default: break;
    }
    return nullptr;
}

char* timezoneAbbreviation() {
    tzset();
    const time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) == nullptr || local.tm_zone == nullptr) return nullptr;
    return copyString(local.tm_zone);
}

// The hardware address of the first non-loopback interface, in name order,
// that has a non-zero one; zeros when none has.
void firstHardwareAddress(uint8_t address[6]) {
    memset(address, 0, 6);
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        MDLOG_ERROR("getifaddrs: %s", mdsys_errorText(errno));
        return;
    }
    const std::unique_ptr<struct ifaddrs, decltype(&freeifaddrs)> owner(list, freeifaddrs);
    std::vector<std::string> names;
    for (const struct ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (entry->ifa_name && !(entry->ifa_flags & IFF_LOOPBACK)) names.emplace_back(entry->ifa_name);
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    for (const std::string& name : names) {
        uint8_t candidate[6];
        if (!mdsysctl_getMacAddress(name.c_str(), candidate)) continue;
        if (std::any_of(candidate, candidate + 6, [](uint8_t byte) { return byte != 0; })) {
            memcpy(address, candidate, 6);
            return;
        }
    }
}

void appendSysctlString(std::string* bytes, const char* name) {
    char* text = sysctlString(name);
    if (text) bytes->append(text);
    free(text);
}

// SHA-1 over hardware address, machine, model, architecture and bundle
// identifier: stable for one application on one device.
char* deviceAppHash(const char* cpuArchitecture, const char* bundleID) {
    uint8_t address[6];
    firstHardwareAddress(address);
    std::string bytes(reinterpret_cast<const char*>(address), sizeof(address));
    appendSysctlString(&bytes, "hw.machine");
    appendSysctlString(&bytes, "hw.model");
    if (cpuArchitecture) bytes.append(cpuArchitecture);
    if (bundleID) bytes.append(bundleID);

    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA_CTX context;
    if (SHA1_Init(&context) != 1 || SHA1_Update(&context, bytes.data(), bytes.size()) != 1 ||
        SHA1_Final(digest, &context) != 1) {
        MDLOG_ERROR("%s", "Could not compute the SHA-1 digest of the device and app");
        return nullptr;
    }
    char text[2 * SHA_DIGEST_LENGTH + 1];
    for (int i = 0; i < SHA_DIGEST_LENGTH; i++) mdnum_writeHexByte(text + 2 * i, digest[i], false);
    text[2 * SHA_DIGEST_LENGTH] = '\0';
    return copyString(text);
}

std::string homeDirectory() {
    const char* home = getenv("HOME");
    if (home && home[0] != '\0') return home;
    struct passwd entry;
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &entry, buffer, sizeof(buffer), &found) == 0 && found && found->pw_dir) {
        return found->pw_dir;
    }
    return std::string();
}

uint64_t storageSize() {
    const std::string home = homeDirectory();
    struct statvfs fileSystem;
    if (home.empty() || statvfs(home.c_str(), &fileSystem) != 0) {
        MDLOG_ERROR("Could not get the size of the file system of %s: %s", home.c_str(), mdsys_errorText(errno));
        return 0;
    }
    return (uint64_t)fileSystem.f_blocks * fileSystem.f_frsize;
}

void gatherSystemInfo() {
    // The main program's path and build id are known to the image list from here on.
    mddl_initialize();

    struct utsname names;
    const bool hasNames = uname(&names) == 0;
    const std::string path = executablePath();
    const platform::Value info = platform::Bundle::mainBundle().infoDictionary();

    g_system.systemName = copyString(hasNames ? names.sysname : nullptr);
    g_system.systemVersion = copyString(hasNames ? names.release : nullptr);
    g_system.machine = copyString(hasNames ? names.machine : nullptr);
    // Without a DMI product name "hw.model" answers the machine name instead.
    char* model = sysctlString("hw.model");
    if (model && g_system.machine && strcmp(model, g_system.machine) == 0) {
        free(model);
        model = nullptr;
    }
    g_system.model = model;
    g_system.kernelVersion = sysctlString("kern.version");
    g_system.osVersion = copyString(hasNames ? names.version : nullptr);
    g_system.isJailbroken = false;
    const struct timeval bootTime = mdsysctl_timevalForName("kern.boottime");
    g_system.bootTime = bootTime.tv_sec > 0 ? utcTimeText(bootTime.tv_sec) : nullptr;
    g_system.appStartTime = utcTimeText(time(nullptr));
    g_system.executablePath = path.empty() ? nullptr : copyString(path);
    g_system.executableName = infoString(info, "CFBundleExecutable");
    if (g_system.executableName == nullptr && !path.empty()) {
        g_system.executableName = copyString(mdfu_lastPathEntry(path.c_str()));
    }
    g_system.bundleID = infoString(info, "CFBundleIdentifier");
    g_system.bundleName = infoString(info, "CFBundleName");
    g_system.bundleVersion = infoString(info, "CFBundleVersion");
    g_system.bundleShortVersion = infoString(info, "CFBundleShortVersionString");
    g_system.appID = path.empty() ? nullptr : appID(path.c_str());

    g_system.cpuType = mdsysctl_int32ForName("hw.cputype");
    g_system.cpuSubType = mdsysctl_int32ForName("hw.cpusubtype");
    const char* architecture = architectureName(g_system.cpuType, g_system.cpuSubType);
    if (architecture == nullptr && hasNames) architecture = names.machine;
    g_system.cpuArchitecture = copyString(architecture);
    MDBinaryImage image;
    if (mddl_binaryImage(0, &image)) {
        g_system.binaryCPUType = image.cpuType;
        g_system.binaryCPUSubType = image.cpuSubType;
    }

    g_system.timezone = timezoneAbbreviation();
    g_system.processName = path.empty() ? nullptr : copyString(mdfu_lastPathEntry(path.c_str()));
    g_system.processID = (int)getpid();
    g_system.parentProcessID = (int)getppid();
    g_system.deviceAppHash = deviceAppHash(g_system.cpuArchitecture, g_system.bundleID);
    g_system.buildType = copyString("unknown");
    g_system.storageSize = storageSize();
    g_system.memorySize = mdsysctl_uint64ForName("hw.memsize");
}

void freeSystemInfo() {
    const char* strings[] = {
        g_system.systemName,     g_system.systemVersion, g_system.machine,          g_system.model,
        g_system.kernelVersion,  g_system.osVersion,     g_system.bootTime,         g_system.appStartTime,
        g_system.executablePath, g_system.executableName, g_system.bundleID,        g_system.bundleName,
        g_system.bundleVersion,  g_system.bundleShortVersion, g_system.appID,       g_system.cpuArchitecture,
        g_system.timezone,       g_system.processName,   g_system.deviceAppHash,    g_system.buildType,
    };
    for (const char* text : strings) free(const_cast<char*>(text));
    memset(&g_system, 0, sizeof(g_system));
}

// ---- Each event (crash-path safe) ----

constexpr char kMemInfoPath[] = "/proc/meminfo";

uint64_t memInfoBytes(const char* key) {
    uint64_t kilobytes = 0;
    return mdsysctl_readKeyedNumber(kMemInfoPath, key, &kilobytes) ? kilobytes * 1024 : 0;
}

void readMemory(uint64_t* freeMemory, uint64_t* usableMemory) {
    const int fd = mdsys_open(kMemInfoPath, O_RDONLY | O_CLOEXEC, 0);
    if (fd >= 0) {
        close(fd);
        *freeMemory = memInfoBytes("MemFree:");
        *usableMemory = memInfoBytes("MemAvailable:");
        return;
    }
    struct sysinfo info;
    if (sysinfo(&info) != 0) {
        *freeMemory = 0;
        *usableMemory = 0;
        return;
    }
    *freeMemory = (uint64_t)info.freeram * info.mem_unit;
    *usableMemory = ((uint64_t)info.freeram + info.bufferram) * info.mem_unit;
}

// ---- Monitor ----

void setEnabled(bool isEnabled) {
    if (g_isEnabled.load() == isEnabled) return;
    if (isEnabled && !g_isGathered) {
        gatherSystemInfo();
        g_isGathered = true;
    }
    // Published after gathering, so an event never sees a half-filled record.
    g_isEnabled.store(isEnabled);
}

bool isEnabled() {
    return g_isEnabled.load();
}

void addContextToEvent(Mayday_MonitorContext* eventContext) {
    if (!g_isEnabled.load()) return;
    eventContext->system = g_system;
    readMemory(&eventContext->system.freeMemory, &eventContext->system.usableMemory);
}

const MaydayMonitorAPI kAPI = {setEnabled, isEnabled, addContextToEvent};

}  // namespace

const MaydayMonitorAPI* mdcm_system_getAPI(void) {
    return &kAPI;
}

void mdcm_system_testing_reset(void) {
    g_isEnabled.store(false);
    freeSystemInfo();
    g_isGathered = false;
}
