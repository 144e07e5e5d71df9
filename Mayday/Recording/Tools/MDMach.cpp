// Mach vocabulary for reports and the exception-to-signal mapping.
// Crash-path safe: constant tables only.
#include "Mayday/Recording/Tools/MDMach.h"

#include <csignal>

namespace {

const char* const kExceptionNames[] = {
    "EXC_BAD_ACCESS", "EXC_BAD_INSTRUCTION", "EXC_ARITHMETIC",   "EXC_EMULATION", "EXC_SOFTWARE",
    "EXC_BREAKPOINT", "EXC_SYSCALL",         "EXC_MACH_SYSCALL", "EXC_RPC_ALERT", "EXC_CRASH",
};

const char* const kKernelReturnNames[] = {
    "KERN_SUCCESS",
    "KERN_INVALID_ADDRESS",
    "KERN_PROTECTION_FAILURE",
    "KERN_NO_SPACE",
    "KERN_INVALID_ARGUMENT",
    "KERN_FAILURE",
    "KERN_RESOURCE_SHORTAGE",
    "KERN_NOT_RECEIVER",
    "KERN_NO_ACCESS",
    "KERN_MEMORY_FAILURE",
    "KERN_MEMORY_ERROR",
    "KERN_ALREADY_IN_SET",
    "KERN_NOT_IN_SET",
    "KERN_NAME_EXISTS",
    "KERN_ABORTED",
    "KERN_INVALID_NAME",
    "KERN_INVALID_TASK",
    "KERN_INVALID_RIGHT",
    "KERN_INVALID_VALUE",
    "KERN_UREFS_OVERFLOW",
    "KERN_INVALID_CAPABILITY",
    "KERN_RIGHT_EXISTS",
    "KERN_INVALID_HOST",
    "KERN_MEMORY_PRESENT",
    "KERN_MEMORY_DATA_MOVED",
    "KERN_MEMORY_RESTART_COPY",
    "KERN_INVALID_PROCESSOR_SET",
    "KERN_POLICY_LIMIT",
    "KERN_INVALID_POLICY",
    "KERN_INVALID_OBJECT",
    "KERN_ALREADY_WAITING",
    "KERN_DEFAULT_SET",
    "KERN_EXCEPTION_PROTECTED",
    "KERN_INVALID_LEDGER",
    "KERN_INVALID_MEMORY_CONTROL",
    "KERN_INVALID_SECURITY",
    "KERN_NOT_DEPRESSED",
    "KERN_TERMINATED",
    "KERN_LOCK_SET_DESTROYED",
    "KERN_LOCK_UNSTABLE",
    "KERN_LOCK_OWNED",
    "KERN_LOCK_OWNED_SELF",
    "KERN_SEMAPHORE_DESTROYED",
    "KERN_RPC_SERVER_TERMINATED",
    "KERN_RPC_TERMINATE_ORPHAN",
    "KERN_RPC_CONTINUE_ORPHAN",
    "KERN_NOT_SUPPORTED",
    "KERN_NODE_DOWN",
    "KERN_NOT_WAITING",
    "KERN_OPERATION_TIMED_OUT",
    "KERN_CODESIGN_ERROR",
};
static_assert(sizeof(kKernelReturnNames) / sizeof(kKernelReturnNames[0]) == 51);

}  // namespace

const char* mdmach_exceptionName(int64_t exceptionType) {
    if (exceptionType < MD_EXC_BAD_ACCESS || exceptionType > MD_EXC_CRASH) return nullptr;
    return kExceptionNames[exceptionType - 1];
}

const char* mdmach_kernelReturnCodeName(int64_t returnCode) {
    if (returnCode < 0 || returnCode > 50) return nullptr;
    return kKernelReturnNames[returnCode];
}

int mdmach_signalForMachException(int64_t exceptionType, int64_t code) {
    switch (exceptionType) {
        case MD_EXC_BAD_ACCESS:
            return code == MD_KERN_INVALID_ADDRESS ? SIGSEGV : SIGBUS;
        case MD_EXC_BAD_INSTRUCTION:
            return SIGILL;
        case MD_EXC_ARITHMETIC:
            return SIGFPE;
        case MD_EXC_EMULATION:
            // Linux has no SIGEMT.
            return 0;
        case MD_EXC_SOFTWARE:
            switch (code) {
                case MD_EXC_UNIX_BAD_SYSCALL:
                    return SIGSYS;
                case MD_EXC_UNIX_BAD_PIPE:
                    return SIGPIPE;
                case MD_EXC_UNIX_ABORT:
                    return SIGABRT;
                case MD_EXC_SOFT_SIGNAL:
                    return SIGKILL;
                default:
                    return 0;
            }
        case MD_EXC_BREAKPOINT:
            return SIGTRAP;
        default:
            return 0;
    }
}
