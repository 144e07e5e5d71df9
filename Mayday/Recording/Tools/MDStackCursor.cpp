// The cursor record, the backtrace cursor and the own-thread cursor.
//
// Crash-path safe: no heap, no locks, no stdio; the own-thread capture lives
// inside the cursor. backtrace(3) is safe once the unwinder is loaded, which
// mddl_initialize does at install.
#include "Mayday/Recording/Tools/MDStackCursor.h"

#include <execinfo.h>

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
// caller's count.
__attribute__((noinline)) void mdsc_initSelfThread(MDStackCursor* cursor, int skipEntries) {
    SelfThreadContext* context = (SelfThreadContext*)cursor->context;
    const int count = backtrace((void**)context->backtrace, MDSC_SELF_THREAD_MAX_ENTRIES);
    // Our own entries end before the one returning into the caller; a
    // sanitizer's backtrace interceptor adds one of its own above ours.
    const uintptr_t intoCaller = (uintptr_t)__builtin_return_address(0);
    int ownEntries = 1;
    for (int i = 1; i < count && i <= 3; i++) {
        if (context->backtrace[i] == intoCaller) {
            ownEntries = i;
            break;
        }
    }
    mdsc_initWithBacktrace(cursor, context->backtrace, count, skipEntries + ownEntries);
    // Keeps this frame a real call (no tail call into the initialiser).
    __asm__ volatile("" ::: "memory");
}
