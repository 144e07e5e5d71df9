// The crash recorder's flat interface and its event handler.
//
// The event handler is crash-path code: static buffers, the store's
// crash-safe path and the writer; no heap, no locks, no stdio.
#include "Mayday/Recording/MaydayC.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Mayday/Recording/MaydayCachedData.h"
#include "Mayday/Recording/MaydayReport.h"
#include "Mayday/Recording/MaydayReportFixer.h"
#include "Mayday/Recording/MaydayReportStore.h"
#include "Mayday/Recording/Monitors/MaydayMonitor.h"
#include "Mayday/Recording/Monitors/MaydayMonitor_AppState.h"
#include "Mayday/Recording/Monitors/MaydayMonitor_Deadlock.h"
#include "Mayday/Recording/Monitors/MaydayMonitor_UserReported.h"
#include "Mayday/Recording/Tools/MDFileUtils.h"
#include "Mayday/Recording/Tools/MDLogger.h"

namespace {

constexpr int kPathLength = MDCRS_MAX_PATH_LENGTH;

std::atomic<bool> g_installed{false};
std::atomic<MaydayMonitorFlags> g_monitoring{MaydayMonitorTypeDefault};
std::atomic<bool> g_addConsoleLog{false};
std::atomic<bool> g_printPreviousLog{false};
char g_consoleLogPath[kPathLength];
char g_lastReportPath[kPathLength];
char g_newReportPath[kPathLength];

// "<base><suffix>" into a kPathLength buffer; false when it does not fit.
bool buildPath(char* buffer, const char* base, const char* suffix) {
    const int written = snprintf(buffer, kPathLength, "%s%s", base, suffix);
    return written >= 0 && written < kPathLength;
}

void printPreviousLog(const char* path) {
    char* data = nullptr;
    if (!mdfu_readEntireFile(path, &data, nullptr, 0)) return;
    puts("\nvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvv Previous Log vvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvv\n");
    puts(data);
    puts("^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^\n");
    fflush(stdout);
    free(data);
}

void onCrash(Mayday_MonitorContext* context) {
    maydaystate_notifyAppCrash();
    context->consoleLogPath = g_addConsoleLog.load() ? g_consoleLogPath : nullptr;
    if (context->crashedDuringCrashHandling) {
        // The report being written when the reporter crashed becomes the
        // recrash report; a crash before any writing gets a fresh one.
        const char* unfinished = maydayreport_reportPathBeingWritten();
        if (unfinished[0] != '\0') {
            maydayreport_writeRecrashReport(context, unfinished);
            return;
        }
        const int fd = mdcrs_openNextCrashReport(g_newReportPath);
        if (fd >= 0) maydayreport_writeMinimalReportToFile(context, g_newReportPath, fd);
        return;
    }
    const int fd = mdcrs_openNextCrashReport(g_newReportPath);
    if (fd < 0) return;
    memcpy(g_lastReportPath, g_newReportPath, sizeof(g_lastReportPath));
    maydayreport_writeStandardReportToFile(context, g_newReportPath, fd);
}

}  // namespace

MaydayMonitorFlags mayday_install(const char* bundleName, const char* basePath) {
    if (g_installed.load()) return g_monitoring.load();
    char reportsPath[kPathLength];
    char dataPath[kPathLength];
    char statePath[kPathLength];
    if (bundleName == nullptr || basePath == nullptr || !buildPath(reportsPath, basePath, "/Reports") ||
        !buildPath(dataPath, basePath, "/Data") || !buildPath(statePath, basePath, "/Data/CrashState.json") ||
        !buildPath(g_consoleLogPath, basePath, "/Data/ConsoleLog.txt")) {
        MDLOG_ERROR("The crash reporter's path %s is too long; not installed", basePath ? basePath : "(null)");
        g_consoleLogPath[0] = '\0';
        return MaydayMonitorTypeNone;
    }
    // The store makes the reports directory once it knows its names fit.
    if (!mdcrs_initialize(bundleName, reportsPath)) {
        MDLOG_ERROR("The crash reporter cannot store reports in %s; not installed", reportsPath);
        return MaydayMonitorTypeNone;
    }
    if (g_installed.exchange(true)) return g_monitoring.load();
    mdfu_makePath(dataPath);
    maydaystate_initialize(statePath);
    if (g_printPreviousLog.load()) printPreviousLog(g_consoleLogPath);
    mdlog_setLogFile(g_consoleLogPath, true);
    mdccd_init(60);
    mdcm_setEventHandler(onCrash);
    return mayday_setMonitoring(g_monitoring.load());
}

