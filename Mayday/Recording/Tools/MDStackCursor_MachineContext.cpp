// The machine-context cursor: a frame-pointer walk of a (suspended or
// crashed) thread's stack.
//
// Crash-path safe: no heap, no locks, no stdio; every stack read goes through
// the kernel-checked copy, so a broken frame chain ends the walk quietly.
//
// Code built without frame pointers (glibc, for one) uses rbp as an ordinary
// register, so the chain may lead anywhere: to a word that points at itself,
// back down the stack, or into another mapping. A frame is followed only
// while its link looks like a caller's frame record; a short true stack
// beats a long false one.
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
    bool hasEnded;
};

// x86-64 frame records sit at 16-byte boundaries: the call leaves rsp 8 off
// one and the pushed rbp brings it back.
constexpr uintptr_t kFrameAlignment = 16;
// No single frame is this big (it is the default stack limit itself).
constexpr uintptr_t kMaxFrameDistance = 8u << 20;

// A caller's frame lies strictly above its callee's (the stack grows down),
// which also rules out a record repeating itself or the walk looping.
bool isPlausibleCallerFrame(uintptr_t frame, uintptr_t caller) {
    return caller > frame && (caller & (kFrameAlignment - 1)) == 0 && caller - frame <= kMaxFrameDistance;
}

// The innermost frame pointer must lie at or above the stack pointer. A
// context without a stack pointer (one made up from a frame pointer alone)
// is taken at its word.
bool isPlausibleFirstFrame(uintptr_t stackPointer, uintptr_t frame) {
    if (frame == 0 || (frame & (kFrameAlignment - 1)) != 0) {
        return false;
    }
    return stackPointer == 0 || (frame >= stackPointer && frame - stackPointer <= kMaxFrameDistance);
}

static_assert(sizeof(MachineContextCursor) <= sizeof(void*) * MDSC_CONTEXT_SIZE, "context too big");

void resetMachineContextCursor(MDStackCursor* cursor) {
    mdsc_resetCursor(cursor);
    MachineContextCursor* context = (MachineContextCursor*)cursor->context;
    context->currentFrame.previous = 0;
    context->currentFrame.returnAddress = 0;
    context->instructionAddress = 0;
    context->linkRegister = 0;
    context->isPastFramePointer = false;
    context->hasEnded = false;
}

bool produce(MDStackCursor* cursor, uintptr_t address, bool isInstructionAddress) {
    cursor->stackEntry.address = address;
    cursor->stackEntry.isInstructionAddress = isInstructionAddress;
    cursor->currentDepth++;
    return true;
}

bool endWalk(MachineContextCursor* context) {
    context->hasEnded = true;
    return false;
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
    if (!context->isPastFramePointer) {
        context->isPastFramePointer = true;
        const uintptr_t framePointer = mdcpu_framePointer(context->machineContext);
        if (!isPlausibleFirstFrame(mdcpu_stackPointer(context->machineContext), framePointer)) {
            return endWalk(context);
        }
        context->currentFrame.previous = framePointer;
    }
    const uintptr_t frame = context->currentFrame.previous;
    FrameRecord record;
    if (!mdmem_copySafely((const void*)frame, &record, (int)sizeof(record))) {
        return endWalk(context);
    }
    // The record's return address is reported only when its link leads to a
    // plausible caller frame: a record whose link is 0 or implausible is the
    // end of the chain, or not a frame record at all.
    if (record.returnAddress == 0 || !isPlausibleCallerFrame(frame, record.previous)) {
        return endWalk(context);
    }
    context->currentFrame = record;
    return produce(cursor, record.returnAddress, false);
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
