// Names of the fatal signals and their codes, with this host's signal numbers
// and code values (<signal.h>). Crash-path safe: constant tables only.
#pragma once

#include <cstdint>

// Null when the signal is not one of the fatal signals.
const char* mdsignal_signalName(int signal);
// The signal's own code names first (0 keeps its "..._NOOP" name), then the
// sender codes every signal can carry ("SI_USER", "SI_TKILL", ...). Null
// when the signal or the code is not listed.
const char* mdsignal_signalCodeName(int signal, int code);

// SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGPIPE, SIGSEGV, SIGSYS, SIGTRAP.
const int* mdsignal_fatalSignals(void);
int mdsignal_fatalSignalCount(void);