MaydayMonitorFlags mayday_setMonitoring(MaydayMonitorFlags monitors) {
    g_monitoring = monitors;
    if (!g_installed.load()) return monitors;
    mdcm_selectMonitors(monitors);
    return mdcm_activeMonitorTypes();
}

void mayday_setUserInfoJSON(const char* userInfoJSON) { maydayreport_setUserInfoJSON(userInfoJSON); }

void mayday_setDeadlockWatchdogInterval(double deadlockWatchdogInterval) {
    mdcm_setDeadlockWatchdogInterval(deadlockWatchdogInterval);
}

void mayday_reportUserException(const char* name, const char* reason, const char* language, const char* lineOfCode,
                                const char* stackTrace, bool logAllThreads, bool terminateProgram) {
    mdcm_reportUserException(name, reason, language, lineOfCode, stackTrace, logAllThreads, terminateProgram);
    if (g_addConsoleLog.load()) mdlog_truncateLogFile();
}

void mayday_setIntrospectMemory(bool introspectMemory) { maydayreport_setIntrospectMemory(introspectMemory); }

void mayday_setDoNotIntrospectClasses(const char** doNotIntrospectClasses, int length) {
    maydayreport_setDoNotIntrospectClasses(doNotIntrospectClasses, length);
}

void mayday_setOnCrash(MaydayReportWriteCallback onCrash) { maydayreport_setUserSectionWriteCallback(onCrash); }

void mayday_setAddConsoleLogToReport(bool shouldAddConsoleLogToReport) {
    g_addConsoleLog = shouldAddConsoleLogToReport;
}

void mayday_setPrintPreviousLog(bool shouldPrintPreviousLog) { g_printPreviousLog = shouldPrintPreviousLog; }

void mayday_setMaxReportCount(int maxReportCount) { mdcrs_setMaxReportCount(maxReportCount); }

void mayday_notifyAppActive(bool isActive) { maydaystate_notifyAppActive(isActive); }

void mayday_notifyAppInForeground(bool isInForeground) { maydaystate_notifyAppInForeground(isInForeground); }

void mayday_notifyAppTerminate(void) { maydaystate_notifyAppTerminate(); }

void mayday_notifyAppCrash(void) { maydaystate_notifyAppCrash(); }

int mayday_reportCount(void) { return mdcrs_getReportCount(); }

int mayday_reportIDs(int64_t* reportIDs, int count) { return mdcrs_getReportIDs(reportIDs, count); }

char* mayday_readReport(int64_t reportID) {
    if (reportID <= 0) {
        MDLOG_ERROR("Report ID was %llx", static_cast<unsigned long long>(reportID));
        return nullptr;
    }
    char* rawReport = mdcrs_readReport(reportID);
    if (rawReport == nullptr) {
        MDLOG_ERROR("Failed to load report ID %llx", static_cast<unsigned long long>(reportID));
        return nullptr;
    }
    char* fixedReport = mdcrf_fixupCrashReport(rawReport);
    free(rawReport);
    if (fixedReport == nullptr) MDLOG_ERROR("Failed to fixup report ID %llx", static_cast<unsigned long long>(reportID));
    return fixedReport;
}

int64_t mayday_addUserReport(const char* report, int reportLength) {
    return mdcrs_addUserReport(report, reportLength);
}

void mayday_deleteAllReports(void) { mdcrs_deleteAllReports(); }

bool mayday_deleteReportWithID(int64_t reportID) { return mdcrs_deleteReportWithID(reportID); }

void mayday_testing_handleEvent(Mayday_MonitorContext* context) { onCrash(context); }
