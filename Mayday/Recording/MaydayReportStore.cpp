// The report store. The crash-path entries read only what initialisation
// wrote before it published the store (g_ready), format with MDNumberText and
// open files with raw system calls.
#include "Mayday/Recording/MaydayReportStore.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <vector>

#include "Mayday/Recording/Tools/MDFileUtils.h"
#include "Mayday/Recording/Tools/MDLogger.h"
#include "Mayday/Recording/Tools/MDNumberText.h"
#include "Mayday/Recording/Tools/MDSysCall.h"
#include "platform/foundation/UniqueFd.h"

namespace {

constexpr char kNameInfix[] = "-report-";
constexpr char kNameSuffix[] = ".json";
constexpr int kInfixLength = sizeof(kNameInfix) - 1;
constexpr int kSuffixLength = sizeof(kNameSuffix) - 1;
constexpr int kIDDigits = 16;
// A report read back is decoded and fixed up in memory; beyond this it is
// not a report the writer could have produced.
constexpr long long kMaxReportBytes = 64LL * 1024 * 1024;
// Two processes started in the same second share identifiers; a handful of
// retries separates them, and the bound keeps a crash handler from looping.
constexpr int kMaxCreateAttempts = 1000;

std::mutex g_lock;
// Set last by a successful initialisation; the crash-path entries check it
// before they read the buffers below.
std::atomic<bool> g_ready{false};
char g_reportsPath[MDCRS_MAX_PATH_LENGTH];
// "<reports path>/<app>-report-"; the file name part starts at g_nameOffset.
char g_pathPrefix[MDCRS_MAX_PATH_LENGTH];
int g_pathPrefixLength = 0;
int g_nameOffset = 0;
std::atomic<int64_t> g_nextID{0};
std::atomic<int> g_maxReportCount{5};

static_assert(std::atomic<int64_t>::is_always_lock_free, "the crash handler takes identifiers");
static_assert(std::atomic<bool>::is_always_lock_free);

// Lower-case only: the writer never produces anything else, and accepting
// both would let two names stand for one identifier.
int lowerHexDigitValue(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    return -1;
}

// Crash-path safe. The buffer holds MDCRS_MAX_PATH_LENGTH bytes, which
// initialisation made sure is enough.
void formatReportPath(int64_t reportID, char* buffer) {
    memcpy(buffer, g_pathPrefix, static_cast<size_t>(g_pathPrefixLength));
    char* next = buffer + g_pathPrefixLength;
    next += mdnum_formatPadded(next, kIDDigits + 1, static_cast<uint64_t>(reportID), false, 16, kIDDigits,
                               MDNUM_ZERO_PAD);
    memcpy(next, kNameSuffix, sizeof(kNameSuffix));
}

bool idFromFileName(const char* name, int64_t* reportID) {
    const char* namePrefix = g_pathPrefix + g_nameOffset;
    const int namePrefixLength = g_pathPrefixLength - g_nameOffset;
    if (strncmp(name, namePrefix, static_cast<size_t>(namePrefixLength)) != 0) return false;
    const char* digits = name + namePrefixLength;
    uint64_t value = 0;
    for (int i = 0; i < kIDDigits; i++) {
        const int digit = lowerHexDigitValue(digits[i]);
        if (digit < 0) return false;
        value = (value << 4) | static_cast<uint64_t>(digit);
    }
    if (strcmp(digits + kIDDigits, kNameSuffix) != 0) return false;
    const int64_t id = static_cast<int64_t>(value);
    if (id <= 0) return false;
    if (reportID) *reportID = id;
    return true;
}

// Crash-path safe: takes identifiers until a report file can be created.
int createNextReportFile(char* path, int64_t* reportID) {
    path[0] = '\0';
    for (int attempt = 0; attempt < kMaxCreateAttempts; attempt++) {
        const int64_t id = g_nextID.fetch_add(1);
        formatReportPath(id, path);
        const int fd = mdsys_open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            if (reportID) *reportID = id;
            return fd;
        }
        const int error = errno;
        if (error != EEXIST) {
            MDLOG_ERROR("Could not open file %s: %s", path, mdsys_errorText(error));
            return -1;
        }
    }
    MDLOG_ERROR("Could not create a report file: %d names up to %s exist already", kMaxCreateAttempts, path);
    return -1;
}

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

