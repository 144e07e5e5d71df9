// The system-log stand-in (NSLog): one line per message on standard error.
#pragma once

#include <functional>
#include <string>

#include "platform/foundation/Format.h"

namespace platform {

// Writes `message` as one line: "<date> <process>[<pid>:<tid>] <message>".
// Thread-safe; each line goes out in one write.
void systemLog(const std::string& message);

// Formats with platform::format, then logs.
template <typename... Args>
void logFormat(const char* fmt, const Args&... args) {
    systemLog(format(fmt, args...));
}

// Tests can watch the log: every message is also handed to `observer`
// (without the prefix). Pass an empty function to stop.
void setSystemLogObserver(std::function<void(const std::string&)> observer);

}  // namespace platform
