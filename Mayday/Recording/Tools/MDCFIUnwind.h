// Unwinding by call-frame information (.eh_frame through .eh_frame_hdr), on
// x86-64: from one frame's registers to its caller's, for code built with or
// without frame pointers (Debian's libc is built without).
//
// Crash-path safe: images are found through the lock-free image list
// (mddl_frameInfoForAddress, never dl_iterate_phdr, whose lock a suspended
// thread may hold), and remembered across walks in static caches that are
// checked against the image before use; image and stack memory are read
// only through the kernel-checked copy or the stack window copied through
// it (except by the own-thread walk, below); fixed buffers, bounded work
// (instructions per frame, expression length, remembered states); no heap,
// no locks, no stdio.
//
// The stack window: the walked thread's stack is copied once per walk (from
// its stack pointer, up to 64 KiB, in one kernel call) into one process-wide
// buffer, on the first stack read that needs it, and stack reads are
// answered from it. The buffer is claimed by an atomic flag around each
// step; a walker that finds it claimed (a second walker at the same time)
// reads word by word through the kernel-checked copy instead.
//
// The own-thread walk (mdcfi_initOwnThreadWalker, for a thread walking its
// own live stack outside a crash) finds images with _dl_find_object (no lock,
// no system call) and reads image and stack memory in place while that is
// provably safe; see MDCFIUnwind.cpp.
#pragma once

#include <stdbool.h>
#include <stdint.h>

struct MDMachineContext;

// DWARF register numbers of x86-64 (the psABI's table); 16 is the return
// address column, which the unwinder treats as rip.
enum {
    MDCFI_RAX = 0,
    MDCFI_RDX = 1,
    MDCFI_RCX = 2,
    MDCFI_RBX = 3,
    MDCFI_RSI = 4,
    MDCFI_RDI = 5,
    MDCFI_RBP = 6,
    MDCFI_RSP = 7,
    MDCFI_R8 = 8,
    MDCFI_R12 = 12,
    MDCFI_R13 = 13,
    MDCFI_R14 = 14,
    MDCFI_R15 = 15,
    MDCFI_RIP = 16,
    MDCFI_REGISTER_COUNT = 17
};

// One frame's registers. A register whose bit in `validRegisters` is clear
// is unknown (a caller-saved register after a call, say).
typedef struct MDCFIFrame {
    uint64_t registers[MDCFI_REGISTER_COUNT];
    uint32_t validRegisters;
    // rip is the instruction itself (the first frame, or code a signal
    // interrupted) rather than a return address; return addresses are looked
    // up minus 1 so that they land inside the call.
    bool isInstructionAddress;
} MDCFIFrame;

#define MDCFI_CACHED_IMAGES 4

// The state of one walk: the images looked up last and the stack window
// fill this walk made. Lives in the caller's memory (a cursor's context).
typedef struct MDCFIWalker {
    struct {
        uintptr_t start;
        uintptr_t end;
        uintptr_t ehFrameHeader;  // 0 when the image has none
        uintptr_t table;          // its binary-search table, 0 when unusable
        uint64_t tableCount;
    } images[MDCFI_CACHED_IMAGES];
    int cachedImages;
    int nextImage;
    uint64_t windowFill;  // the stack window fill this walk made, 0 for none
    bool usesWindow;      // false: every stack read is its own checked copy
    // An own-thread walk whose every step so far followed call-frame
    // information: the frame's code and stack are live (read in place).
    bool readsInPlace;
    // The image bytes around the CIE read last: an image's FDEs mostly
    // share one CIE.
    int cieChunkLength;
    uintptr_t cieChunkStart;
    uint8_t cieChunk[256];
} MDCFIWalker;

typedef enum {
    MDCFI_STEPPED = 0,  // the frame now holds its caller's registers
    MDCFI_NO_INFO,      // no call-frame information covers the address
    MDCFI_FAILED,       // there is, but it could not be followed (memory gone, bad data)
    MDCFI_OUTERMOST     // the information says there is no caller (thread start)
} MDCFIStepResult;

// A fresh walk; `useWindow` false keeps it off the stack window (tests).
void mdcfi_initWalker(MDCFIWalker* walker, bool useWindow);

// A walk of the calling thread's own stack, outside a crash (a throw, a
// reported exception, a terminate handler), starting from registers it
// captured itself; uses the stack window for what it cannot read in place.
void mdcfi_initOwnThreadWalker(MDCFIWalker* walker);

// The first frame of a machine context: its registers, rip the instruction
// itself. A stack pointer or instruction address of 0 counts as unknown.
void mdcfi_frameFromMachineContext(const struct MDMachineContext* context, MDCFIFrame* frame);

// One step by call-frame information alone. Through the signal trampoline
// (an FDE with the "S" augmentation, or the rt_sigreturn bytes where there
// is no FDE) the caller is the interrupted code, its registers read from the
// ucontext_t on the stack. Leaves the frame alone unless it answers
// MDCFI_STEPPED.
MDCFIStepResult mdcfi_step(MDCFIWalker* walker, MDCFIFrame* frame);

// One frame-pointer step: follows the frame record at rbp when rbp is
// 16-byte aligned and at or up to 8 MB above rsp (any rbp when rsp is
// unknown), the record's link is strictly higher, 16-byte aligned and at
// most 8 MB above it, and its return address is not 0. False, leaving the
// frame alone, otherwise.
bool mdcfi_stepFramePointer(MDCFIWalker* walker, MDCFIFrame* frame);

// A step by call-frame information, and where there is none (or it cannot be
// followed), one frame-pointer step. False at the end of the stack.
bool mdcfi_unwind(MDCFIWalker* walker, MDCFIFrame* frame);

// For one report, on the thread that writes it: the first 2 KiB above each
// given stack pointer (0s are skipped; at most 256) are read for all at once,
// and a walk whose stack window starts at one of them begins with that copy.
// False when another thread holds the copies; then nothing is to be ended.
bool mdcfi_beginPrefetch(const uintptr_t* stackPointers, int count);
void mdcfi_endPrefetch(void);

// For tests: the address of the FDE that covers `address` in its
// image's .eh_frame_hdr table; false when there is none.
bool mdcfi_testing_findFDE(uintptr_t address, uintptr_t* fde);
