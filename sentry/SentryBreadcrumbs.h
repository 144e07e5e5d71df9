// The breadcrumb store: one compact JSON file per breadcrumb in a directory
// of the application's ("breadcrumbjsondata.<n>"; each start keeps the
// newest of earlier runs as 1..k and numbers on from there),
// and the crash-time callback that copies the newest of them into the
// report being written.
//
// Writers are serialised by one mutex. The crash callback runs inside a
// crashed process: it reads the count and the fixed path buffer only, and
// formats the file numbers itself (no allocation, no locks, no stdio).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Mayday/Recording/MaydayReportWriter.h"
#include "platform/foundation/Value.h"

class SentryBreadcrumbs {
public:
    // The crash-time path buffer: prefix, file number, terminating zero.
    static constexpr size_t kPathBufferSize = 1000;
    // A crash report carries the newest this many breadcrumbs.
    static constexpr int kBreadcrumbsInCrashReport = 11;
    static constexpr const char* kFileNamePrefix = "breadcrumbjsondata.";

    // Makes `directory` (made by the caller) the store: the newest
    // kBreadcrumbsInCrashReport files of earlier runs are kept, renumbered
    // from 1, older ones are removed, and numbering goes on after them. When the prefix and the longest file number do not fit the path
    // buffer, one line is logged, breadcrumbs are off and the answer is false.
    // Not for a time when breadcrumbs are being written or a crash is possible
    // on another thread: it is the start-up step.
    static bool setDirectory(const std::string& directory);
    static bool isEnabled();

    // Writes the next breadcrumb file (atomically); false when it was dropped
    // (store off, record not serialisable, write failed: the last two logged).
    // Each argument may be nil; the category defaults to "unknown".
    static bool add(const platform::Value& category, const platform::Value& level, const platform::Value& message,
                    const platform::Value& data);

    // Breadcrumbs in the store (kept from earlier runs and written in this
    // one): also the number of the newest file.
    static int32_t count();
    // The file of breadcrumb `number`; empty while the store is off.
    static std::string pathForNumber(int32_t number);

    // The report writer's user section callback: the newest files as the
    // "breadcrumbs" array, oldest first; nothing before the first breadcrumb.
    static void writeToReport(const MaydayReportWriter* writer);

    // "yyyy-MM-dd HH:mm:ss.SSS ZZZ" of a moment, in the system's time zone.
    static std::string timestamp(double secondsSince1970);
};
