// The crash report document and the procedures that write it: the standard
// report of an event, and the recrash report written when the crash
// reporter itself crashed while writing one.
//
// Crash-path safe: the whole document streams through the JSON encoder into
// a buffered writer over a 1024-byte stack buffer, every top-level section
// flushed as soon as it is complete (a crash inside the writer leaves a
// readable prefix); memory is read through kernel-checked copies; no heap,
// no locks, no stdio. Failures are logged and the writing goes on.
#pragma once

#include <climits>

#include "Mayday/Recording/Monitors/MaydayMonitorContext.h"

// Room for every path the writer keeps: any path the system takes.
#define MAYDAYREPORT_MAX_PATH_LENGTH PATH_MAX

// Writes the standard report into a new file at `path` (created
// exclusively: an existing file is never overwritten).
void maydayreport_writeStandardReport(const Mayday_MonitorContext* monitorContext, const char* path);

// The same into `fd`, a new file the caller created at `path`; the writer
// closes it.
void maydayreport_writeStandardReportToFile(const Mayday_MonitorContext* monitorContext, const char* path, int fd);

// Turns the unfinished report at `path` into a recrash report: the file is
// moved aside to the same name ending in ".old", a new file at `path` gets
// the old one embedded under "recrash_report" (every container closed) and
// the event, and the ".old" file goes once it is embedded; it stays when it
// could not be read.
void maydayreport_writeRecrashReport(const Mayday_MonitorContext* monitorContext, const char* path);

// The recrash document without an earlier report ("report" of type
// "minimal" and "crash"), into `fd`, a new file the caller created at `path`.
void maydayreport_writeMinimalReportToFile(const Mayday_MonitorContext* monitorContext, const char* path, int fd);

// The path of the standard report being written at this moment, "" when
// none: what a crash inside the writer turns into a recrash report.
const char* maydayreport_reportPathBeingWritten(void);
