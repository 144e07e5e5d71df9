// The call-frame unwinder: finding an address's image and FDE (the
// .eh_frame_hdr search), stepping a frame (by its FDE, through the signal
// trampoline, by frame pointer) and the stack window. The CIE/FDE parsing,
// CFA program and expressions are in MDCFIProgram.cpp, the caches shared by
// all walks in MDCFISharedCache.cpp.
//
// Crash-path safe: every read of image or stack memory is a kernel-checked
// copy (mdmem_copySafely / mdmem_copyMaxPossible / mdmem_copyPieces) or comes
// from the stack window filled by one, except the own-thread walk's in-place
// reads below; fixed buffers, bounded loops; no heap, no locks, no stdio, no
// exceptions. The window buffer is claimed with an atomic flag.
//
// In-place reads, own-thread walks only (mdcfi_initOwnThreadWalker; never in
// a crashed process, never for another thread). While every step so far
// followed call-frame information from the thread's own captured registers,
// each frame's return address is one its caller really pushed, so its code
// is running on our stack right now and its image cannot be unmapped (a
// dlclose of code with live frames is already undefined). Such an image's
// .eh_frame_hdr, table, FDEs and CIEs are read in place; they live in
// read-only segments, so no stray write can have broken them either. The
// image is found with _dl_find_object, which takes no lock and makes no
// system call. Likewise the stack between a frame's stack pointer and its
// CFA is the live frame (not a signal frame, whose CFA may be on another
// stack) and is read in place. After a frame-pointer step (a guess, whose
// return address may lead into an image no live frame keeps mapped) the walk
// goes back to kernel-checked copies for good.
#include "Mayday/Recording/Tools/MDCFIUnwind.h"

#include <cstddef>
#include <dlfcn.h>
#include <sys/ucontext.h>

#include "Mayday/Recording/Tools/MDCFIProgram.h"
#include "Mayday/Recording/Tools/MDCFISharedCache.h"
#include "Mayday/Recording/Tools/MDCPU.h"
#include "Mayday/Recording/Tools/MDDynamicLinker.h"
#include "Mayday/Recording/Tools/MDMemory.h"
#include "Mayday/Recording/Tools/MDThread.h"

using namespace mdcfi;

