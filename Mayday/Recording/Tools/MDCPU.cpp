// x86_64 register access. Crash-path safe: plain field reads and copies.
#include "Mayday/Recording/Tools/MDCPU.h"

#include <cstring>
#include <sys/ucontext.h>

#include "Mayday/Recording/Tools/MDLogger.h"

namespace {

const char* const kRegisterNames[] = {
    "rax", "rbx", "rcx", "rdx", "rdi", "rsi", "rbp", "rsp", "r8",     "r9", "r10",
    "r11", "r12", "r13", "r14", "r15", "rip", "rflags", "cs", "fs", "gs",
};
constexpr int kRegisterCount = sizeof(kRegisterNames) / sizeof(kRegisterNames[0]);

const char* const kExceptionRegisterNames[] = {"trapno", "err", "faultvaddr"};
constexpr int kExceptionRegisterCount = sizeof(kExceptionRegisterNames) / sizeof(kExceptionRegisterNames[0]);

// The thread state is 21 consecutive 64-bit fields in register-table order.
static_assert(sizeof(MDThreadState) == kRegisterCount * sizeof(uint64_t));

}  // namespace

void mdcpu_registersFromUserContext(const void* userContext, MDExceptionState* exceptionState,
                                    MDThreadState* threadState) {
    const ucontext_t* uc = static_cast<const ucontext_t*>(userContext);
    const greg_t* g = uc->uc_mcontext.gregs;
    threadState->rax = (uint64_t)g[REG_RAX];
    threadState->rbx = (uint64_t)g[REG_RBX];
    threadState->rcx = (uint64_t)g[REG_RCX];
    threadState->rdx = (uint64_t)g[REG_RDX];
    threadState->rdi = (uint64_t)g[REG_RDI];
    threadState->rsi = (uint64_t)g[REG_RSI];
    threadState->rbp = (uint64_t)g[REG_RBP];
    threadState->rsp = (uint64_t)g[REG_RSP];
    threadState->r8 = (uint64_t)g[REG_R8];
    threadState->r9 = (uint64_t)g[REG_R9];
    threadState->r10 = (uint64_t)g[REG_R10];
    threadState->r11 = (uint64_t)g[REG_R11];
    threadState->r12 = (uint64_t)g[REG_R12];
    threadState->r13 = (uint64_t)g[REG_R13];
    threadState->r14 = (uint64_t)g[REG_R14];
    threadState->r15 = (uint64_t)g[REG_R15];
    threadState->rip = (uint64_t)g[REG_RIP];
    threadState->rflags = (uint64_t)g[REG_EFL];
    // The kernel packs cs, gs and fs as 16-bit pieces, lowest first.
    const uint64_t csgsfs = (uint64_t)g[REG_CSGSFS];
    threadState->cs = csgsfs & 0xffff;
    threadState->gs = (csgsfs >> 16) & 0xffff;
    threadState->fs = (csgsfs >> 32) & 0xffff;
    exceptionState->trapno = (uint16_t)g[REG_TRAPNO];
    exceptionState->cpu = 0;
    exceptionState->err = (uint32_t)g[REG_ERR];
    exceptionState->faultvaddr = (uint64_t)g[REG_CR2];
}

void mdcpu_fetchState(MDMachineContext* context) {
    // A thread that is neither parked nor waiting where it said keeps zeros,
    // like a failed thread_get_state.
    if (!mdmc_copyParkedState(context->thread, &context->machineState.exceptionState,
                              &context->machineState.threadState))
        mdmc_copyWaitingState(context->thread, &context->machineState.threadState);
}

uintptr_t mdcpu_framePointer(const MDMachineContext* context) { return context->machineState.threadState.rbp; }

uintptr_t mdcpu_stackPointer(const MDMachineContext* context) { return context->machineState.threadState.rsp; }

uintptr_t mdcpu_instructionAddress(const MDMachineContext* context) {
    return context->machineState.threadState.rip;
}

uintptr_t mdcpu_linkRegister(const MDMachineContext*) { return 0; }

uintptr_t mdcpu_faultAddress(const MDMachineContext* context) {
    return context->machineState.exceptionState.faultvaddr;
}

int mdcpu_stackGrowDirection(void) { return -1; }

int mdcpu_registerCount(void) { return kRegisterCount; }

const char* mdcpu_registerName(int regNumber) {
    if (regNumber < 0 || regNumber >= kRegisterCount) return nullptr;
    return kRegisterNames[regNumber];
}

uint64_t mdcpu_registerValue(const MDMachineContext* context, int regNumber) {
    if (regNumber < 0 || regNumber >= kRegisterCount) {
        MDLOG_ERROR("Invalid register number: %d", regNumber);
        return 0;
    }
    uint64_t values[kRegisterCount];
    memcpy(values, &context->machineState.threadState, sizeof(values));
    return values[regNumber];
}

int mdcpu_exceptionRegisterCount(void) { return kExceptionRegisterCount; }

const char* mdcpu_exceptionRegisterName(int regNumber) {
    if (regNumber < 0 || regNumber >= kExceptionRegisterCount) {
        MDLOG_ERROR("Invalid register number: %d", regNumber);
        return nullptr;
    }
    return kExceptionRegisterNames[regNumber];
}

uint64_t mdcpu_exceptionRegisterValue(const MDMachineContext* context, int regNumber) {
    const MDExceptionState& state = context->machineState.exceptionState;
    switch (regNumber) {
        case 0:
            return state.trapno;
        case 1:
            return state.err;
        case 2:
            return state.faultvaddr;
        default:
            MDLOG_ERROR("Invalid register number: %d", regNumber);
            return 0;
    }
}
