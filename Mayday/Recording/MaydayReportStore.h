// The report store: owns the report directory, hands every new crash report
// a 64-bit identifier and a file name "<reports path>/<app>-report-<16 hex
// digits>.json", lists, reads and adds reports, deletes them all, and at
// initialisation prunes the oldest so no more than the maximum are kept.
//
// State is process-wide. One mutex serialises every operation except those
// marked crash-path safe: mdcrs_getNextCrashReportPath,
// mdcrs_openNextCrashReport and mdcrs_reportIDFromFileName run from the crash
// handler with no heap, no locks and no stdio (an atomic counter, fixed
// buffers and raw system calls only), even while another thread holds the
// lock and is suspended.
//
// Until mdcrs_initialize succeeds (and after it refuses) the store is
// unusable: every other call answers 0, null or "" and does nothing.
#pragma once

#include <climits>
#include <cstdint>

// Size of every report path buffer, terminator included: any path the
// system takes.
#define MDCRS_MAX_PATH_LENGTH PATH_MAX

// Copies the names, creates the reports directory with its parents, prunes
// the oldest reports beyond the maximum and takes the identifier base from
// the current time. Refuses (false, logged) when an argument is null, when
// a report path would not fit MDCRS_MAX_PATH_LENGTH or when the directory
// cannot be made. May be called again;
// each call starts over.
bool mdcrs_initialize(const char* appName, const char* reportsPath);

// Takes the next identifier and writes its report path into the
// MDCRS_MAX_PATH_LENGTH-byte buffer ("" when not initialised). The file is
// not checked or created. Crash-path safe.
void mdcrs_getNextCrashReportPath(char* crashReportPathBuffer);

// Takes the next identifier and creates its report file exclusively (mode
// 0644); when that file exists already (another process started in the same
// second), goes on with the next identifier, up to 1000 times. Answers the
// open descriptor, its path in the MDCRS_MAX_PATH_LENGTH-byte buffer, or -1
// (logged; the buffer holds the last path tried, or ""). Crash-path safe.
int mdcrs_openNextCrashReport(char* crashReportPathBuffer);

// Number of report files of this application in the directory.
int mdcrs_getReportCount(void);

// Writes up to `count` identifiers in ascending order and answers how many.
// When more reports are stored than `count`, the oldest ones are answered.
int mdcrs_getReportIDs(int64_t* reportIDs, int count);

// The whole report text, malloc'ed and NUL-terminated (the caller frees it);
// null when it cannot be read or is larger than 64 MiB (logged).
char* mdcrs_readReport(int64_t reportID);

// Stores `reportLength` bytes of `report` as a new report and answers its
// identifier; 0 when the file could not be written completely (logged, and
// no partial file is left behind).
int64_t mdcrs_addUserReport(const char* report, int reportLength);

// Deletes the report with this identifier; false (logged) when it could not.
bool mdcrs_deleteReportWithID(int64_t reportID);

// Deletes everything in the reports directory, keeping the directory.
void mdcrs_deleteAllReports(void);

// Reports kept by pruning (default 5); takes effect at the next initialisation.
void mdcrs_setMaxReportCount(int maxReportCount);

// Whether the directory entry `name` is exactly "<app>-report-" followed by
// 16 lower-case hexadecimal digits and ".json", with an identifier above 0;
// the identifier goes to *reportID (may be null). Crash-path safe.
bool mdcrs_reportIDFromFileName(const char* name, int64_t* reportID);