// Every stored identifier, ascending; false when the directory cannot be read.
bool listReportIDs(std::vector<int64_t>& ids) {
    std::unique_ptr<DIR, DirCloser> dir(opendir(g_reportsPath));
    if (!dir) {
        MDLOG_ERROR("Could not open directory %s: %s", g_reportsPath, mdsys_errorText(errno));
        return false;
    }
    while (const struct dirent* entry = readdir(dir.get())) {
        int64_t id = 0;
        if (idFromFileName(entry->d_name, &id)) ids.push_back(id);
    }
    std::sort(ids.begin(), ids.end());
    return true;
}

void pruneReports() {
    std::vector<int64_t> ids;
    if (!listReportIDs(ids)) return;
    const size_t keep = static_cast<size_t>(std::max(0, g_maxReportCount.load()));
    if (ids.size() <= keep) return;
    char path[MDCRS_MAX_PATH_LENGTH];
    for (size_t i = 0; i < ids.size() - keep; i++) {
        formatReportPath(ids[i], path);
        mdfu_removeFile(path, true);
    }
}

int64_t identifierBase() {
    const time_t now = time(nullptr);
    struct tm utc;
    gmtime_r(&now, &utc);
    // Mixed-radix seconds (61 allows a leap second, 366 a leap day), so the
    // value only grows with time; the low 23 bits number reports of a second.
    const int64_t seconds = static_cast<int64_t>(utc.tm_sec) + 61LL * utc.tm_min + 3660LL * utc.tm_hour +
                            87840LL * utc.tm_yday + 32149440LL * utc.tm_year;
    return seconds * (INT64_C(1) << 23);
}

}  // namespace

bool mdcrs_initialize(const char* appName, const char* reportsPath) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_ready.store(false);
    if (appName == nullptr || reportsPath == nullptr) {
        MDLOG_ERROR("Refusing to start the report store: no %s", appName ? "reports path" : "application name");
        return false;
    }
    const size_t pathLength = strlen(reportsPath);
    const size_t appLength = strlen(appName);
    const size_t needed = pathLength + 1 + appLength + kInfixLength + kIDDigits + kSuffixLength + 1;
    if (needed > MDCRS_MAX_PATH_LENGTH) {
        // A cut path would lose ".json" and the report would never be found again.
        MDLOG_ERROR("Refusing to start the report store: report paths in %s would take %llu bytes, more than %d",
                    reportsPath, static_cast<unsigned long long>(needed), MDCRS_MAX_PATH_LENGTH);
        return false;
    }
    memcpy(g_reportsPath, reportsPath, pathLength + 1);
    char* prefix = g_pathPrefix;
    memcpy(prefix, reportsPath, pathLength);
    prefix += pathLength;
    *prefix++ = '/';
    memcpy(prefix, appName, appLength);
    prefix += appLength;
    memcpy(prefix, kNameInfix, sizeof(kNameInfix));
    g_nameOffset = static_cast<int>(pathLength + 1);
    g_pathPrefixLength = static_cast<int>(pathLength + 1 + appLength + kInfixLength);

    if (!mdfu_makePath(g_reportsPath)) {
        MDLOG_ERROR("Refusing to start the report store: could not make %s", g_reportsPath);
        return false;
    }
    pruneReports();
    g_nextID.store(identifierBase());
    g_ready.store(true);
    return true;
}

void mdcrs_getNextCrashReportPath(char* crashReportPathBuffer) {
    if (crashReportPathBuffer == nullptr) return;
    if (!g_ready.load()) {
        crashReportPathBuffer[0] = '\0';
        return;
    }
    formatReportPath(g_nextID.fetch_add(1), crashReportPathBuffer);
}

int mdcrs_openNextCrashReport(char* crashReportPathBuffer) {
    char scratch[MDCRS_MAX_PATH_LENGTH];
    char* path = crashReportPathBuffer ? crashReportPathBuffer : scratch;
    if (!g_ready.load()) {
        path[0] = '\0';
        return -1;
    }
    return createNextReportFile(path, nullptr);
}

