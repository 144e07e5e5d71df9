// The crash reporter's own log.
//
// mdlog_logLine and mdlog_logBareLine may run in a crashed process and in
// signal handlers: they format into fixed stack buffers and write with plain
// write(2) calls, with no heap and no locks. The object forms (which format
// "%@" arguments from platform Values and Errors) allocate and must not be
// used on the crash path. Formatted here, byte for byte as printf would:
// %%, and %d %i %u %o %x %X %c %s %p with the flags '-', '0', '+', ' ' and
// '#', a width (digits or '*'), and for the integers the length modifiers
// hh, h, l, ll, j, z and t ("thread_suspend (%08x)", "%-5d", "%zu", "%llx";
// %p is "0x" and lower-case hex, "(nil)" for null). Any other format, one
// with a precision ("%.2s") or a floating-point conversion above all, goes
// through vsnprintf, which is NOT async-signal-safe: crash-path callers keep
// to the conversions above.
//
// Every line goes to standard output and, once set, to the log file.
// Leveled lines read "<LEVEL>: <file> (<line>): <function>: <message>".
#pragma once

#include <cstdarg>
#include <string>

#include "platform/foundation/Format.h"

// Opens `path` (created with mode 0644; truncated when `overwrite`) and makes
// it the log file. On failure the previous destination stays in use.
// Not safe against concurrent logging (no locks): set it before other threads log.
bool mdlog_setLogFile(const char* path, bool overwrite);
// Reopens the current log file with truncation.
bool mdlog_truncateLogFile(void);

// Async-signal-safe leveled line.
void mdlog_logLine(const char* level, const char* file, int line, const char* function, const char* fmt, ...)
    __attribute__((format(printf, 5, 6)));
void mdlog_logLineV(const char* level, const char* file, int line, const char* function, const char* fmt,
                    va_list args) __attribute__((format(printf, 5, 0)));
// Async-signal-safe line without the prefix.
void mdlog_logBareLine(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// How many messages went through vsnprintf since the process started; shows
// tests which formats leave the async-safe path.
unsigned long mdlog_fallbackFormatCount(void);

// Not async-safe: formats with platform::format ("%@" takes Values, Errors, strings).
void mdlog_logObjectLineText(const char* level, const char* file, int line, const char* function,
                             const std::string* message);
void mdlog_logBareObjectLineText(const std::string* message);

template <typename... Args>
void mdlog_logObjectLine(const char* level, const char* file, int line, const char* function, const char* fmt,
                         const Args&... args) {
    if (!fmt) {
        mdlog_logObjectLineText(level, file, line, function, nullptr);
        return;
    }
    const std::string message = platform::format(fmt, args...);
    mdlog_logObjectLineText(level, file, line, function, &message);
}

template <typename... Args>
void mdlog_logBareObjectLine(const char* fmt, const Args&... args) {
    if (!fmt) {
        mdlog_logBareObjectLineText(nullptr);
        return;
    }
    const std::string message = platform::format(fmt, args...);
    mdlog_logBareObjectLineText(&message);
}

// The short forms every source file uses; they pass the caller's file, line
// and function. The MDLOG_ forms are async-safe; the MDLOGOBJ_ forms are not.
#define MDLOG_ERROR(...) mdlog_logLine("ERROR", __FILE__, __LINE__, __PRETTY_FUNCTION__, __VA_ARGS__)
#define MDLOG_WARN(...) mdlog_logLine("WARN ", __FILE__, __LINE__, __PRETTY_FUNCTION__, __VA_ARGS__)
#define MDLOG_INFO(...) mdlog_logLine("INFO ", __FILE__, __LINE__, __PRETTY_FUNCTION__, __VA_ARGS__)
#define MDLOGOBJ_ERROR(...) mdlog_logObjectLine("ERROR", __FILE__, __LINE__, __PRETTY_FUNCTION__, __VA_ARGS__)
#define MDLOGOBJ_WARN(...) mdlog_logObjectLine("WARN ", __FILE__, __LINE__, __PRETTY_FUNCTION__, __VA_ARGS__)
#define MDLOGOBJ_INFO(...) mdlog_logObjectLine("INFO ", __FILE__, __LINE__, __PRETTY_FUNCTION__, __VA_ARGS__)
