// The thread objects of a crash report: backtrace, registers, names, and for
// the crashed thread the stack window and the notable addresses. Internal to
// the report writer.
//
// Crash-path safe: stack cursors and kernel-checked copies into stack
// buffers; no heap, no locks, no stdio.
#pragma once

#include "Mayday/Recording/MaydayReportWriter.h"
#include "Mayday/Recording/Monitors/MaydayMonitorContext.h"

struct MDMachineContext;

// One thread object under `name` (null inside the "threads" array).
void maydayreport_writeThread(const MaydayReportWriter* writer, const char* name,
                              const Mayday_MonitorContext* monitorContext, const MDMachineContext* machineContext,
                              int threadIndex, bool shouldWriteNotableAddresses);

// "threads": every thread of the offending context's thread list, in order.
void maydayreport_writeAllThreads(const MaydayReportWriter* writer, const char* name,
                                  const Mayday_MonitorContext* monitorContext, bool shouldWriteNotableAddresses);
