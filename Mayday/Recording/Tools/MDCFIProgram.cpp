// The call-frame information of one frame: image bytes, CIE and FDE
// parsing, the CFA program and DWARF expressions.
//
// Crash-path safe: image bytes are read through the kernel-checked copy
// (mdmem_copyMaxPossible) unless the caller marked them direct, data through
// the caller's DataReader; fixed buffers, bounded loops; no heap, no locks,
// no stdio, no exceptions.
#include "Mayday/Recording/Tools/MDCFIProgram.h"

#include <cstddef>

#include "Mayday/Recording/Tools/MDMemory.h"

namespace mdcfi {

bool DataReader::read(uintptr_t address, void* buffer, int length) const {
    if (length <= 0) return false;
    if (address >= directLow && address < directHigh && directHigh - address >= (uintptr_t)length) {
        __builtin_memcpy(buffer, (const void*)address, (size_t)length);
        return true;
    }
    if (windowRead != nullptr && windowRead(windowOwner, address, buffer, length)) return true;
    return mdmem_copySafely((const void*)address, buffer, length);
}

bool ImageBytes::refill(uintptr_t address, uint8_t* value) {
    if (direct || address == 0 || address > UINTPTR_MAX - sizeof chunk) return false;
    // One copy, which stops short where the image ends within the chunk.
    length = mdmem_copyMaxPossible((const void*)address, chunk, (int)sizeof chunk);
    start = address;
    if (length <= 0) return false;
    *value = chunk[0];
    return true;
}

bool ImageBytes::word(uintptr_t address, uint64_t* value) const {
    if (direct) {
        __builtin_memcpy(value, (const void*)address, sizeof *value);
        return true;
    }
    return mdmem_copySafely((const void*)address, value, (int)sizeof *value);
}

// ---- reading encoded values ----

uint64_t Parser::fixed(int size) {
    uint64_t value = 0;
    for (int i = 0; i < size; i++) value |= (uint64_t)u8() << (8 * i);
    return value;
}
uint64_t Parser::uleb() {
    uint64_t value = 0;
    for (int shift = 0; ok && shift < 64; shift += 7) {
        const uint8_t b = u8();
        value |= (uint64_t)(b & 0x7f) << shift;
        if ((b & 0x80) == 0) return value;
    }
    ok = false;
    return 0;
}
int64_t Parser::sleb() {
    uint64_t value = 0;
    for (int shift = 0; ok && shift < 64;) {
        const uint8_t b = u8();
        value |= (uint64_t)(b & 0x7f) << shift;
        shift += 7;
        if ((b & 0x80) == 0) {
            if (shift < 64 && (b & 0x40) != 0) value |= ~(uint64_t)0 << shift;
            return (int64_t)value;
        }
    }
    ok = false;
    return 0;
}
uint64_t Parser::pointer(uint8_t encoding, uintptr_t dataBase) {
    if (encoding == 0xff) return 0;  // DW_EH_PE_omit
    const uintptr_t fieldAddress = at;
    uint64_t value = 0;
    switch (encoding & 0x0f) {
        case 0x00: value = fixed(8); break;                    // absptr
        case 0x01: value = uleb(); break;                      // uleb128
        case 0x02: value = fixed(2); break;                    // udata2
        case 0x03: value = fixed(4); break;                    // udata4
        case 0x04: value = fixed(8); break;                    // udata8
        case 0x09: value = (uint64_t)sleb(); break;            // sleb128
        case 0x0a: value = (uint64_t)(int16_t)fixed(2); break;  // sdata2
        case 0x0b: value = (uint64_t)(int32_t)fixed(4); break;  // sdata4
        case 0x0c: value = fixed(8); break;                    // sdata8
        default: ok = false; return 0;
    }
    switch (encoding & 0x70) {
        case 0x00: break;
        case 0x10: value += fieldAddress; break;  // pcrel
        case 0x30: value += dataBase; break;      // datarel
        default: ok = false; return 0;
    }
    if ((encoding & 0x80) != 0) {  // indirect
        uint64_t target = 0;
        if (!bytes->word((uintptr_t)value, &target)) ok = false;
        value = target;
    }
    return value;
}

// ---- CIE and FDE ----

namespace {

// The length field of an entry; 64-bit lengths (never written for
// .eh_frame by GCC) are refused.
bool entryBounds(Parser* parser, uintptr_t* end) {
    const uint64_t length = parser->fixed(4);
    if (!parser->ok || length == 0 || length >= 0xfffffff0u) return false;
    *end = parser->at + length;
    return true;
}

bool parseCIE(uintptr_t cie, FrameEntry* entry) {
    Parser parser{entry->cieBytes, cie, UINTPTR_MAX};
    uintptr_t end;
    if (!entryBounds(&parser, &end)) return false;
    parser.end = end;
    if (parser.fixed(4) != 0) return false;  // a CIE's id is 0
    const uint8_t version = parser.u8();
    if (version != 1 && version != 3) return false;
    char augmentation[8];
    int n = 0;
    for (;;) {
        const uint8_t c = parser.u8();
        if (!parser.ok || n == (int)sizeof augmentation - 1) return false;
        augmentation[n++] = (char)c;
        if (c == 0) break;
    }
    entry->codeAlignment = parser.uleb();
    entry->dataAlignment = parser.sleb();
    entry->returnRegister = version == 1 ? parser.u8() : parser.uleb();
    entry->isSignalFrame = false;
    entry->pointerEncoding = 0;
    entry->hasAugmentationData = augmentation[0] == 'z';
    if (augmentation[0] == 'z') {
        const uint64_t length = parser.uleb();
        const uintptr_t dataEnd = parser.at + length;
        // An unknown letter ends the walk over them: its data is skipped
        // with the rest (the length says where it ends).
        bool known = true;
        for (int i = 1; known && augmentation[i] != 0 && parser.ok; i++) {
            switch (augmentation[i]) {
                case 'R': entry->pointerEncoding = parser.u8(); break;
                case 'L': (void)parser.u8(); break;
                case 'P': (void)parser.pointer(parser.u8(), 0); break;
                case 'S': entry->isSignalFrame = true; break;
                default: known = false; break;
            }
        }
        parser.at = dataEnd;
    } else if (augmentation[0] != 0) {
        return false;  // without 'z' the layout of what follows is unknown
    }
    entry->cieInstructions = parser.at;
    entry->cieEnd = end;
    return parser.ok && parser.at <= end && entry->codeAlignment != 0;
}

}  // namespace

bool parseFDE(uintptr_t fde, FrameEntry* entry) {
    Parser parser{entry->fdeBytes, fde, UINTPTR_MAX};
    uintptr_t end;
    if (!entryBounds(&parser, &end)) return false;
    parser.end = end;
    const uintptr_t idField = parser.at;
    const uint64_t cieOffset = parser.fixed(4);
    if (!parser.ok || cieOffset == 0 || cieOffset > idField) return false;
    if (!parseCIE(idField - cieOffset, entry)) return false;
    entry->pcBegin = parser.pointer(entry->pointerEncoding, 0);
    entry->pcEnd = entry->pcBegin + parser.pointer(entry->pointerEncoding & 0x0f, 0);
    if (entry->pcEnd < entry->pcBegin) return false;
    // The augmentation data (an LSDA pointer) says nothing about unwinding.
    if (entry->hasAugmentationData) parser.at += parser.uleb();
    entry->instructions = parser.at;
    entry->end = end;
    return parser.ok && parser.at <= end;
}

// ---- the CFA program ----

constexpr int kMaxInstructions = 4096;  // per FDE and CIE
constexpr int kRememberedStates = 4;
constexpr uint64_t kMaxExpressionLength = 256;

bool runProgram(const FrameEntry& entry, ImageBytes* bytes, uintptr_t from, uintptr_t end, uintptr_t target,
                const Row* initial, Row* row) {
    Parser parser{bytes, from, end};
    Row remembered[kRememberedStates];
    int rememberedCount = 0;
    uintptr_t location = entry.pcBegin;
    Rule ignored;  // where rules for registers we do not track (vector, x87) go
    auto rule = [&](uint64_t reg) -> Rule* { return reg < MDCFI_REGISTER_COUNT ? &row->rules[reg] : &ignored; };
    auto advance = [&](uint64_t delta) {
        location += delta * entry.codeAlignment;
        return location <= target;
    };
    for (int count = 0; parser.at < end; count++) {
        if (count >= kMaxInstructions) return false;
        const uint8_t op = parser.u8();
        const uint8_t low = op & 0x3f;
        if (!parser.ok) return false;
        switch (op >> 6) {
            case 1:
                if (!advance(low)) return true;
                continue;
            case 2: {
                Rule* r = rule(low);
                r->kind = kOffset;
                r->value = (int64_t)parser.uleb() * entry.dataAlignment;
                continue;
            }
            case 3:
                if (initial == nullptr || low >= MDCFI_REGISTER_COUNT) return false;
                row->rules[low] = initial->rules[low];
                continue;
            default: break;
        }
        uint64_t reg = 0;
        switch (op) {
            case 0x00: break;  // nop
            case 0x01: {       // set_loc
                location = parser.pointer(entry.pointerEncoding, 0);
                if (location > target) return parser.ok;
                break;
            }
            case 0x02: if (!advance(parser.fixed(1))) return parser.ok; break;
            case 0x03: if (!advance(parser.fixed(2))) return parser.ok; break;
            case 0x04: if (!advance(parser.fixed(4))) return parser.ok; break;
            case 0x05:  // offset_extended
                reg = parser.uleb();
                *rule(reg) = {kOffset, (int64_t)parser.uleb() * entry.dataAlignment, 0, 0};
                break;
            case 0x06:  // restore_extended
                reg = parser.uleb();
                if (initial == nullptr) return false;
                if (reg < MDCFI_REGISTER_COUNT) row->rules[reg] = initial->rules[reg];
                break;
            case 0x07: *rule(parser.uleb()) = {kUndefined, 0, 0, 0}; break;
            case 0x08: *rule(parser.uleb()) = {kSameValue, 0, 0, 0}; break;
            case 0x09:  // register
                reg = parser.uleb();
                *rule(reg) = {kRegister, (int64_t)parser.uleb(), 0, 0};
                break;
            case 0x0a:  // remember_state
                if (rememberedCount == kRememberedStates) return false;
                remembered[rememberedCount++] = *row;
                break;
            case 0x0b:  // restore_state
                if (rememberedCount == 0) return false;
                *row = remembered[--rememberedCount];
                break;
            case 0x0c:  // def_cfa
                row->cfaRegister = (uint8_t)parser.uleb();
                row->cfaOffset = (int64_t)parser.uleb();
                row->cfaIsExpression = false;
                break;
            case 0x0d: row->cfaRegister = (uint8_t)parser.uleb(); row->cfaIsExpression = false; break;
            case 0x0e: row->cfaOffset = (int64_t)parser.uleb(); break;
            case 0x0f: {  // def_cfa_expression
                const uint64_t length = parser.uleb();
                if (length > kMaxExpressionLength) return false;
                row->cfaIsExpression = true;
                row->cfaExpression = parser.at;
                row->cfaExpressionLength = (uint32_t)length;
                parser.at += length;
                break;
            }
            case 0x10:    // expression
            case 0x16: {  // val_expression
                reg = parser.uleb();
                const uint64_t length = parser.uleb();
                if (length > kMaxExpressionLength) return false;
                *rule(reg) = {op == 0x10 ? kExpression : kValExpression, 0, parser.at, (uint32_t)length};
                parser.at += length;
                break;
            }
            case 0x11:  // offset_extended_sf
                reg = parser.uleb();
                *rule(reg) = {kOffset, parser.sleb() * entry.dataAlignment, 0, 0};
                break;
            case 0x12:  // def_cfa_sf
                row->cfaRegister = (uint8_t)parser.uleb();
                row->cfaOffset = parser.sleb() * entry.dataAlignment;
                row->cfaIsExpression = false;
                break;
            case 0x13: row->cfaOffset = parser.sleb() * entry.dataAlignment; break;
            case 0x14:  // val_offset
                reg = parser.uleb();
                *rule(reg) = {kValOffset, (int64_t)parser.uleb() * entry.dataAlignment, 0, 0};
                break;
            case 0x15:  // val_offset_sf
                reg = parser.uleb();
                *rule(reg) = {kValOffset, parser.sleb() * entry.dataAlignment, 0, 0};
                break;
            case 0x2e: (void)parser.uleb(); break;  // GNU_args_size
            case 0x2f:                              // GNU_negative_offset_extended
                reg = parser.uleb();
                *rule(reg) = {kOffset, -(int64_t)parser.uleb() * entry.dataAlignment, 0, 0};
                break;
            default: return false;
        }
        if (!parser.ok) return false;
    }
    return true;
}


// ---- DWARF expressions ----

constexpr int kExpressionStack = 16;
constexpr int kMaxExpressionSteps = 256;

bool registerValue(const MDCFIFrame& frame, uint64_t reg, uint64_t* value) {
    if (reg >= MDCFI_REGISTER_COUNT || (frame.validRegisters & (1u << reg)) == 0) return false;
    *value = frame.registers[reg];
    return true;
}

bool evaluate(const MDCFIFrame& frame, const DataReader& data, ImageBytes* bytes, uintptr_t expression,
              uint32_t length, bool pushCFA, uint64_t cfa, uint64_t* result) {
    Parser parser{bytes, expression, expression + length};
    uint64_t stack[kExpressionStack];
    int depth = 0;
    if (pushCFA) stack[depth++] = cfa;
    auto push = [&](uint64_t v) {
        if (depth == kExpressionStack) return false;
        stack[depth++] = v;
        return true;
    };
    for (int steps = 0; parser.at < parser.end; steps++) {
        if (steps >= kMaxExpressionSteps) return false;
        const uint8_t op = parser.u8();
        if (!parser.ok) return false;
        bool pushed = true;
        if (op >= 0x30 && op <= 0x4f) {  // lit0..lit31
            pushed = push(op - 0x30);
        } else if (op >= 0x70 && op <= 0x8f) {  // breg0..breg31
            uint64_t value;
            const int64_t offset = parser.sleb();
            if (!registerValue(frame, op - 0x70u, &value)) return false;
            pushed = push(value + (uint64_t)offset);
        } else if (op >= 0x1a && op <= 0x2e && op != 0x1f && op != 0x20 && op != 0x23 && op != 0x28) {
            // Binary operators: the second entry op the top entry.
            if (depth < 2) return false;
            const uint64_t b = stack[--depth];
            const uint64_t a = stack[--depth];
            uint64_t r = 0;
            switch (op) {
                case 0x1a: r = a & b; break;
                case 0x1b: if (b == 0) return false; r = (uint64_t)((int64_t)a / (int64_t)b); break;
                case 0x1c: r = a - b; break;
                case 0x1d: if (b == 0) return false; r = a % b; break;
                case 0x1e: r = a * b; break;
                case 0x21: r = a | b; break;
                case 0x22: r = a + b; break;
                case 0x24: r = b >= 64 ? 0 : a << b; break;
                case 0x25: r = b >= 64 ? 0 : a >> b; break;
                case 0x26: r = (uint64_t)((int64_t)a >> (b >= 64 ? 63 : b)); break;
                case 0x27: r = a ^ b; break;
                case 0x29: r = a == b; break;
                case 0x2a: r = (int64_t)a >= (int64_t)b; break;
                case 0x2b: r = (int64_t)a > (int64_t)b; break;
                case 0x2c: r = (int64_t)a <= (int64_t)b; break;
                case 0x2d: r = (int64_t)a < (int64_t)b; break;
                case 0x2e: r = a != b; break;
                default: return false;
            }
            pushed = push(r);
        } else {
            switch (op) {
                case 0x03: pushed = push(parser.fixed(8)); break;                     // addr
                case 0x08: pushed = push(parser.fixed(1)); break;                     // const1u
                case 0x09: pushed = push((uint64_t)(int8_t)parser.fixed(1)); break;   // const1s
                case 0x0a: pushed = push(parser.fixed(2)); break;                     // const2u
                case 0x0b: pushed = push((uint64_t)(int16_t)parser.fixed(2)); break;  // const2s
                case 0x0c: pushed = push(parser.fixed(4)); break;                     // const4u
                case 0x0d: pushed = push((uint64_t)(int32_t)parser.fixed(4)); break;  // const4s
                case 0x0e: case 0x0f: pushed = push(parser.fixed(8)); break;          // const8u/s
                case 0x10: pushed = push(parser.uleb()); break;                       // constu
                case 0x11: pushed = push((uint64_t)parser.sleb()); break;             // consts
                case 0x12: if (depth < 1) return false; pushed = push(stack[depth - 1]); break;  // dup
                case 0x13: if (depth < 1) return false; depth--; break;                          // drop
                case 0x14: if (depth < 2) return false; pushed = push(stack[depth - 2]); break;  // over
                case 0x15: {                                                                     // pick
                    const uint8_t index = (uint8_t)parser.fixed(1);
                    if (index >= depth) return false;
                    pushed = push(stack[depth - 1 - index]);
                    break;
                }
                case 0x16: {  // swap
                    if (depth < 2) return false;
                    const uint64_t t = stack[depth - 1];
                    stack[depth - 1] = stack[depth - 2];
                    stack[depth - 2] = t;
                    break;
                }
                case 0x17: {  // rot
                    if (depth < 3) return false;
                    const uint64_t t = stack[depth - 1];
                    stack[depth - 1] = stack[depth - 2];
                    stack[depth - 2] = stack[depth - 3];
                    stack[depth - 3] = t;
                    break;
                }
                case 0x06:    // deref
                case 0x94: {  // deref_size
                    const int size = op == 0x06 ? 8 : (int)parser.fixed(1);
                    if (depth < 1 || size < 1 || size > 8) return false;
                    uint64_t value = 0;
                    if (!data.read((uintptr_t)stack[depth - 1], &value, size)) return false;
                    stack[depth - 1] = value;
                    break;
                }
                case 0x19: if (depth < 1) return false; if ((int64_t)stack[depth - 1] < 0) stack[depth - 1] = -stack[depth - 1]; break;
                case 0x1f: if (depth < 1) return false; stack[depth - 1] = -stack[depth - 1]; break;  // neg
                case 0x20: if (depth < 1) return false; stack[depth - 1] = ~stack[depth - 1]; break;  // not
                case 0x23: if (depth < 1) return false; stack[depth - 1] += parser.uleb(); break;     // plus_uconst
                case 0x28:    // bra
                case 0x2f: {  // skip
                    const int16_t offset = (int16_t)parser.fixed(2);
                    bool jump = true;
                    if (op == 0x28) {
                        if (depth < 1) return false;
                        jump = stack[--depth] != 0;
                    }
                    if (jump) {
                        const uintptr_t to = parser.at + (intptr_t)offset;
                        if (to < expression || to > parser.end) return false;
                        parser.at = to;
                    }
                    break;
                }
                case 0x92: {  // bregx
                    const uint64_t reg = parser.uleb();
                    const int64_t offset = parser.sleb();
                    uint64_t value;
                    if (!registerValue(frame, reg, &value)) return false;
                    pushed = push(value + (uint64_t)offset);
                    break;
                }
                case 0x96: break;  // nop
                default: return false;
            }
        }
        if (!pushed || !parser.ok) return false;
    }
    if (depth < 1) return false;
    *result = stack[depth - 1];
    return true;
}

}  // namespace mdcfi
