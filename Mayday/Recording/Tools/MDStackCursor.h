// Stack cursors: one way to walk the addresses of a stack, over a ready-made
// address array, over the calling thread's own stack, or over a suspended
// or crashed thread's stack from a machine context.
//
// Crash-path safe: cursors live in caller memory and allocate nothing, take no
// locks and use no stdio. The own-thread and machine-context cursors unwind
// by call-frame information (MDCFIUnwind), falling back to frame pointers
// where there is none; neither takes the loader's lock.
#pragma once

#include <stdbool.h>
#include <stdint.h>

#define MDSC_CONTEXT_SIZE 100

// Addresses the own-thread cursor keeps inside its context: the context less
// the three words of the backtrace cursor's fields.
#define MDSC_SELF_THREAD_MAX_ENTRIES 97

typedef struct MDStackCursor {
    struct {
        uintptr_t address;        // instruction address of the current frame
        const char* imageName;    // path of the image holding it (borrowed), or null
        uintptr_t imageAddress;   // that image's ELF header address, or 0
        const char* symbolName;   // nearest symbol (borrowed), or null
        uintptr_t symbolAddress;  // its address, or 0
        // True when `address` is the instruction itself (the first entry of a
        // machine-context walk: the faulting or current instruction) rather
        // than a return address. The symbolicator looks such an address up
        // unchanged; return addresses are looked up minus 1 so that they land
        // inside the call instruction.
        bool isInstructionAddress;
    } stackEntry;
    int currentDepth;  // entries produced so far
    bool hasGivenUp;   // the walk stopped at its maximum depth
    void (*resetCursor)(struct MDStackCursor*);
    bool (*advanceCursor)(struct MDStackCursor*);
    bool (*symbolicate)(struct MDStackCursor*);
    void* context[MDSC_CONTEXT_SIZE];  // private state of the cursor kind
} MDStackCursor;

// Installs the operations (null reset -> mdsc_resetCursor; null advance -> one
// that always answers false) and the symbolicator, then resets.
void mdsc_initCursor(MDStackCursor* cursor, void (*resetCursor)(MDStackCursor*),
                     bool (*advanceCursor)(MDStackCursor*));

// Clears the entry fields, the depth and the has-given-up flag.
void mdsc_resetCursor(MDStackCursor* cursor);

// A cursor over `backtrace` (borrowed; must outlive the cursor), skipping its
// first `skipEntries` addresses. The walk ends at the array's end or at an
// address of 0 or 1. All entries are return addresses.
void mdsc_initWithBacktrace(MDStackCursor* cursor, const uintptr_t* backtrace, int backtraceLength,
                            int skipEntries);

// Captures the calling thread's stack now (at most
// MDSC_SELF_THREAD_MAX_ENTRIES addresses, kept inside the cursor) and walks it,
// skipping `skipEntries` frames beyond this function's own.
void mdsc_initSelfThread(MDStackCursor* cursor, int skipEntries);

struct MDMachineContext;

// A walk of the context's thread producing at most `maxStackDepth` entries;
// reaching that depth sets hasGivenUp. The first entry is the context's
// instruction address and is marked isInstructionAddress, as is the entry of
// code a signal interrupted (the one after the signal trampoline); the others
// are return addresses. The context is borrowed. Stack memory is read with
// the kernel-checked copy (or the unwinder's window copied through it).
// Each step uses the call-frame information of the image holding the
// address; where there is none, or it cannot be followed, the step follows
// the frame pointer instead: only when it is 16-byte aligned and lies at or
// up to 8 MB above the stack pointer (any such frame pointer when the stack
// pointer is unknown), and only while the record's link is strictly higher,
// 16-byte aligned and at most 8 MB above it and its return address is not 0;
// the record that fails ends the walk without its return address.
void mdsc_initWithMachineContext(MDStackCursor* cursor, int maxStackDepth,
                                 const struct MDMachineContext* machineContext);
