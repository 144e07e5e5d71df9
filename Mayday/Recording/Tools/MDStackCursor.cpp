// The cursor record, the backtrace cursor and the own-thread cursor.
//
// Crash-path safe: no heap, no locks, no stdio; the own-thread capture lives
// inside the cursor and is unwound by call-frame information from registers
// read with inline assembly (backtrace(3) could take the loader's lock). The
// own-thread walk is meant for a thread that has not crashed (a throw, a
// reported exception, a terminate handler): it reads its live frames in
// place (see MDCFIUnwind.cpp).
#include "Mayday/Recording/Tools/MDStackCursor.h"

#include "Mayday/Recording/Tools/MDCFIUnwind.h"
#include "Mayday/Recording/Tools/MDSymbolicator.h"

namespace {

struct BacktraceContext {
    int skipEntries;
    int backtraceLength;
    const uintptr_t* backtrace;
};

struct SelfThreadContext {
    BacktraceContext backtraceContext;
    uintptr_t backtrace[MDSC_SELF_THREAD_MAX_ENTRIES];
};

static_assert(sizeof(BacktraceContext) <= sizeof(void*) * 3, "backtrace fields take three words at most");
static_assert(sizeof(SelfThreadContext) <= sizeof(void*) * MDSC_CONTEXT_SIZE, "own-thread context too big");

bool neverAdvance(MDStackCursor*) {
    return false;
}

bool advanceBacktrace(MDStackCursor* cursor) {
    const BacktraceContext* context = (const BacktraceContext*)cursor->context;
    const int endDepth = context->backtraceLength - context->skipEntries;
    if (cursor->currentDepth >= endDepth) {
        return false;
    }
    const uintptr_t address = context->backtrace[cursor->currentDepth + context->skipEntries];
    // 0 and 1 mark the end of a captured stack (1 is what some unwinders
    // leave past the outermost frame).
    if (address <= 1) {
        return false;
    }
    cursor->stackEntry.address = address;
    cursor->currentDepth++;
    return true;
}

}  // namespace

void mdsc_resetCursor(MDStackCursor* cursor) {
    cursor->stackEntry.address = 0;
    cursor->stackEntry.imageName = nullptr;
    cursor->stackEntry.imageAddress = 0;
    cursor->stackEntry.symbolName = nullptr;
    cursor->stackEntry.symbolAddress = 0;
    cursor->stackEntry.isInstructionAddress = false;
    cursor->currentDepth = 0;
    cursor->hasGivenUp = false;
}

void mdsc_initCursor(MDStackCursor* cursor, void (*resetCursor)(MDStackCursor*),
                     bool (*advanceCursor)(MDStackCursor*)) {
    cursor->resetCursor = resetCursor != nullptr ? resetCursor : mdsc_resetCursor;
    cursor->advanceCursor = advanceCursor != nullptr ? advanceCursor : neverAdvance;
    cursor->symbolicate = mdsymbolicator_symbolicate;
    cursor->resetCursor(cursor);
}

void mdsc_initWithBacktrace(MDStackCursor* cursor, const uintptr_t* backtrace, int backtraceLength,
                            int skipEntries) {
    mdsc_initCursor(cursor, mdsc_resetCursor, advanceBacktrace);
    BacktraceContext* context = (BacktraceContext*)cursor->context;
    context->skipEntries = skipEntries < 0 ? 0 : skipEntries;
    context->backtraceLength = backtrace != nullptr && backtraceLength > 0 ? backtraceLength : 0;
    context->backtrace = backtrace;
}

// Not inlined, so that exactly one frame (this one) is skipped beyond the
// caller's count. The walk happens now: once this returns, the frames it
// starts from are gone.
__attribute__((noinline)) void mdsc_initSelfThread(MDStackCursor* cursor, int skipEntries) {
    SelfThreadContext* context = (SelfThreadContext*)cursor->context;
    MDCFIFrame frame;
    // The registers the unwinder needs, as they stand at the label: with
    // them, this very instruction is the first frame.
    uint64_t* r = frame.registers;
    __asm__ volatile(
        "leaq 1f(%%rip), %%rax\n\t"
        "movq %%rax, %0\n\t"
        "movq %%rsp, %1\n\t"
        "movq %%rbp, %2\n\t"
        "movq %%rbx, %3\n\t"
        "movq %%r12, %4\n\t"
        "movq %%r13, %5\n\t"
        "movq %%r14, %6\n\t"
        "movq %%r15, %7\n\t"
        "1:"
        : "=m"(r[MDCFI_RIP]), "=m"(r[MDCFI_RSP]), "=m"(r[MDCFI_RBP]), "=m"(r[MDCFI_RBX]), "=m"(r[MDCFI_R12]),
          "=m"(r[MDCFI_R13]), "=m"(r[MDCFI_R14]), "=m"(r[MDCFI_R15])
        :
        : "rax");
    frame.validRegisters = (1u << MDCFI_RIP) | (1u << MDCFI_RSP) | (1u << MDCFI_RBP) | (1u << MDCFI_RBX) |
                           (1u << MDCFI_R12) | (1u << MDCFI_R13) | (1u << MDCFI_R14) | (1u << MDCFI_R15);
    frame.isInstructionAddress = true;
    // Our own live stack, outside a crash: the walker may read the frames'
    // images and stack in place while its steps follow call-frame information.
    MDCFIWalker walker;
    mdcfi_initOwnThreadWalker(&walker);
    // The first step leaves this function, into the caller. A walk that
    // never ends (signal frames can lead back down) stops after kMaxSteps.
    constexpr int kMaxSteps = 1024;
    int toSkip = skipEntries < 0 ? 0 : skipEntries;
    int count = 0;
    for (int steps = 0; steps < kMaxSteps && count < MDSC_SELF_THREAD_MAX_ENTRIES && mdcfi_unwind(&walker, &frame);
         steps++) {
        if (toSkip > 0) {
            toSkip--;
            continue;
        }
        context->backtrace[count++] = (uintptr_t)frame.registers[MDCFI_RIP];
    }
    mdsc_initWithBacktrace(cursor, context->backtrace, count, 0);
    // Keeps this frame a real call (no tail call into the initialiser).
    __asm__ volatile("" ::: "memory");
}