bool mdcrs_reportIDFromFileName(const char* name, int64_t* reportID) {
    if (name == nullptr || !g_ready.load()) return false;
    return idFromFileName(name, reportID);
}

int mdcrs_getReportCount(void) {
    std::lock_guard<std::mutex> lock(g_lock);
    if (!g_ready.load()) return 0;
    std::vector<int64_t> ids;
    listReportIDs(ids);
    return static_cast<int>(ids.size());
}

int mdcrs_getReportIDs(int64_t* reportIDs, int count) {
    std::lock_guard<std::mutex> lock(g_lock);
    if (!g_ready.load() || reportIDs == nullptr || count <= 0) return 0;
    std::vector<int64_t> ids;
    listReportIDs(ids);
    // A report added since the caller counted is the newest: leave it for next time.
    const size_t taken = std::min(ids.size(), static_cast<size_t>(count));
    std::copy(ids.begin(), ids.begin() + static_cast<std::ptrdiff_t>(taken), reportIDs);
    return static_cast<int>(taken);
}

char* mdcrs_readReport(int64_t reportID) {
    std::lock_guard<std::mutex> lock(g_lock);
    if (!g_ready.load()) return nullptr;
    char path[MDCRS_MAX_PATH_LENGTH];
    formatReportPath(reportID, path);
    // Size and bytes come from one descriptor, so a file that grows meanwhile
    // cannot slip past the limit.
    platform::UniqueFd fd(mdsys_open(path, O_RDONLY | O_CLOEXEC, 0));
    if (!fd) {
        MDLOG_ERROR("Could not open %s: %s", path, mdsys_errorText(errno));
        return nullptr;
    }
    struct stat st;
    if (fstat(fd.get(), &st) < 0) {
        MDLOG_ERROR("Could not stat %s: %s", path, mdsys_errorText(errno));
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        MDLOG_ERROR("Report %s is not a regular file", path);
        return nullptr;
    }
    const long long size = st.st_size;
    if (size > kMaxReportBytes) {
        MDLOG_ERROR("Report %s is %lld bytes, more than the %lld bytes a report may have", path, size,
                    kMaxReportBytes);
        return nullptr;
    }
    char* text = static_cast<char*>(malloc(static_cast<size_t>(size) + 1));
    if (text == nullptr) {
        MDLOG_ERROR("Out of memory");
        return nullptr;
    }
    if (!mdfu_readBytesFromFD(fd.get(), text, static_cast<int>(size))) {
        MDLOG_ERROR("Could not read all %lld bytes of %s", size, path);
        free(text);
        return nullptr;
    }
    text[size] = '\0';
    return text;
}

int64_t mdcrs_addUserReport(const char* report, int reportLength) {
    std::lock_guard<std::mutex> lock(g_lock);
    if (!g_ready.load()) return 0;
    if (report == nullptr || reportLength < 0) {
        MDLOG_ERROR("No user report to add");
        return 0;
    }
    char path[MDCRS_MAX_PATH_LENGTH];
    int64_t id = 0;
    platform::UniqueFd fd(createNextReportFile(path, &id));
    if (!fd) return 0;
    bool written = mdsys_writeFully(fd.get(), report, static_cast<size_t>(reportLength));
    // close() can carry a delayed write error of its own.
    written = written && fd.close();
    if (!written) {
        MDLOG_ERROR("Could not write to file %s: %s", path, mdsys_errorText(errno));
        fd.reset();
        // A short report would only ever fail to decode.
        mdfu_removeFile(path, false);
        return 0;
    }
    return id;
}

void mdcrs_deleteAllReports(void) {
    std::lock_guard<std::mutex> lock(g_lock);
    if (!g_ready.load()) return;
    mdfu_deleteContentsOfPath(g_reportsPath);
}

bool mdcrs_deleteReportWithID(int64_t reportID) {
    std::lock_guard<std::mutex> lock(g_lock);
    if (!g_ready.load() || reportID <= 0) return false;
    char path[MDCRS_MAX_PATH_LENGTH];
    formatReportPath(reportID, path);
    return mdfu_removeFile(path, true);
}

void mdcrs_setMaxReportCount(int maxReportCount) { g_maxReportCount.store(maxReportCount); }