namespace {

// ---- the stack window ----

constexpr int kWindowSize = 64 * 1024;
// A parked thread's frames usually fit in the first few KiB above its stack
// pointer: the window starts that small and doubles while reads reach past it.
constexpr int kFirstFillSize = 8 * 1024;
alignas(16) uint8_t g_window[kWindowSize];
uintptr_t g_windowStart;
int g_windowLength;
int g_windowLimit;      // most the window may hold from its start
bool g_windowAtEnd;     // a fill stopped short: nothing readable beyond
uint64_t g_windowFill;  // which fill the buffer holds
uint64_t g_lastFill;    // fills handed out so far
int g_windowClaimed;    // 1 while a walker reads or fills the buffer

// One step's hold on the window.
struct WindowUse {
    MDCFIWalker* walker;
    uintptr_t sp;
};

// Claims the window for one step whose stack pointer is `sp`. False when
// another walker holds it (reads then go one by one).
bool claimWindow(MDCFIWalker* walker, uintptr_t sp) {
    if (!walker->usesWindow || sp == 0) {
        return false;
    }
    return __atomic_exchange_n(&g_windowClaimed, 1, __ATOMIC_ACQUIRE) == 0;
}

// The first bytes above every stack pointer of one report, read in a few
// kernel-checked copies for all threads at once instead of one copy per
// thread; a walk whose window starts at one of them takes it from here.
constexpr int kPrefetchThreads = 256;
constexpr int kPrefetchBytes = 2048;
alignas(16) uint8_t g_prefetched[kPrefetchThreads][kPrefetchBytes];
uintptr_t g_prefetchedAt[kPrefetchThreads];
int g_prefetchedLength[kPrefetchThreads];
int g_prefetchedCount;
MDThread g_prefetchOwner;

// The prefetched bytes at `sp` into the window (at most `limit`); -1 when
// there are none for this thread and stack pointer.
int takePrefetched(uintptr_t sp, int limit, bool* atEnd) {
    const MDThread owner = __atomic_load_n(&g_prefetchOwner, __ATOMIC_ACQUIRE);
    if (owner == 0 || owner != mdthread_self()) return -1;
    for (int i = 0; i < g_prefetchedCount; i++) {
        if (g_prefetchedAt[i] != sp) continue;
        int length = g_prefetchedLength[i] < limit ? g_prefetchedLength[i] : limit;
        __builtin_memcpy(g_window, g_prefetched[i], (size_t)length);
        *atEnd = g_prefetchedLength[i] < kPrefetchBytes && length < limit;
        return length;
    }
    return -1;
}

void releaseWindow(bool claimed) {
    if (claimed) {
        __atomic_store_n(&g_windowClaimed, 0, __ATOMIC_RELEASE);
    }
}

// A read through the claimed window, refilling it first when it does not
// hold this walk's stack at the step's stack pointer: one copy of the first
// KiB above it, grown by doubling copies up to 64 KiB as reads reach further
// (the main thread's stack ends in unmapped memory, where a copy stops).
// False when the window does not cover the range.
bool readWindow(void* owner, uintptr_t address, void* buffer, int length) {
    const WindowUse* use = (const WindowUse*)owner;
    MDCFIWalker* walker = use->walker;
    const uintptr_t sp = use->sp;
    const bool holdsOurs = walker->windowFill != 0 && g_windowFill == walker->windowFill && sp >= g_windowStart &&
                           (sp - g_windowStart < (uintptr_t)g_windowLength || sp == g_windowStart);
    if (!holdsOurs) {
        const uintptr_t room = UINTPTR_MAX - sp;
        g_windowLimit = room < (uintptr_t)kWindowSize ? (int)room : kWindowSize;
        const int want = g_windowLimit < kFirstFillSize ? g_windowLimit : kFirstFillSize;
        g_windowLength = takePrefetched(sp, g_windowLimit, &g_windowAtEnd);
        if (g_windowLength < 0) {
            g_windowLength = mdmem_copyMaxPossible((const void*)sp, g_window, want);
            g_windowAtEnd = g_windowLength < want;
        }
        g_windowStart = sp;
        g_windowFill = ++g_lastFill;
        walker->windowFill = g_windowFill;
    }
    if (address < g_windowStart || length < 0) {
        return false;
    }
    const uintptr_t end = address - g_windowStart + (uintptr_t)length;
    while (end > (uintptr_t)g_windowLength && !g_windowAtEnd && g_windowLength < g_windowLimit &&
           end <= (uintptr_t)g_windowLimit) {
        int grown = g_windowLength * 2;
        if (grown > g_windowLimit) grown = g_windowLimit;
        if (grown <= g_windowLength) break;
        const int want = grown - g_windowLength;
        const int got = mdmem_copyMaxPossible((const void*)(g_windowStart + (uintptr_t)g_windowLength),
                                              g_window + g_windowLength, want);
        g_windowLength += got;
        g_windowAtEnd = got < want;
    }
    if (end > (uintptr_t)g_windowLength) {
        return false;
    }
    __builtin_memcpy(buffer, g_window + (address - g_windowStart), (size_t)length);
    return true;
}

// One step's reads of the stack: through the window while this step holds
// it, each its own checked copy otherwise; the window is let go at the end.
struct StepReads {
    bool claimed;
    WindowUse use;
    DataReader data;
    StepReads(MDCFIWalker* walker, uintptr_t sp) : claimed(claimWindow(walker, sp)), use{walker, sp} {
        if (claimed) {
            data.windowRead = readWindow;
            data.windowOwner = &use;
        }
    }
    ~StepReads() { releaseWindow(claimed); }
    StepReads(const StepReads&) = delete;
    StepReads& operator=(const StepReads&) = delete;
};

// ---- finding the FDE ----

// The .eh_frame_hdr's binary-search table: pairs of (initial location, FDE
// address), sorted, each a data-relative signed 4-byte value as GCC and ld
// write them (the only layout with fixed-size entries we take).
void readTable(uintptr_t header, uintptr_t size, bool inPlace, ImageInfo* info) {
    info->header = header;
    info->table = 0;
    info->count = 0;
    if (header == 0 || size < 8) {
        return;
    }
    ImageBytes bytes;
    bytes.direct = inPlace;
    Parser parser{&bytes, header, header + size};
    const uint8_t version = parser.u8();
    const uint8_t framePointerEncoding = parser.u8();
    const uint8_t countEncoding = parser.u8();
    const uint8_t tableEncoding = parser.u8();
    (void)parser.pointer(framePointerEncoding, header);
    const uint64_t count = parser.pointer(countEncoding, header);
    if (!parser.ok || version != 1 || tableEncoding != 0x3b || countEncoding == 0xff || count == 0 ||
        count > (size - (parser.at - header)) / 8) {
        return;
    }
    info->table = parser.at;
    info->count = count;
}

// The image of a live frame's code, without a system call or a lock.
bool liveImageFor(uintptr_t address, MDImageFrameInfo* found) {
    struct dl_find_object object;
    if (_dl_find_object((void*)address, &object) != 0 || object.dlfo_eh_frame == nullptr) {
        return false;
    }
    found->start = (uintptr_t)object.dlfo_map_start;
    found->end = (uintptr_t)object.dlfo_map_end;
    found->bias = 0;
    found->ehFrameHeader = (uintptr_t)object.dlfo_eh_frame;
    // The header and its table lie inside the image's mapping.
    found->ehFrameHeaderSize = found->end > found->ehFrameHeader ? found->end - found->ehFrameHeader : 0;
    return true;
}

bool imageFor(MDCFIWalker* walker, uintptr_t address, ImageInfo* info) {
    for (int i = 0; i < walker->cachedImages; i++) {
        if (address >= walker->images[i].start && address < walker->images[i].end) {
            info->header = walker->images[i].ehFrameHeader;
            info->table = walker->images[i].table;
            info->count = walker->images[i].tableCount;
            return true;
        }
    }
    MDImageFrameInfo found;
    const bool inPlace = walker->readsInPlace;
    if (inPlace) {
        if (!liveImageFor(address, &found)) return false;
        readTable(found.ehFrameHeader, found.ehFrameHeaderSize, true, info);
    } else if (!sharedImageFor(address, &found, info)) {
        if (!mddl_frameInfoForAddress(address, &found)) return false;
        readTable(found.ehFrameHeader, found.ehFrameHeaderSize, false, info);
        shareImage(found, *info);
    }
    const int slot = walker->nextImage;
    walker->nextImage = (walker->nextImage + 1) % MDCFI_CACHED_IMAGES;
    if (walker->cachedImages < MDCFI_CACHED_IMAGES) walker->cachedImages++;
    walker->images[slot].start = found.start;
    walker->images[slot].end = found.end;
    walker->images[slot].ehFrameHeader = info->header;
    walker->images[slot].table = info->table;
    walker->images[slot].tableCount = info->count;
    return true;
}

// Table entries copied at once at the end of the search (4 KiB).
constexpr uint64_t kSearchBlock = 512;
// Entries sampled per narrowing copy.
constexpr int kSamples = MDMEM_MAX_PIECES;

// The FDE of the last table entry whose initial location is at or below
// the address: in place, in the shared copy of the table, or, where there
// is none, by copies. Each copy is a system call and a libc's table has
// thousands of entries: each narrowing copy samples the range at kSamples
// evenly spaced entries at once, until it fits one block, copied whole.
bool findFDEInHeader(const ImageInfo& image, uintptr_t address, bool inPlace, uintptr_t* fde) {
    if (image.table == 0) {
        return false;
    }
    const uintptr_t header = image.header;
    const uintptr_t table = image.table;
    if (inPlace) {
        return searchEntries((const int32_t(*)[2])table, image.count, header, address, fde);
    }
    bool found = false;
    if (searchSharedTable(image, address, &found, fde)) {
        return found;
    }
    uint64_t low = 0;
    uint64_t high = image.count;  // entries [low, high) may hold it
    while (high - low > kSearchBlock) {
        uintptr_t at[kSamples];
        uint64_t index[kSamples];
        int32_t starts[kSamples];
        for (int i = 0; i < kSamples; i++) {
            index[i] = low + (high - low) * (uint64_t)i / kSamples;
            at[i] = table + index[i] * 8;
        }
        if (!mdmem_copyPieces(at, kSamples, (int)sizeof(int32_t), starts)) return false;
        int below = 0;  // sample 0 is `low`, at or below the address
        while (below + 1 < kSamples && header + (intptr_t)starts[below + 1] <= address) below++;
        if (below + 1 < kSamples) high = index[below + 1];
        low = index[below];
    }
    int32_t block[kSearchBlock][2];
    const int length = (int)(high - low);
    if (!mdmem_copySafely((const void*)(table + low * 8), block, length * 8)) return false;
    int last = -1;
    for (int i = 0; i < length && header + (intptr_t)block[i][0] <= address; i++) last = i;
    if (last < 0) {
        return false;
    }
    *fde = header + (intptr_t)block[last][1];
    return true;
}

// ---- stepping ----

// x86-64 Linux's rt_sigreturn trampoline: mov $15, %rax; syscall.
const uint8_t kSigreturnBytes[] = {0x48, 0xc7, 0xc0, 0x0f, 0x00, 0x00, 0x00, 0x0f, 0x05};

// The handler returns into the trampoline with rsp at the ucontext_t the
// kernel pushed; the interrupted code's registers are in its mcontext.
bool stepThroughSigreturn(const DataReader& data, MDCFIFrame* frame) {
    uint8_t code[sizeof kSigreturnBytes];
    if (!mdmem_copySafely((const void*)(uintptr_t)frame->registers[MDCFI_RIP], code, (int)sizeof code) ||
        __builtin_memcmp(code, kSigreturnBytes, sizeof code) != 0) {
        return false;
    }
    uint64_t gregs[NGREG];
    const uintptr_t at = (uintptr_t)frame->registers[MDCFI_RSP] + offsetof(ucontext_t, uc_mcontext.gregs);
    if (!data.read(at, gregs, (int)sizeof gregs)) return false;
    static const int kFromGreg[MDCFI_REGISTER_COUNT] = {REG_RAX, REG_RDX, REG_RCX, REG_RBX, REG_RSI, REG_RDI,
                                                        REG_RBP, REG_RSP, REG_R8,  REG_R9,  REG_R10, REG_R11,
                                                        REG_R12, REG_R13, REG_R14, REG_R15, REG_RIP};
    for (int reg = 0; reg < MDCFI_REGISTER_COUNT; reg++) frame->registers[reg] = gregs[kFromGreg[reg]];
    frame->validRegisters = (1u << MDCFI_REGISTER_COUNT) - 1;
    frame->isInstructionAddress = true;
    return frame->registers[MDCFI_RIP] != 0;
}

bool isCalleeSaved(int reg) {
    return reg == MDCFI_RBX || reg == MDCFI_RBP || (reg >= MDCFI_R12 && reg <= MDCFI_R15);
}

// The row of `target`: the CIE's program, then the FDE's up to the target.
bool rowForTarget(const FrameEntry& entry, uintptr_t target, Row* row) {
    Row initial{};
    if (!runProgram(entry, entry.cieBytes, entry.cieInstructions, entry.cieEnd, UINTPTR_MAX, nullptr, &initial)) {
        return false;
    }
    *row = initial;
    return runProgram(entry, entry.fdeBytes, entry.instructions, entry.end, target, &initial, row);
}

bool needsExpressions(const Row& row) {
    if (row.cfaIsExpression) return true;
    for (const Rule& rule : row.rules)
        if (rule.kind == kExpression || rule.kind == kValExpression) return true;
    return false;
}

// Applies a row to the frame. `bytes` is where its expressions are read
// from (unused for a row without any).
MDCFIStepResult stepByRow(const Row& row, uint64_t returnRegister, bool isSignalFrame, ImageBytes* bytes,
                          bool inPlace, DataReader data, MDCFIFrame* frame) {
    struct {
        uint64_t returnRegister;
        bool isSignalFrame;
        ImageBytes* fdeBytes;
    } entry{returnRegister, isSignalFrame, bytes};

    uint64_t cfa;
    if (row.cfaIsExpression) {
        if (!evaluate(*frame, data, entry.fdeBytes, row.cfaExpression, row.cfaExpressionLength, false, 0, &cfa)) {
            return MDCFI_FAILED;
        }
    } else {
        if (!registerValue(*frame, row.cfaRegister, &cfa)) return MDCFI_FAILED;
        cfa += (uint64_t)row.cfaOffset;
    }
    // The live frame itself, for an own-thread walk (see the top of the file).
    const uintptr_t sp = (uintptr_t)frame->registers[MDCFI_RSP];
    if (inPlace && !entry.isSignalFrame && (frame->validRegisters & (1u << MDCFI_RSP)) != 0 && cfa > sp) {
        data.directLow = sp;
        data.directHigh = (uintptr_t)cfa;
    }
    if (entry.returnRegister >= MDCFI_REGISTER_COUNT) return MDCFI_FAILED;
    MDCFIFrame caller{};
    for (int reg = 0; reg < MDCFI_REGISTER_COUNT; reg++) {
        const Rule& rule = row.rules[reg];
        uint64_t value = 0;
        bool known = true;
        switch (rule.kind) {
            case kUnspecified:
                // The psABI's callee-saved registers keep their values unless
                // the FDE says where they went; the others are lost.
                known = isCalleeSaved(reg) && registerValue(*frame, (uint64_t)reg, &value);
                break;
            case kSameValue: known = registerValue(*frame, (uint64_t)reg, &value); break;
            case kUndefined: known = false; break;
            case kOffset:
                if (!data.word((uintptr_t)(cfa + (uint64_t)rule.value), &value)) return MDCFI_FAILED;
                break;
            case kValOffset: value = cfa + (uint64_t)rule.value; break;
            case kRegister: known = registerValue(*frame, (uint64_t)rule.value, &value); break;
            case kExpression:
            case kValExpression: {
                uint64_t address;
                if (!evaluate(*frame, data, entry.fdeBytes, rule.expression, rule.expressionLength, true, cfa,
                              &address)) {
                    return MDCFI_FAILED;
                }
                if (rule.kind == kValExpression) {
                    value = address;
                } else if (!data.word((uintptr_t)address, &value)) {
                    return MDCFI_FAILED;
                }
                break;
            }
        }
        if (known) {
            caller.registers[reg] = value;
            caller.validRegisters |= 1u << reg;
        }
    }
    const int ra = (int)entry.returnRegister;
    if (row.rules[ra].kind == kUndefined) return MDCFI_OUTERMOST;
    if (row.rules[ra].kind == kUnspecified || (caller.validRegisters & (1u << ra)) == 0) return MDCFI_FAILED;
    caller.registers[MDCFI_RIP] = caller.registers[ra];
    caller.validRegisters |= 1u << MDCFI_RIP;
    // The caller's stack pointer is the CFA, unless the FDE restores it
    // itself (the signal trampoline's does).
    if (row.rules[MDCFI_RSP].kind == kUnspecified) {
        caller.registers[MDCFI_RSP] = cfa;
        caller.validRegisters |= 1u << MDCFI_RSP;
    }
    if (caller.registers[MDCFI_RIP] == 0) return MDCFI_OUTERMOST;
    // A caller's frame lies above its callee's; a signal frame may return to
    // another stack altogether.
    if (!entry.isSignalFrame && caller.registers[MDCFI_RSP] <= frame->registers[MDCFI_RSP]) return MDCFI_FAILED;
    caller.isInstructionAddress = entry.isSignalFrame;
    *frame = caller;
    return MDCFI_STEPPED;
}

bool findFDE(MDCFIWalker* walker, uintptr_t address, FrameEntry* entry) {
    ImageInfo image;
    uintptr_t fde;
    const bool inPlace = walker->readsInPlace;
    if (!imageFor(walker, address, &image) || !findFDEInHeader(image, address, inPlace, &fde)) return false;
    if (!inPlace) loadChunk(fde, entry->fdeBytes);
    if (!parseFDE(fde, entry)) return false;
    if (!inPlace) storeChunk(fde, *entry->fdeBytes);
    return address >= entry->pcBegin && address < entry->pcEnd;
}

constexpr uintptr_t kFrameAlignment = 16;
constexpr uintptr_t kMaxFrameDistance = 8u << 20;

}  // namespace

