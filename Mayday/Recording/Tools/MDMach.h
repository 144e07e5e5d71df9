// Mach exception and kernel-return names, kept as report vocabulary, and the
// mapping of a Mach exception to one of this host's signal numbers.
// Crash-path safe: constant tables only.
#pragma once

#include <cstdint>

enum {
    MD_EXC_BAD_ACCESS = 1,
    MD_EXC_BAD_INSTRUCTION = 2,
    MD_EXC_ARITHMETIC = 3,
    MD_EXC_EMULATION = 4,
    MD_EXC_SOFTWARE = 5,
    MD_EXC_BREAKPOINT = 6,
    MD_EXC_SYSCALL = 7,
    MD_EXC_MACH_SYSCALL = 8,
    MD_EXC_RPC_ALERT = 9,
    MD_EXC_CRASH = 10,
};

enum {
    MD_KERN_INVALID_ADDRESS = 1,
    MD_EXC_UNIX_BAD_SYSCALL = 0x10000,
    MD_EXC_UNIX_BAD_PIPE = 0x10001,
    MD_EXC_UNIX_ABORT = 0x10002,
    MD_EXC_SOFT_SIGNAL = 0x10003,
};

// "EXC_BAD_ACCESS" ... "EXC_CRASH" for types 1..10, else null.
const char* mdmach_exceptionName(int64_t exceptionType);
// "KERN_SUCCESS" ... "KERN_CODESIGN_ERROR" for codes 0..50, else null.
const char* mdmach_kernelReturnCodeName(int64_t returnCode);
// The host signal for a Mach exception, or 0 when there is none.
int mdmach_signalForMachException(int64_t exceptionType, int64_t code);
