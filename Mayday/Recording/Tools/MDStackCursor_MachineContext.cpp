// The machine-context cursor: a frame-pointer walk of a (suspended or
// crashed) thread's stack.
//
// Crash-path safe: no heap, no locks, no stdio; every stack read goes through
// the kernel-checked copy, so a broken frame chain ends the walk quietly.
#include "Mayday/Recording/Tools/MDStackCursor.h"

#include "Mayday/Recording/Tools/MDCPU.h"
#include "Mayday/Recording/Tools/MDMachineContext.h"
#include "Mayday/Recording/Tools/MDMemory.h"

namespace {

// The two words every frame-pointer frame keeps at its frame pointer.
struct FrameRecord {
    uintptr_t previous;  // the caller's frame pointer
    uintptr_t returnAddress;
};

struct MachineContextCursor {
    const MDMachineContext* machineContext;
    int maxStackDepth;
    FrameRecord currentFrame;
    uintptr_t instructionAddress;  // already produced (0 = not yet)
    uintptr_t linkRegister;        // already produced
    bool isPastFramePointer;
};

static_assert(sizeof(MachineContextCursor) <= sizeof(void*) * MDSC_CONTEXT_SIZE, "context too big");

void resetMachineContextCursor(MDStackCursor* cursor) {
    mdsc_resetCursor(cursor);
    MachineContextCursor* context = (MachineContextCursor*)cursor->context;
    context->currentFrame.previous = 0;
    context->currentFrame.returnAddress = 0;
    context->instructionAddress = 0;
    context->linkRegister = 0;
    context->isPastFramePointer = false;
}

bool produce(MDStackCursor* cursor, uintptr_t address, bool isInstructionAddress) {
    cursor->stackEntry.address = address;
    cursor->stackEntry.isInstructionAddress = isInstructionAddress;
    cursor->currentDepth++;
    return true;
}

bool advanceMachineContextCursor(MDStackCursor* cursor) {
    MachineContextCursor* context = (MachineContextCursor*)cursor->context;
    if (cursor->currentDepth >= context->maxStackDepth) {
        cursor->hasGivenUp = true;
        return false;
    }
    if (context->instructionAddress == 0) {
        const uintptr_t address = mdcpu_instructionAddress(context->machineContext);
        if (address == 0) {
            return false;
        }
        context->instructionAddress = address;
        // The instruction itself, not a return address: looked up unchanged.
        return produce(cursor, address, true);
    }
    if (context->linkRegister == 0 && !context->isPastFramePointer) {
        const uintptr_t address = mdcpu_linkRegister(context->machineContext);
        if (address != 0) {
            context->linkRegister = address;
            return produce(cursor, address, false);
        }
    }
    if (context->currentFrame.previous == 0) {
        if (context->isPastFramePointer) {
            return false;
        }
        context->currentFrame.previous = mdcpu_framePointer(context->machineContext);
        context->isPastFramePointer = true;
    }
    if (!mdmem_copySafely((const void*)context->currentFrame.previous, &context->currentFrame,
                          (int)sizeof(context->currentFrame))) {
        return false;
    }
    if (context->currentFrame.previous == 0 || context->currentFrame.returnAddress == 0) {
        return false;
    }
    return produce(cursor, context->currentFrame.returnAddress, false);
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