void mdcfi_initWalker(MDCFIWalker* walker, bool useWindow) {
    __builtin_memset(walker, 0, sizeof *walker);
    walker->usesWindow = useWindow;
}

void mdcfi_initOwnThreadWalker(MDCFIWalker* walker) {
    mdcfi_initWalker(walker, true);
    walker->readsInPlace = true;
}

void mdcfi_frameFromMachineContext(const struct MDMachineContext* context, MDCFIFrame* frame) {
    // mdcpu's register order (rax rbx rcx rdx rdi rsi rbp rsp r8..r15 rip)
    // for each DWARF number.
    static const int kCPURegister[MDCFI_REGISTER_COUNT] = {0, 3, 2, 1, 5, 4, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    frame->validRegisters = 0;
    for (int reg = 0; reg < MDCFI_REGISTER_COUNT; reg++) {
        const uint64_t value = mdcpu_registerValue(context, kCPURegister[reg]);
        frame->registers[reg] = value;
        if ((reg != MDCFI_RSP && reg != MDCFI_RIP) || value != 0) frame->validRegisters |= 1u << reg;
    }
    frame->isInstructionAddress = true;
}

MDCFIStepResult mdcfi_step(MDCFIWalker* walker, MDCFIFrame* frame) {
    if ((frame->validRegisters & (1u << MDCFI_RIP)) == 0 || frame->registers[MDCFI_RIP] == 0) return MDCFI_FAILED;
    const uintptr_t pc = (uintptr_t)frame->registers[MDCFI_RIP];
    const uintptr_t target = frame->isInstructionAddress ? pc : pc - 1;
    const bool hasSP = (frame->validRegisters & (1u << MDCFI_RSP)) != 0;
    const uintptr_t sp = hasSP ? (uintptr_t)frame->registers[MDCFI_RSP] : 0;
    StepReads reads(walker, sp);
    const DataReader& data = reads.data;
    MDCFIStepResult result = MDCFI_NO_INFO;
    const bool inPlace = walker->readsInPlace;
    // The CIE chunk of the step before, and this step's for the next.
    ImageBytes cieBytes, fdeBytes;
    cieBytes.direct = inPlace;
    fdeBytes.direct = inPlace;
    if (!inPlace) {
        cieBytes.start = walker->cieChunkStart;
        cieBytes.length = walker->cieChunkLength;
        __builtin_memcpy(cieBytes.chunk, walker->cieChunk, sizeof cieBytes.chunk);
    }
    FrameEntry entry;
    entry.cieBytes = &cieBytes;
    entry.fdeBytes = &fdeBytes;
    ImageInfo image;
    CachedRow cached;
    if (!inPlace && imageFor(walker, target, &image) && loadRow(target, image.header, &cached)) {
        result = stepByRow(cached.row, cached.returnRegister, cached.isSignalFrame, &fdeBytes, false, data, frame);
    } else if (findFDE(walker, target, &entry)) {
        if (!rowForTarget(entry, target, &cached.row)) {
            result = MDCFI_FAILED;
        } else {
            cached.returnRegister = entry.returnRegister;
            cached.isSignalFrame = entry.isSignalFrame;
            if (!inPlace && !needsExpressions(cached.row) && imageFor(walker, target, &image))
                storeRow(target, image.header, cached);
            result = stepByRow(cached.row, entry.returnRegister, entry.isSignalFrame, entry.fdeBytes, inPlace, data,
                               frame);
        }
    } else if (hasSP && stepThroughSigreturn(data, frame)) {
        result = MDCFI_STEPPED;
    }
    if (!inPlace) {
        walker->cieChunkStart = cieBytes.start;
        walker->cieChunkLength = cieBytes.length;
        __builtin_memcpy(walker->cieChunk, cieBytes.chunk, sizeof cieBytes.chunk);
    }
    return result;
}

bool mdcfi_stepFramePointer(MDCFIWalker* walker, MDCFIFrame* frame) {
    if ((frame->validRegisters & (1u << MDCFI_RBP)) == 0) return false;
    const uintptr_t fp = (uintptr_t)frame->registers[MDCFI_RBP];
    const uintptr_t sp = (frame->validRegisters & (1u << MDCFI_RSP)) != 0 ? (uintptr_t)frame->registers[MDCFI_RSP] : 0;
    if (fp == 0 || (fp & (kFrameAlignment - 1)) != 0 || (sp != 0 && (fp < sp || fp - sp > kMaxFrameDistance))) {
        return false;
    }
    // A guess from here on: no more in-place reads (see the top of the file).
    walker->readsInPlace = false;
    uint64_t record[2];  // the caller's frame pointer, the return address
    const bool read = StepReads(walker, sp).data.read(fp, record, (int)sizeof record);
    // A caller's frame lies strictly above its callee's (which also rules
    // out a record repeating itself), aligned as records are.
    const uintptr_t caller = (uintptr_t)record[0];
    if (!read || record[1] == 0 || caller <= fp || (caller & (kFrameAlignment - 1)) != 0 ||
        caller - fp > kMaxFrameDistance) {
        return false;
    }
    frame->registers[MDCFI_RIP] = record[1];
    frame->registers[MDCFI_RSP] = fp + 16;
    frame->registers[MDCFI_RBP] = caller;
    // What else the callee saved is unknown without its call-frame information.
    frame->validRegisters = (1u << MDCFI_RIP) | (1u << MDCFI_RSP) | (1u << MDCFI_RBP);
    frame->isInstructionAddress = false;
    return true;
}

bool mdcfi_unwind(MDCFIWalker* walker, MDCFIFrame* frame) {
    switch (mdcfi_step(walker, frame)) {
        case MDCFI_STEPPED: return true;
        case MDCFI_OUTERMOST: return false;
        case MDCFI_NO_INFO:
        case MDCFI_FAILED: break;
    }
    return mdcfi_stepFramePointer(walker, frame);
}

bool mdcfi_beginPrefetch(const uintptr_t* stackPointers, int count) {
    const MDThread self = mdthread_self();
    MDThread expected = 0;
    if (!__atomic_compare_exchange_n(&g_prefetchOwner, &expected, self, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
        return false;
    int kept = 0;
    for (int i = 0; i < count && kept < kPrefetchThreads; i++)
        if (stackPointers[i] != 0) g_prefetchedAt[kept++] = stackPointers[i];
    mdmem_copyEachMaxPossible(g_prefetchedAt, kept, kPrefetchBytes, g_prefetched, g_prefetchedLength);
    g_prefetchedCount = kept;
    return true;
}

void mdcfi_endPrefetch(void) {
    MDThread expected = mdthread_self();
    if (expected != __atomic_load_n(&g_prefetchOwner, __ATOMIC_ACQUIRE)) return;
    g_prefetchedCount = 0;
    __atomic_store_n(&g_prefetchOwner, (MDThread)0, __ATOMIC_RELEASE);
}

bool mdcfi_testing_findFDE(uintptr_t address, uintptr_t* fde) {
    MDCFIWalker walker;
    mdcfi_initWalker(&walker, false);
    ImageInfo image;
    ImageBytes cieBytes, fdeBytes;
    FrameEntry entry;
    entry.cieBytes = &cieBytes;
    entry.fdeBytes = &fdeBytes;
    return imageFor(&walker, address, &image) && findFDEInHeader(image, address, false, fde) &&
           parseFDE(*fde, &entry) &&
           address >= entry.pcBegin && address < entry.pcEnd;
}
