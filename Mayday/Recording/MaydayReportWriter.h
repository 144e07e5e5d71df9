// The element-writing interface of a crash report: the record the report
// writer goes through for every member, and the one the application's user
// section callback gets to add its own members to "user" while the process
// is crashing. Also the writer's process-wide settings.
//
// Crash-path safe: the seventeen entries and the readers of the settings use
// only the JSON encoder, raw system calls and stack buffers (512 bytes for
// text files, 1024 + 1024 for text lines, 100 for JSON error texts); no heap,
// no locks, no stdio. The setters allocate and are not for the crash path.
#pragma once

#include <cstdint>

#include "Mayday/Recording/Tools/MDJSONCodec.h"

typedef struct MaydayReportWriter {
    void (*addBooleanElement)(const struct MaydayReportWriter* writer, const char* name, bool value);
    void (*addFloatingPointElement)(const struct MaydayReportWriter* writer, const char* name, double value);
    void (*addIntegerElement)(const struct MaydayReportWriter* writer, const char* name, int64_t value);
    // Written through the signed form: 2^63 and above come out negative.
    void (*addUIntegerElement)(const struct MaydayReportWriter* writer, const char* name, uint64_t value);
    // A null value writes null.
    void (*addStringElement)(const struct MaydayReportWriter* writer, const char* name, const char* value);
    // The whole file as one string.
    void (*addTextFileElement)(const struct MaydayReportWriter* writer, const char* name, const char* filePath);
    // An array of strings, one per line (a line over 1023 bytes comes in pieces).
    void (*addTextFileLinesElement)(const struct MaydayReportWriter* writer, const char* name, const char* filePath);
    void (*addJSONFileElement)(const struct MaydayReportWriter* writer, const char* name, const char* filePath,
                               bool closeLastContainer);
    // Upper-case hexadecimal.
    void (*addDataElement)(const struct MaydayReportWriter* writer, const char* name, const char* value, int length);
    void (*beginDataElement)(const struct MaydayReportWriter* writer, const char* name);
    void (*appendDataElement)(const struct MaydayReportWriter* writer, const char* value, int length);
    void (*endDataElement)(const struct MaydayReportWriter* writer);
    // 16 bytes as "00010203-0405-0607-0809-0A0B0C0D0E0F"; null writes null.
    void (*addUUIDElement)(const struct MaydayReportWriter* writer, const char* name, const unsigned char* value);
    // The text re-encoded; text that does not decode becomes an object with
    // "error" and "json_data".
    void (*addJSONElement)(const struct MaydayReportWriter* writer, const char* name, const char* jsonElement,
                           bool closeLastContainer);
    void (*beginObject)(const struct MaydayReportWriter* writer, const char* name);
    void (*beginArray)(const struct MaydayReportWriter* writer, const char* name);
    void (*endContainer)(const struct MaydayReportWriter* writer);
    void* context;  // the MDJSONEncodeContext the entries write to
} MaydayReportWriter;

// Called while a report is written, inside the crash handler: it must itself
// be async-signal-safe.
typedef void (*MaydayReportWriteCallback)(const MaydayReportWriter* writer);

// Binds the entries to `context`.
void maydayreport_prepareReportWriter(MaydayReportWriter* writer, MDJSONEncodeContext* context);

// The JSON byte sink of a report: the MDBufferedWriter* in `userData`.
// 0 on success, MDJSON_ERROR_CANNOT_ADD_DATA otherwise.
int maydayreport_addJSONDataToWriter(const char* data, int length, void* userData);

// The text that "Invalid JSON data: %s" makes for `error` in a 100-byte buffer.
void maydayreport_invalidJSONText(int error, char* buffer, int bufferLength);

// ---- Settings. Each is published whole through one atomic pointer; a copy
// the crash path may be reading is never freed (a replaced copy is freed
// only once no reader is inside it).

// A copy of the text (null clears it).
void maydayreport_setUserInfoJSON(const char* userInfoJSON);
void maydayreport_setIntrospectMemory(bool shouldIntrospectMemory);
// Copies the names; a null list or a count of 0 or less gives an empty list.
// Logs "Could not allocate memory" and keeps the previous list when it cannot copy.
void maydayreport_setDoNotIntrospectClasses(const char** doNotIntrospectClasses, int length);
void maydayreport_setUserSectionWriteCallback(MaydayReportWriteCallback userSectionWriteCallback);

// ---- Readers for the report writer (crash-path safe). Every read of the
// user information JSON or of the class list goes between a begin and an
// end, which keep the copies read alive.
void maydayreport_beginSettingsRead(void);
void maydayreport_endSettingsRead(void);
const char* maydayreport_userInfoJSON(void);
bool maydayreport_introspectMemory(void);
MaydayReportWriteCallback maydayreport_userSectionWriteCallback(void);
// True when `className` is one of the classes not to introspect.
bool maydayreport_isDoNotIntrospectClass(const char* className);
