// Descriptions of memory for crash reports. Crash-path code: kernel-checked
// reads into stack buffers, no heap, no locks, no stdio.
//
// Names and texts found in the process (class names, ivar names, string
// contents) are copied out with the checked copy before they are written,
// since the memory behind them may be garbage or gone.
#include "Mayday/Recording/MaydayReportMemory.h"

#include <cstring>

#include "Mayday/Recording/Monitors/MaydayMonitor_Zombie.h"
#include "Mayday/Recording/Tools/MDMemory.h"
#include "Mayday/Recording/Tools/MDObjC.h"
#include "Mayday/Recording/Tools/MDString.h"

namespace {

// Shared by every object below one root: each object and each instance
// variable taken spends some, so a description stays small.
constexpr int kDepthBudget = 15;
constexpr int kMaxIvars = 10;
constexpr int kStringProbeLength = 500;
constexpr int kObjectTextLength = 200;
constexpr int kNameLength = 128;

// Copies a NUL-terminated name from foreign memory; "" when unreadable.
void copyForeignName(const char* foreign, char* buffer, int bufferLength) {
    buffer[0] = '\0';
    if (foreign == nullptr) return;
    const int copied = mdmem_copyMaxPossible(foreign, buffer, bufferLength - 1);
    buffer[copied > 0 ? copied : 0] = '\0';
}

// Copies the text at `address` into `buffer` (kStringProbeLength + 1 bytes)
// when it is a readable NUL-terminated UTF-8 text of at least 4 bytes.
bool copyValidString(uintptr_t address, char* buffer) {
    if (address == 0 || address > UINTPTR_MAX - kStringProbeLength) return false;
    const int copied = mdmem_copyMaxPossible(reinterpret_cast<const void*>(address), buffer, kStringProbeLength);
    if (copied <= 0) return false;
    buffer[copied] = '\0';  // the check looks only at what was copied
    return mdstring_isNullTerminatedUTF8String(buffer, 4, copied);
}

bool isValidString(uintptr_t address) {
    char buffer[kStringProbeLength + 1];
    return copyValidString(address, buffer);
}

bool isNotable(uintptr_t value) {
    if (value == 0) return false;
    const void* pointer = reinterpret_cast<const void*>(value);
    if (mdobjc_isTaggedPointer(pointer) && !mdobjc_isValidObject(pointer)) return false;
    if (mdzombie_classNameForAddress(pointer) != nullptr) return true;
    switch (mdobjc_objectType(pointer)) {
    case MDObjCTypeClass:
    case MDObjCTypeObject:
    case MDObjCTypeBlock:
        return true;
    case MDObjCTypeUnknown:
        break;
    }
    return isValidString(value);
}

void writeContents(const MaydayReportWriter* writer, const char* name, uintptr_t address, int* budget);

void writeIvars(const MaydayReportWriter* writer, const void* object, int* budget) {
    (*budget)--;
    writer->beginObject(writer, "ivars");
    if (mdobjc_isTaggedPointer(object)) {
        writer->addIntegerElement(writer, "tagged_payload", static_cast<int64_t>(reinterpret_cast<uintptr_t>(object) >> 4));
        writer->endContainer(writer);
        return;
    }
    const void* cls = mdobjc_isaPointer(object);
    MDObjCIvar ivars[kMaxIvars];
    const int count = mdobjc_ivarList(cls, ivars, kMaxIvars);
    *budget -= count;
    for (int i = 0; i < count; i++) {
        char type[2];
        char ivarName[kNameLength];
        copyForeignName(ivars[i].type, type, sizeof(type));
        copyForeignName(ivars[i].name, ivarName, sizeof(ivarName));
        alignas(16) unsigned char value[MDOBJC_MAX_IVAR_SIZE] = {};
        if (type[0] == '\0' || !mdobjc_ivarValue(object, ivars[i].index, value)) continue;
        int8_t i8;
        int16_t i16;
        int32_t i32;
        int64_t i64;
        float f;
        double d;
        uintptr_t pointer;
        switch (type[0]) {
        case '@': case '#': case ':': case '*':
            memcpy(&pointer, value, sizeof(pointer));
            writeContents(writer, ivarName, pointer, budget);
            break;
        case 'B':
            writer->addBooleanElement(writer, ivarName, value[0] != 0);
            break;
        case 'c': memcpy(&i8, value, sizeof(i8)); writer->addIntegerElement(writer, ivarName, i8); break;
        case 's': memcpy(&i16, value, sizeof(i16)); writer->addIntegerElement(writer, ivarName, i16); break;
        case 'i': case 'l': memcpy(&i32, value, sizeof(i32)); writer->addIntegerElement(writer, ivarName, i32); break;
        case 'q': memcpy(&i64, value, sizeof(i64)); writer->addIntegerElement(writer, ivarName, i64); break;
        case 'C': writer->addUIntegerElement(writer, ivarName, value[0]); break;
        case 'S': memcpy(&i16, value, sizeof(i16)); writer->addUIntegerElement(writer, ivarName, static_cast<uint16_t>(i16)); break;
        case 'I': case 'L': memcpy(&i32, value, sizeof(i32)); writer->addUIntegerElement(writer, ivarName, static_cast<uint32_t>(i32)); break;
        case 'Q': memcpy(&i64, value, sizeof(i64)); writer->addUIntegerElement(writer, ivarName, static_cast<uint64_t>(i64)); break;
        case 'f': memcpy(&f, value, sizeof(f)); writer->addFloatingPointElement(writer, ivarName, f); break;
        case 'd': memcpy(&d, value, sizeof(d)); writer->addFloatingPointElement(writer, ivarName, d); break;
        default:
            break;
        }
    }
    writer->endContainer(writer);
}

// The members an object's class type gives it.
void writeObjectContents(const MaydayReportWriter* writer, const void* object, int* budget) {
    char text[kObjectTextLength];
    switch (mdobjc_objectClassType(object)) {
    case MDObjCClassTypeString:
        if (mdobjc_copyStringContents(object, text, sizeof(text)) > 0) writer->addStringElement(writer, "value", text);
        break;
    case MDObjCClassTypeURL:
        if (mdobjc_copyURLContents(object, text, sizeof(text)) > 0) writer->addStringElement(writer, "value", text);
        break;
    case MDObjCClassTypeDate:
        writer->addFloatingPointElement(writer, "value", mdobjc_dateContents(object));
        break;
    case MDObjCClassTypeNumber:
        writer->addFloatingPointElement(writer, "value", mdobjc_numberAsFloat(object));
        break;
    case MDObjCClassTypeArray: {
        uintptr_t first = 0;
        if (*budget > 0 && mdobjc_arrayContents(object, &first, 1) == 1) writeContents(writer, "first_object", first, budget);
        break;
    }
    default:
        if (*budget > 0) writeIvars(writer, object, budget);
        break;
    }
}

// What is left when the address holds no class, object or block (or holds
// an object that must not be looked into).
void writeNonObjectType(const MaydayReportWriter* writer, uintptr_t address) {
    char text[kStringProbeLength + 1];
    if (address == 0) {
        writer->addStringElement(writer, "type", "null_pointer");
    } else if (copyValidString(address, text)) {
        writer->addStringElement(writer, "type", "string");
        writer->addStringElement(writer, "value", text);
    } else {
        writer->addStringElement(writer, "type", "unknown");
    }
}

void writeContents(const MaydayReportWriter* writer, const char* name, uintptr_t address, int* budget) {
    (*budget)--;
    const void* pointer = reinterpret_cast<const void*>(address);
    writer->beginObject(writer, name);
    writer->addUIntegerElement(writer, "address", address);
    char className[kNameLength];
    const char* zombieName = mdzombie_classNameForAddress(pointer);
    if (zombieName != nullptr) {
        copyForeignName(zombieName, className, sizeof(className));
        writer->addStringElement(writer, "last_deallocated_obj", className);
    }
    switch (mdobjc_objectType(pointer)) {
    case MDObjCTypeClass:
        writer->addStringElement(writer, "type", "objc_class");
        copyForeignName(mdobjc_className(pointer), className, sizeof(className));
        writer->addStringElement(writer, "class", className);
        break;
    case MDObjCTypeBlock:
        writer->addStringElement(writer, "type", "objc_block");
        copyForeignName(mdobjc_objectClassName(pointer), className, sizeof(className));
        writer->addStringElement(writer, "class", className);
        break;
    case MDObjCTypeObject:
        writer->addStringElement(writer, "type", "objc_object");
        copyForeignName(mdobjc_objectClassName(pointer), className, sizeof(className));
        writer->addStringElement(writer, "class", className);
        if (maydayreport_isDoNotIntrospectClass(className)) {
            writeNonObjectType(writer, address);
        } else {
            writeObjectContents(writer, pointer, budget);
        }
        break;
    case MDObjCTypeUnknown:
        writeNonObjectType(writer, address);
        break;
    }
    writer->endContainer(writer);
}

}  // namespace

void maydayreport_writeMemoryContents(const MaydayReportWriter* writer, const char* name, uintptr_t address) {
    int budget = kDepthBudget;
    writeContents(writer, name, address, &budget);
}

void maydayreport_writeNotableValue(const MaydayReportWriter* writer, const char* name, uintptr_t value) {
    if (isNotable(value)) maydayreport_writeMemoryContents(writer, name, value);
}

void maydayreport_writeReferencedObject(const MaydayReportWriter* writer, const char* text) {
    if (text == nullptr) return;
    uint64_t address = 0;
    if (mdstring_extractHexValue(text, static_cast<int>(strlen(text)), &address))
        maydayreport_writeMemoryContents(writer, "referenced_object", address);
}
