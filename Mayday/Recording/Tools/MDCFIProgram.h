// The call-frame information of one frame: reading image bytes, CIE and FDE
// parsing, the CFA program (the row for an address) and DWARF location
// expressions. Internal to the unwinder (MDCFIUnwind.cpp).
//
// Crash-path safe: image bytes come through a small chunk copied by the
// kernel-checked copy, or straight from memory only where the caller has
// established that the image cannot be unmapped (ImageBytes::direct); data
// reads (stack words, dereferenced addresses) go through a DataReader, which
// reads memory directly only inside a range its owner vouches for. Fixed
// buffers, bounded loops; no heap, no locks, no stdio, no exceptions.
#pragma once

#include <stdint.h>

#include "Mayday/Recording/Tools/MDCFIUnwind.h"

namespace mdcfi {

// Memory the unwinder reads as data (stack words, dereferenced addresses):
// directly inside [directLow, directHigh), from the stack window when it
// covers the range, through the kernel-checked copy otherwise.
struct DataReader {
    uintptr_t directLow = 0;
    uintptr_t directHigh = 0;
    // The stack window, when this step holds it: its bytes are filled on the
    // first read that needs them (see MDCFIUnwind.cpp).
    bool (*windowRead)(void* owner, uintptr_t address, void* buffer, int length) = nullptr;
    void* windowOwner = nullptr;

    bool read(uintptr_t address, void* buffer, int length) const;
    bool word(uintptr_t address, uint64_t* value) const { return read(address, value, (int)sizeof *value); }
};

// Image bytes, read byte by byte by the parsers: copied 256 bytes at a time,
// or read in place when `direct` (the image is known to stay mapped).
struct ImageBytes {
    uintptr_t start = 0;
    int length = 0;
    bool direct = false;
    uint8_t chunk[sizeof(MDCFIWalker::cieChunk)];

    bool byte(uintptr_t address, uint8_t* value) {
        if (direct && address != 0) {
            *value = *(const uint8_t*)address;
            return true;
        }
        if (length == 0 || address < start || address - start >= (uintptr_t)length) return refill(address, value);
        *value = chunk[address - start];
        return true;
    }
    // Copies the chunk at `address` (address 0 is never image memory).
    bool refill(uintptr_t address, uint8_t* value);
    // An 8-byte word of image memory (an indirect pointer's target).
    bool word(uintptr_t address, uint64_t* value) const;
};

// A position in image memory, bounded by `end`; any failed or out-of-bounds
// read clears `ok` and reads as 0.
struct Parser {
    ImageBytes* bytes;
    uintptr_t at;
    uintptr_t end;
    bool ok = true;

    uint8_t u8() {
        uint8_t value = 0;
        if (!ok || at >= end || !bytes->byte(at, &value)) {
            ok = false;
            return 0;
        }
        at++;
        return value;
    }
    uint64_t fixed(int size);
    uint64_t uleb();
    int64_t sleb();
    // A DW_EH_PE-encoded pointer. Only what GCC and ld write is taken:
    // absolute, pc-relative and data-relative values of the usual sizes;
    // indirect pointers are read through, the rest rejected.
    uint64_t pointer(uint8_t encoding, uintptr_t dataBase);
};

struct FrameEntry {
    uint64_t codeAlignment;
    int64_t dataAlignment;
    uint64_t returnRegister;
    bool isSignalFrame;
    bool hasAugmentationData;  // "z": FDEs carry a length-prefixed block
    uintptr_t cieInstructions, cieEnd;
    uintptr_t pcBegin, pcEnd;
    uintptr_t instructions, end;  // the FDE's
    uint8_t pointerEncoding;
    // The chunks of the CIE and the FDE, kept for their programs.
    ImageBytes* cieBytes;
    ImageBytes* fdeBytes;
};

// The FDE at `fde` and its CIE; `entry` brings the chunks to read into.
bool parseFDE(uintptr_t fde, FrameEntry* entry);

enum RuleKind : uint8_t { kUnspecified, kUndefined, kSameValue, kOffset, kValOffset, kRegister, kExpression, kValExpression };

struct Rule {
    RuleKind kind;
    int64_t value;  // offset, or register number
    uintptr_t expression;
    uint32_t expressionLength;
};

struct Row {
    bool cfaIsExpression;
    uint8_t cfaRegister;
    int64_t cfaOffset;
    uintptr_t cfaExpression;
    uint32_t cfaExpressionLength;
    Rule rules[MDCFI_REGISTER_COUNT];
};

// Runs the instructions in [from, end) from the FDE's first address,
// stopping before the first row that starts beyond `target`. `initial` is
// the CIE's row, for DW_CFA_restore (null while running the CIE itself).
bool runProgram(const FrameEntry& entry, ImageBytes* bytes, uintptr_t from, uintptr_t end, uintptr_t target,
                const Row* initial, Row* row);

bool registerValue(const MDCFIFrame& frame, uint64_t reg, uint64_t* value);

// Evaluates a location expression: the common stack operations, enough for
// what GCC and glibc emit (the PLT's, the signal trampoline's, realigned
// stacks'). `pushCFA` starts the stack with the CFA.
bool evaluate(const MDCFIFrame& frame, const DataReader& data, ImageBytes* bytes, uintptr_t expression,
              uint32_t length, bool pushCFA, uint64_t cfa, uint64_t* result);

}  // namespace mdcfi
