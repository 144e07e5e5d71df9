// The machine-context cursor: a walk of a (suspended or crashed) thread's
// stack by call-frame information, with frame pointers where there is none.
//
// Crash-path safe: no heap, no locks, no stdio; every stack and image read
// goes through the kernel-checked copy or the unwinder's stack window, so a
// broken stack ends the walk quietly.
//
// Code built without frame pointers (glibc, for one) uses rbp as an ordinary
// register, so a frame-pointer step is taken only where call-frame
// information is missing, and only while its link looks like a caller's
// frame record; a short true stack beats a long false one.
#include "Mayday/Recording/Tools/MDStackCursor.h"

#include "Mayday/Recording/Tools/MDCFIUnwind.h"
#include "Mayday/Recording/Tools/MDCPU.h"
#include "Mayday/Recording/Tools/MDMachineContext.h"

namespace {

struct MachineContextCursor {
    const MDMachineContext* machineContext;
    int maxStackDepth;
    MDCFIWalker walker;
    MDCFIFrame frame;  // the frame last produced
    bool hasEnded;
};

static_assert(sizeof(MachineContextCursor) <= sizeof(void*) * MDSC_CONTEXT_SIZE, "context too big");

void resetMachineContextCursor(MDStackCursor* cursor) {
    mdsc_resetCursor(cursor);
    MachineContextCursor* context = (MachineContextCursor*)cursor->context;
    // A new walk: the stack is read again, not taken from an earlier window.
    mdcfi_initWalker(&context->walker, true);
    context->hasEnded = false;
}

bool produce(MDStackCursor* cursor, uintptr_t address, bool isInstructionAddress) {
    cursor->stackEntry.address = address;
    cursor->stackEntry.isInstructionAddress = isInstructionAddress;
    cursor->currentDepth++;
    return true;
}

bool advanceMachineContextCursor(MDStackCursor* cursor) {
    MachineContextCursor* context = (MachineContextCursor*)cursor->context;
    if (context->hasEnded) {
        return false;
    }
    if (cursor->currentDepth >= context->maxStackDepth) {
        cursor->hasGivenUp = true;
        return false;
    }
    if (cursor->currentDepth == 0) {
        mdcfi_frameFromMachineContext(context->machineContext, &context->frame);
        const uintptr_t address = mdcpu_instructionAddress(context->machineContext);
        if (address == 0) {
            return false;
        }
        // The instruction itself, not a return address: looked up unchanged.
        return produce(cursor, address, true);
    }
    if (!mdcfi_unwind(&context->walker, &context->frame)) {
        context->hasEnded = true;
        return false;
    }
    // Code a signal interrupted is at an instruction too.
    return produce(cursor, (uintptr_t)context->frame.registers[MDCFI_RIP], context->frame.isInstructionAddress);
}

}  // namespace

void mdsc_initWithMachineContext(MDStackCursor* cursor, int maxStackDepth,
                                 const struct MDMachineContext* machineContext) {
    mdsc_initCursor(cursor, resetMachineContextCursor, advanceMachineContextCursor);
    MachineContextCursor* context = (MachineContextCursor*)cursor->context;
    context->machineContext = machineContext;
    context->maxStackDepth = maxStackDepth;
    resetMachineContextCursor(cursor);
}
