// The uncaught-exception handler of the platform exception: what runs when an
// InvalidArgumentException leaves the program uncaught, just before the
// process aborts. Stands in for NSGetUncaughtExceptionHandler and
// NSSetUncaughtExceptionHandler.
//
// The terminate handler that calls it is installed during static
// initialisation (before any code can keep "the previous terminate handler")
// and keeps the one it replaced: an uncaught InvalidArgumentException
// (subclasses too) goes to the uncaught-exception handler when one is set and
// then abort(); anything else goes on to the previous terminate handler.
#pragma once

#include "platform/foundation/Error.h"

namespace platform {

using UncaughtExceptionHandler = void (*)(const InvalidArgumentException& exception);

// Both are atomic: the handler may be read on any thread that fails.
UncaughtExceptionHandler getUncaughtExceptionHandler();
void setUncaughtExceptionHandler(UncaughtExceptionHandler handler);

namespace detail {
// Installs the terminate handler; the first call only (Error.cpp calls it at
// static initialisation).
void installUncaughtExceptionTerminateHandler();
}  // namespace detail

}  // namespace platform
