// Register tables, register access on a record, and the Mach and signal vocabularies.
#include "Mayday/Recording/Tools/MDCPU.h"
#include "Mayday/Recording/Tools/MDMach.h"
#include "Mayday/Recording/Tools/MDSignalInfo.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <string>

#include "StdoutCapture.h"

namespace {

using zeltest::StdoutCapture;

std::string orNull(const char* text) { return text ? text : "(null)"; }

TEST(CPUNames, RegisterTableInOrder) {
    const char* expected[] = {"rax", "rbx", "rcx", "rdx", "rdi", "rsi", "rbp", "rsp", "r8",     "r9", "r10",
                              "r11", "r12", "r13", "r14", "r15", "rip", "rflags", "cs", "fs", "gs"};
    ASSERT_EQ(mdcpu_registerCount(), 21);
    for (int i = 0; i < 21; i++) EXPECT_EQ(orNull(mdcpu_registerName(i)), expected[i]) << i;
    EXPECT_EQ(mdcpu_registerName(21), nullptr);
    EXPECT_EQ(mdcpu_registerName(-1), nullptr);

    ASSERT_EQ(mdcpu_exceptionRegisterCount(), 3);
    EXPECT_EQ(orNull(mdcpu_exceptionRegisterName(0)), "trapno");
    EXPECT_EQ(orNull(mdcpu_exceptionRegisterName(1)), "err");
    EXPECT_EQ(orNull(mdcpu_exceptionRegisterName(2)), "faultvaddr");
    EXPECT_EQ(mdcpu_stackGrowDirection(), -1);
}

TEST(CPUNames, RegisterValuesFollowTheTableAndTheAccessors) {
    MDMC_NEW_CONTEXT(context);
    memset(context, 0, sizeof(*context));
    uint64_t values[21];
    for (int i = 0; i < 21; i++) values[i] = 0x1000 + (uint64_t)i;
    memcpy(&context->machineState.threadState, values, sizeof(values));
    context->machineState.exceptionState.trapno = 14;
    context->machineState.exceptionState.err = 6;
    context->machineState.exceptionState.faultvaddr = 0xdeadbeef;

    for (int i = 0; i < 21; i++) EXPECT_EQ(mdcpu_registerValue(context, i), 0x1000u + (unsigned)i) << i;
    EXPECT_EQ(mdcpu_framePointer(context), 0x1006u);
    EXPECT_EQ(mdcpu_stackPointer(context), 0x1007u);
    EXPECT_EQ(mdcpu_instructionAddress(context), 0x1010u);
    EXPECT_EQ(mdcpu_linkRegister(context), 0u);
    EXPECT_EQ(mdcpu_faultAddress(context), 0xdeadbeefu);
    EXPECT_EQ(mdcpu_exceptionRegisterValue(context, 0), 14u);
    EXPECT_EQ(mdcpu_exceptionRegisterValue(context, 1), 6u);
    EXPECT_EQ(mdcpu_exceptionRegisterValue(context, 2), 0xdeadbeefu);
    EXPECT_EQ(mdmc_contextSize() % 16, 0);
    EXPECT_GE(mdmc_contextSize(), (int)sizeof(MDMachineContext));
}

TEST(CPUNames, InvalidRegisterNumbersAreLoggedAndAnsweredWithZero) {
    MDMC_NEW_CONTEXT(context);
    memset(context, 0xff, sizeof(*context));
    StdoutCapture capture;
    EXPECT_EQ(mdcpu_registerValue(context, 21), 0u);
    EXPECT_EQ(mdcpu_registerValue(context, -1), 0u);
    EXPECT_EQ(mdcpu_exceptionRegisterValue(context, 3), 0u);
    EXPECT_EQ(mdcpu_exceptionRegisterName(3), nullptr);
    const std::string log = capture.finish();
    EXPECT_NE(log.find(": Invalid register number: 21\n"), std::string::npos) << log;
    EXPECT_NE(log.find(": Invalid register number: -1\n"), std::string::npos) << log;
    size_t count = 0;
    for (size_t at = log.find("Invalid register number: 3\n"); at != std::string::npos;
         at = log.find("Invalid register number: 3\n", at + 1))
        count++;
    EXPECT_EQ(count, 2u) << log;
    EXPECT_EQ(log.rfind("ERROR: MDCPU.cpp (", 0), 0u) << log;
}

TEST(MachNames, ExceptionAndKernelReturnNames) {
    EXPECT_EQ(mdmach_exceptionName(0), nullptr);
    EXPECT_EQ(orNull(mdmach_exceptionName(1)), "EXC_BAD_ACCESS");
    EXPECT_EQ(orNull(mdmach_exceptionName(4)), "EXC_EMULATION");
    EXPECT_EQ(orNull(mdmach_exceptionName(10)), "EXC_CRASH");
    EXPECT_EQ(mdmach_exceptionName(11), nullptr);

    EXPECT_EQ(orNull(mdmach_kernelReturnCodeName(0)), "KERN_SUCCESS");
    EXPECT_EQ(orNull(mdmach_kernelReturnCodeName(1)), "KERN_INVALID_ADDRESS");
    EXPECT_EQ(orNull(mdmach_kernelReturnCodeName(14)), "KERN_ABORTED");
    EXPECT_EQ(orNull(mdmach_kernelReturnCodeName(37)), "KERN_TERMINATED");
    EXPECT_EQ(orNull(mdmach_kernelReturnCodeName(49)), "KERN_OPERATION_TIMED_OUT");
    EXPECT_EQ(orNull(mdmach_kernelReturnCodeName(50)), "KERN_CODESIGN_ERROR");
    EXPECT_EQ(mdmach_kernelReturnCodeName(51), nullptr);
    EXPECT_EQ(mdmach_kernelReturnCodeName(-1), nullptr);
}

TEST(MachNames, ExceptionsMapToHostSignals) {
    EXPECT_EQ(mdmach_signalForMachException(MD_EXC_BAD_ACCESS, MD_KERN_INVALID_ADDRESS), SIGSEGV);
    EXPECT_EQ(mdmach_signalForMachException(MD_EXC_BAD_ACCESS, 2), SIGBUS);
    EXPECT_EQ(SIGBUS, 7);  // the host's number, not macOS's 10
    EXPECT_EQ(mdmach_signalForMachException(MD_EXC_BAD_INSTRUCTION, 0), SIGILL);
    EXPECT_EQ(mdmach_signalForMachException(MD_EXC_ARITHMETIC, 0), SIGFPE);
    EXPECT_EQ(mdmach_signalForMachException(MD_EXC_EMULATION, 0), 0);
    EXPECT_EQ(mdmach_signalForMachException(MD_EXC_SOFTWARE, 0x10000), SIGSYS);
    EXPECT_EQ(mdmach_signalForMachException(MD_EXC_SOFTWARE, 0x10001), SIGPIPE);
    EXPECT_EQ(mdmach_signalForMachException(MD_EXC_SOFTWARE, 0x10002), SIGABRT);
    EXPECT_EQ(mdmach_signalForMachException(MD_EXC_SOFTWARE, 0x10003), SIGKILL);
    EXPECT_EQ(mdmach_signalForMachException(MD_EXC_SOFTWARE, 0x10004), 0);
    EXPECT_EQ(mdmach_signalForMachException(MD_EXC_BREAKPOINT, 0), SIGTRAP);
    EXPECT_EQ(mdmach_signalForMachException(MD_EXC_SYSCALL, 0), 0);
    EXPECT_EQ(mdmach_signalForMachException(MD_EXC_CRASH, 0), 0);
}

TEST(SignalNames, FatalSignalsInOrderWithNames) {
    ASSERT_EQ(mdsignal_fatalSignalCount(), 8);
    const int expected[] = {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGPIPE, SIGSEGV, SIGSYS, SIGTRAP};
    const char* names[] = {"SIGABRT", "SIGBUS", "SIGFPE", "SIGILL", "SIGPIPE", "SIGSEGV", "SIGSYS", "SIGTRAP"};
    for (int i = 0; i < 8; i++) {
        EXPECT_EQ(mdsignal_fatalSignals()[i], expected[i]) << i;
        EXPECT_EQ(orNull(mdsignal_signalName(expected[i])), names[i]) << i;
    }
    EXPECT_EQ(orNull(mdsignal_signalName(5)), "SIGTRAP");
    EXPECT_EQ(mdsignal_signalName(SIGTERM), nullptr);
    EXPECT_EQ(mdsignal_signalName(0), nullptr);
}

TEST(SignalNames, CodeNamesUseTheHostValues) {
    // Sender codes come after a signal's own: abort() raises with SI_TKILL (-6).
    EXPECT_EQ(orNull(mdsignal_signalCodeName(SIGABRT, 0)), "SI_USER");
    EXPECT_EQ(orNull(mdsignal_signalCodeName(SIGABRT, SI_TKILL)), "SI_TKILL");
    EXPECT_EQ(orNull(mdsignal_signalCodeName(SIGSEGV, SI_KERNEL)), "SI_KERNEL");
    EXPECT_EQ(orNull(mdsignal_signalCodeName(SIGSEGV, -6)), "SI_TKILL");
    EXPECT_EQ(mdsignal_signalCodeName(SIGSEGV, -100), nullptr);
    EXPECT_EQ(orNull(mdsignal_signalCodeName(5, 1)), "TRAP_BRKPT");
    EXPECT_EQ(orNull(mdsignal_signalCodeName(SIGTRAP, 0)), "0");
    EXPECT_EQ(orNull(mdsignal_signalCodeName(SIGTRAP, 2)), "TRAP_TRACE");
    EXPECT_EQ(mdsignal_signalCodeName(15, 0), nullptr);
    EXPECT_EQ(orNull(mdsignal_signalCodeName(SIGSEGV, SEGV_MAPERR)), "SEGV_MAPERR");
    EXPECT_EQ(orNull(mdsignal_signalCodeName(SIGSEGV, SEGV_ACCERR)), "SEGV_ACCERR");
    EXPECT_EQ(mdsignal_signalCodeName(SIGSEGV, 3), nullptr);
    EXPECT_EQ(orNull(mdsignal_signalCodeName(SIGBUS, 0)), "BUS_NOOP");
    EXPECT_EQ(orNull(mdsignal_signalCodeName(SIGBUS, BUS_ADRERR)), "BUS_ADRERR");
    // Linux numbers FPE and ILL codes differently from macOS.
    EXPECT_EQ(orNull(mdsignal_signalCodeName(SIGFPE, FPE_INTDIV)), "FPE_INTDIV");
    EXPECT_EQ(orNull(mdsignal_signalCodeName(SIGFPE, 1)), "FPE_INTDIV");
    EXPECT_EQ(orNull(mdsignal_signalCodeName(SIGFPE, 8)), "FPE_FLTSUB");
    EXPECT_EQ(orNull(mdsignal_signalCodeName(SIGILL, ILL_ILLOPC)), "ILL_ILLOPC");
    EXPECT_EQ(orNull(mdsignal_signalCodeName(SIGILL, 4)), "ILL_ILLTRP");
    EXPECT_EQ(orNull(mdsignal_signalCodeName(SIGILL, 0)), "ILL_NOOP");
    EXPECT_EQ(mdsignal_signalCodeName(SIGILL, 9), nullptr);
    EXPECT_EQ(orNull(mdsignal_signalCodeName(SIGPIPE, 0)), "SI_USER");
}

}  // namespace
