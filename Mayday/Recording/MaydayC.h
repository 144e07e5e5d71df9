// The crash recorder's flat interface: lays out its directories, starts the
// report store, the application state, the console log and the cached
// thread data, installs the one event handler that writes a report for
// every event, and gives access to the stored reports.
//
// The event handler runs on the crash path (static buffers, the writer's
// async-safe path); everything else here is called from normal code.
#pragma once

#include <cstdint>

#include "Mayday/Recording/MaydayReportWriter.h"
#include "Mayday/Recording/Monitors/MaydayMonitorType.h"

// Installs once under `basePath` ("<base>/Reports", "<base>/Data" with
// "CrashState.json" and "ConsoleLog.txt") and answers the active monitors.
// A later call changes nothing and answers the wanted set. A base path too
// long for the recorder's fixed path buffers is refused with a log line:
// nothing is installed and the answer is MaydayMonitorTypeNone.
MaydayMonitorFlags mayday_install(const char* bundleName, const char* basePath);

// Remembers the wanted monitors; once installed, applies them and answers
// the active set.
MaydayMonitorFlags mayday_setMonitoring(MaydayMonitorFlags monitors);

void mayday_setUserInfoJSON(const char* userInfoJSON);
void mayday_setDeadlockWatchdogInterval(double deadlockWatchdogInterval);
void mayday_setIntrospectMemory(bool introspectMemory);
void mayday_setDoNotIntrospectClasses(const char** doNotIntrospectClasses, int length);
void mayday_setOnCrash(MaydayReportWriteCallback onCrash);
void mayday_setAddConsoleLogToReport(bool shouldAddConsoleLogToReport);
void mayday_setPrintPreviousLog(bool shouldPrintPreviousLog);
void mayday_setMaxReportCount(int maxReportCount);

// Reports an exception of the application's own (texts zero-terminated;
// language, line of code and the stack-trace JSON may be null). With
// logAllThreads the other threads are stopped while the report is written;
// with terminateProgram the process ends by SIGABRT after it. Afterwards the
// console log is emptied when it goes into reports, so the next report
// carries only what came since.
void mayday_reportUserException(const char* name, const char* reason, const char* language, const char* lineOfCode,
                                const char* stackTrace, bool logAllThreads, bool terminateProgram);

void mayday_notifyAppActive(bool isActive);
void mayday_notifyAppInForeground(bool isInForeground);
void mayday_notifyAppTerminate(void);
void mayday_notifyAppCrash(void);

int mayday_reportCount(void);
int mayday_reportIDs(int64_t* reportIDs, int count);
// The stored report, fixed up (dates as text, names demangled), malloc'ed
// for the caller to free; null (logged) when it cannot be read or fixed.
char* mayday_readReport(int64_t reportID);
int64_t mayday_addUserReport(const char* report, int reportLength);
void mayday_deleteAllReports(void);
// False (logged) when there is no such report or it could not be deleted.
bool mayday_deleteReportWithID(int64_t reportID);

// Tests only: the event handler, to call with a context of one's own.
void mayday_testing_handleEvent(struct Mayday_MonitorContext* context);
