// Object introspection over raw memory. Crash-path code: every foreign read
// is an mdmem_* kernel copy into fixed stack buffers; no heap, no locks, no
// stdio, no exceptions, no runtime calls.
#include "Mayday/Recording/Tools/MDObjC.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "Mayday/Recording/Tools/MDMemory.h"

namespace {

constexpr uintptr_t kIsaMask = 0x7ffffffffff8;
constexpr int kClassNameMax = 128;
constexpr int kTypeMax = 100;
constexpr int kMaxSuperclasses = 20;

// The runtime's structures, as they sit in memory on x86_64.
struct RawClass {
    uintptr_t isa, superclass, cache, vtable, data;
};
struct RawReadWrite {
    uint32_t flags, version;
    uintptr_t readOnly;
};
struct RawReadOnly {
    uint32_t flags, instanceStart, instanceSize, reserved;
    uintptr_t ivarLayout, name, baseMethods, baseProtocols, ivars, weakIvarLayout, baseProperties;
};
struct RawIvarListHeader {
    uint32_t entrySize, count;
};
struct RawIvar {
    uintptr_t offset, name, type;
    uint32_t alignment, size;
};
static_assert(sizeof(RawClass) == 40 && sizeof(RawReadOnly) == 72 && sizeof(RawIvar) == 32);
constexpr int kReadWriteSize = 192;
constexpr int kIvarListHeaderSize = 40;

volatile bool g_taggedPointers = false;

typedef bool (*ValidityTest)(const void* object);

bool isValidString(const void* object);
bool isValidArray(const void* object);
bool isValidDate(const void* object);
bool isValidNumber(const void* object);
bool isValidURL(const void* object);
bool alwaysValid(const void*) { return true; }

enum ArraySubtype { kArrayNone = 0, kArrayCF = 1, kArrayMutable = 2, kArrayImmutable = 3 };

struct ClassRow {
    const char* name;
    MDObjCClassType type;
    int arraySubtype;
    bool isMutable;
    ValidityTest isValid;
    const void* volatile cachedClass;
};

ClassRow g_classTable[] = {
    {"__NSCFString", MDObjCClassTypeString, kArrayNone, true, isValidString, nullptr},
    {"NSCFString", MDObjCClassTypeString, kArrayNone, true, isValidString, nullptr},
    {"__NSCFConstantString", MDObjCClassTypeString, kArrayNone, true, isValidString, nullptr},
    {"NSCFConstantString", MDObjCClassTypeString, kArrayNone, true, isValidString, nullptr},
    {"__NSArray0", MDObjCClassTypeArray, kArrayImmutable, false, isValidArray, nullptr},
    {"__NSArrayI", MDObjCClassTypeArray, kArrayImmutable, false, isValidArray, nullptr},
    {"__NSArrayM", MDObjCClassTypeArray, kArrayMutable, true, isValidArray, nullptr},
    {"__NSCFArray", MDObjCClassTypeArray, kArrayCF, false, isValidArray, nullptr},
    {"NSCFArray", MDObjCClassTypeArray, kArrayCF, false, isValidArray, nullptr},
    {"__NSDate", MDObjCClassTypeDate, kArrayNone, false, isValidDate, nullptr},
    {"NSDate", MDObjCClassTypeDate, kArrayNone, false, isValidDate, nullptr},
    {"__NSCFNumber", MDObjCClassTypeNumber, kArrayNone, false, isValidNumber, nullptr},
    {"NSCFNumber", MDObjCClassTypeNumber, kArrayNone, false, isValidNumber, nullptr},
    {"NSNumber", MDObjCClassTypeNumber, kArrayNone, false, isValidNumber, nullptr},
    {"NSURL", MDObjCClassTypeURL, kArrayNone, false, isValidURL, nullptr},
    {nullptr, MDObjCClassTypeUnknown, kArrayNone, false, alwaysValid, nullptr},
};
constexpr int kClassTableCount = sizeof(g_classTable) / sizeof(g_classTable[0]);

ClassRow g_taggedClassTable[8] = {
    {"NSAtom", MDObjCClassTypeUnknown, kArrayNone, false, alwaysValid, nullptr},
    {nullptr, MDObjCClassTypeUnknown, kArrayNone, false, alwaysValid, nullptr},
    {"NSString", MDObjCClassTypeString, kArrayNone, false, isValidString, nullptr},
    {"NSNumber", MDObjCClassTypeNumber, kArrayNone, false, isValidNumber, nullptr},
    {"NSIndexPath", MDObjCClassTypeUnknown, kArrayNone, false, alwaysValid, nullptr},
    {"NSManagedObjectID", MDObjCClassTypeUnknown, kArrayNone, false, alwaysValid, nullptr},
    {"NSDate", MDObjCClassTypeDate, kArrayNone, false, isValidDate, nullptr},
    {nullptr, MDObjCClassTypeUnknown, kArrayNone, false, alwaysValid, nullptr},
};

// The runtime's character table for packed tagged strings.
const char kTaggedCharacters[65] = "eilotrm.apdnsIc ufkMShjTRxgC4013bDNvwyUL2O856P-B79AFKEWV_zGJ/HYX";

// ---- raw reads ----

const void* at(const void* base, uintptr_t offset) {
    return reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(base) + offset);
}

bool readWord(const void* address, uintptr_t* value) {
    return mdmem_copySafely(address, value, sizeof(*value));
}

bool readClass(const void* classPtr, RawClass* cls) {
    return classPtr && mdmem_copySafely(classPtr, cls, sizeof(*cls));
}

const void* readWriteOf(const RawClass& cls) {
    return reinterpret_cast<const void*>(cls.data & ~uintptr_t(7));
}

bool readReadOnly(const void* classPtr, RawReadOnly* readOnly) {
    RawClass cls;
    RawReadWrite readWrite;
    if (!readClass(classPtr, &cls)) return false;
    if (!mdmem_copySafely(readWriteOf(cls), &readWrite, sizeof(readWrite))) return false;
    return mdmem_copySafely(reinterpret_cast<const void*>(readWrite.readOnly), readOnly, sizeof(*readOnly));
}

// The class, its read-write data and its read-only data are all readable.
bool hasReadableData(const void* classPtr) {
    if (!classPtr || !mdmem_isMemoryReadable(classPtr, sizeof(RawClass))) return false;
    RawClass cls;
    RawReadWrite readWrite;
    if (!readClass(classPtr, &cls)) return false;
    if (!mdmem_isMemoryReadable(readWriteOf(cls), kReadWriteSize)) return false;
    if (!mdmem_copySafely(readWriteOf(cls), &readWrite, sizeof(readWrite))) return false;
    return mdmem_isMemoryReadable(reinterpret_cast<const void*>(readWrite.readOnly), sizeof(RawReadOnly));
}

bool isNameStart(char ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || ch == '_';
}

bool isNameCharacter(char ch) {
    return isNameStart(ch) || (ch >= '0' && ch <= '9');
}

bool isValidName(uintptr_t name) {
    if (name > UINTPTR_MAX - kClassNameMax) return false;
    char buffer[kClassNameMax];
    const int copied = mdmem_copyMaxPossible(reinterpret_cast<const void*>(name), buffer, kClassNameMax);
    if (copied < 2 || !isNameStart(buffer[0])) return false;
    for (int i = 1; i < copied; i++) {
        if (!isNameCharacter(buffer[i])) return buffer[i] == '\0';
    }
    return false;
}

bool isValidIvarType(uintptr_t type) {
    if (type > UINTPTR_MAX - kTypeMax) return false;
    char buffer[kTypeMax];
    const int copied = mdmem_copyMaxPossible(reinterpret_cast<const void*>(type), buffer, kTypeMax);
    if (copied < 1 || buffer[0] < 0x21 || buffer[0] > 0x7E) return false;
    for (int i = 1; i < copied; i++) {
        if (buffer[i] == '\0') return true;
    }
    return false;
}

// An entry smaller than the entry structure would make every entry overlap
// the next (a size of 0 reads the first one `count` times); no class has
// more ivars than kMaxIvarCount, and larger entries than kMaxIvarEntrySize
// are not the runtime's.
constexpr uint32_t kMaxIvarCount = 1u << 16;
constexpr uint32_t kMaxIvarEntrySize = 1024;

bool isPlausibleIvarListHeader(const RawIvarListHeader& header) {
    return header.entrySize >= sizeof(RawIvar) && header.entrySize <= kMaxIvarEntrySize &&
           header.count <= kMaxIvarCount;
}

// The header of an ivar list, when it is readable and plausible.
bool readIvarListHeader(uintptr_t list, RawIvarListHeader* header) {
    return mdmem_copySafely(reinterpret_cast<const void*>(list), header, sizeof(*header)) &&
           isPlausibleIvarListHeader(*header);
}

bool isValidIvarList(uintptr_t list) {
    if (!mdmem_isMemoryReadable(reinterpret_cast<const void*>(list), kIvarListHeaderSize)) return false;
    RawIvarListHeader header;
    if (!readIvarListHeader(list, &header)) return false;
    // The first entry is left unchecked, as the runtime's own first ivar may be odd.
    for (uint32_t i = 1; header.count >= 2 && i < header.count; i++) {
        const void* entryAddress = reinterpret_cast<const void*>(list + sizeof(header) + uintptr_t(i) * header.entrySize);
        RawIvar entry;
        if (!mdmem_copySafely(entryAddress, &entry, sizeof(entry))) return false;
        if (!mdmem_isMemoryReadable(entryAddress, static_cast<int>(header.entrySize))) return false;
        if (!mdmem_isMemoryReadable(reinterpret_cast<const void*>(entry.offset), 4)) return false;
        if (!isValidName(entry.name) || !isValidIvarType(entry.type)) return false;
    }
    return true;
}

bool isValidClass(const void* classPtr) {
    if (!hasReadableData(classPtr)) return false;
    RawReadOnly readOnly;
    if (!readReadOnly(classPtr, &readOnly)) return false;
    if (!isValidName(readOnly.name)) return false;
    if (readOnly.ivars && !isValidIvarList(readOnly.ivars)) return false;
    return true;
}

// Compares a foreign, unterminated-until-proven name with ours.
bool foreignNameEquals(uintptr_t foreign, const char* name) {
    if (!foreign || !name || foreign > UINTPTR_MAX - kClassNameMax) return false;
    char buffer[kClassNameMax];
    const int copied = mdmem_copyMaxPossible(reinterpret_cast<const void*>(foreign), buffer, kClassNameMax);
    for (int i = 0; i < copied; i++) {
        if (buffer[i] != name[i]) return false;
        if (buffer[i] == '\0') return true;
    }
    return false;
}

int taggedSlot(const void* pointer) {
    return static_cast<int>((reinterpret_cast<uintptr_t>(pointer) >> 1) & 7);
}

bool isValidTaggedPointer(const void* pointer) {
    return g_taggedClassTable[taggedSlot(pointer)].type != MDObjCClassTypeUnknown;
}

const ClassRow* rowForObject(const void* object) {
    if (mdobjc_isTaggedPointer(object)) return &g_taggedClassTable[taggedSlot(object)];
    const void* cls = mdobjc_isaPointer(object);
    for (int i = 0; i < kClassTableCount; i++) {
        ClassRow* row = &g_classTable[i];
        if (!row->name) return row;
        if (row->cachedClass) {
            if (cls && row->cachedClass == cls) return row;
        } else if (cls && mdobjc_isClassNamed(cls, row->name)) {
            row->cachedClass = cls;
            return row;
        }
    }
    return &g_classTable[kClassTableCount - 1];
}

// ---- validity of the known kinds ----

bool isValidString(const void* object) {
    uint8_t header[16];
    if (!mdmem_copySafely(object, header, sizeof(header))) return false;
    const uint8_t flags = header[8];
    int64_t length = 0;
    uintptr_t contents = 0;
    if ((flags & 0x60) == 0) {
        if (!mdmem_copySafely(at(object, 16), &length, sizeof(length)) || length < 0) return false;
        contents = reinterpret_cast<uintptr_t>(object) + ((flags & 5) == 4 ? 16 : 24);
    } else if ((flags & 1) == 0 && (flags & 4) != 0) {
        uint8_t lengthByte;
        if (!readWord(at(object, 16), &contents)) return false;
        if (!mdmem_copySafely(reinterpret_cast<const void*>(contents), &lengthByte, 1)) return false;
        length = lengthByte;
    } else {
        uint64_t words[5];
        const int size = (flags & 1) ? 40 : 24;
        if (!mdmem_copySafely(at(object, 16), words, size)) return false;
        contents = words[0];
        memcpy(&length, &words[1], sizeof(length));
        if (length < 0) return false;
    }
    if (length != 0) {
        if (flags & 4) contents += 1;
        uint8_t first;
        if (!mdmem_copySafely(reinterpret_cast<const void*>(contents), &first, 1)) return false;
    }
    return true;
}

bool isValidArray(const void* object) {
    uint8_t bytes[48];
    if (rowForObject(object)->arraySubtype != kArrayCF) return mdmem_copySafely(object, bytes, 24);
    if (!mdmem_copySafely(object, bytes, 48)) return false;
    if ((bytes[8] & 3) == 2) {
        uintptr_t deque;
        memcpy(&deque, bytes + 40, sizeof(deque));
        uint8_t dequeHeader[16];
        return mdmem_copySafely(reinterpret_cast<const void*>(deque), dequeHeader, sizeof(dequeHeader));
    }
    return true;
}

bool isValidDate(const void* object) {
    uint8_t bytes[16];
    return mdmem_copySafely(object, bytes, sizeof(bytes));
}

bool isValidNumber(const void* object) {
    uint8_t bytes[24];
    return mdmem_copySafely(object, bytes, sizeof(bytes));
}

bool isValidURL(const void* object) {
    uint8_t bytes[72];
    if (!mdmem_copySafely(object, bytes, sizeof(bytes))) return false;
    uintptr_t string;
    memcpy(&string, bytes + 24, sizeof(string));
    return isValidString(reinterpret_cast<const void*>(string));
}

// ---- contents ----

int terminate(char* dst, int length) {
    dst[length] = '\0';
    return length;
}

int copyTaggedString(uintptr_t pointer, char* dst, int maxLength) {
    const int length = static_cast<int>((pointer >> 4) & 0xF);
    const uintptr_t payload = pointer >> 8;
    char characters[16];
    int count = length;
    if (length < 8) {
        for (int i = 0; i < length; i++) characters[i] = static_cast<char>((payload >> (8 * i)) & 0xFF);
    } else if (length <= 11) {
        const int bits = length <= 9 ? 6 : 5;
        const uintptr_t mask = (uintptr_t(1) << bits) - 1;
        for (int i = 0; i < length; i++) {
            characters[i] = kTaggedCharacters[(payload >> (bits * (length - 1 - i))) & mask];
        }
    } else {
        count = 0;
    }
    if (count > maxLength - 1) count = maxLength - 1;
    memcpy(dst, characters, static_cast<size_t>(count));
    return terminate(dst, count);
}

// Reads UTF-16 units through a small window so each unit is not its own copy.
struct UnitReader {
    uintptr_t base = 0;
    int64_t windowStart = -1;
    int windowCount = 0;
    uint16_t window[64];

    bool get(int64_t index, uint16_t* unit) {
        if (windowStart < 0 || index < windowStart || index >= windowStart + windowCount) {
            const uintptr_t address = base + uintptr_t(index) * 2;
            const int got = mdmem_copyMaxPossible(reinterpret_cast<const void*>(address), window, sizeof(window));
            windowStart = index;
            windowCount = got / 2;
            if (windowCount == 0) return false;
        }
        *unit = window[index - windowStart];
        return true;
    }
};

int copyUTF16(uintptr_t contents, int64_t length, char* dst, int maxLength) {
    UnitReader reader;
    reader.base = contents;
    int out = 0;
    int64_t i = 0;
    while (i < length && out < maxLength - 1) {
        uint16_t unit;
        if (!reader.get(i, &unit)) break;
        uint32_t codePoint = unit;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            uint16_t low;
            if (i + 1 >= length || !reader.get(i + 1, &low) || low < 0xDC00 || low > 0xDFFF) return terminate(dst, 0);
            codePoint = 0x10000 + ((uint32_t(unit) - 0xD800) << 10) + (uint32_t(low) - 0xDC00);
            i += 2;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return terminate(dst, 0);
        } else {
            i += 1;
        }
        if (codePoint > 0x10FFFF) return terminate(dst, 0);
        const int size = codePoint < 0x80 ? 1 : codePoint < 0x800 ? 2 : codePoint < 0x10000 ? 3 : 4;
        if (out + size > maxLength - 1) break;
        char* p = dst + out;
        switch (size) {
        case 1:
            p[0] = static_cast<char>(codePoint);
            break;
        case 2:
            p[0] = static_cast<char>(0xC0 | (codePoint >> 6));
            p[1] = static_cast<char>(0x80 | (codePoint & 0x3F));
            break;
        case 3:
            p[0] = static_cast<char>(0xE0 | (codePoint >> 12));
            p[1] = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
            p[2] = static_cast<char>(0x80 | (codePoint & 0x3F));
            break;
        default:
            p[0] = static_cast<char>(0xF0 | (codePoint >> 18));
            p[1] = static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
            p[2] = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
            p[3] = static_cast<char>(0x80 | (codePoint & 0x3F));
            break;
        }
        out += size;
    }
    return terminate(dst, out);
}

int cfNumberType(const void* object) {
    uint8_t info;
    if (!mdmem_copySafely(at(object, 8), &info, 1)) return 0;
    return info & 0x1F;
}

bool cfNumberIsFloatType(int type) {
    return type == 5 || type == 6 || type == 12 || type == 13 || type == 16;
}

// The stored value of a CF number, as integer or float per its type.
bool readNumber(const void* object, int64_t* integer, double* real, bool* isFloat) {
    const int type = cfNumberType(object);
    const void* value = at(object, 16);
    *isFloat = cfNumberIsFloatType(type);
    switch (type) {
    case 1:
    case 7: {
        int8_t v;
        if (!mdmem_copySafely(value, &v, sizeof(v))) return false;
        *integer = v;
        return true;
    }
    case 2:
    case 8: {
        int16_t v;
        if (!mdmem_copySafely(value, &v, sizeof(v))) return false;
        *integer = v;
        return true;
    }
    case 3:
    case 9: {
        int32_t v;
        if (!mdmem_copySafely(value, &v, sizeof(v))) return false;
        *integer = v;
        return true;
    }
    case 5:
    case 12: {
        float v;
        if (!mdmem_copySafely(value, &v, sizeof(v))) return false;
        *real = v;
        return true;
    }
    case 6:
    case 13:
    case 16:
        return mdmem_copySafely(value, real, sizeof(*real));
    default:
        if (type < 1 || type > 16) return false;
        return mdmem_copySafely(value, integer, sizeof(*integer));
    }
}

}  // namespace

void mdobjc_setTaggedPointersEnabled(bool enabled) {
    g_taggedPointers = enabled;
}

bool mdobjc_taggedPointersEnabled(void) {
    return g_taggedPointers;
}

bool mdobjc_isTaggedPointer(const void* pointer) {
    return g_taggedPointers && (reinterpret_cast<uintptr_t>(pointer) & 1) != 0;
}

const void* mdobjc_isaPointer(const void* objectOrClassPtr) {
    uintptr_t isa;
    if (!objectOrClassPtr || !readWord(objectOrClassPtr, &isa)) return nullptr;
    if (isa & 1) isa &= kIsaMask;
    return reinterpret_cast<const void*>(isa);
}

const void* mdobjc_superClass(const void* classPtr) {
    RawClass cls;
    if (!readClass(classPtr, &cls)) return nullptr;
    return reinterpret_cast<const void*>(cls.superclass);
}

bool mdobjc_isMetaClass(const void* classPtr) {
    RawReadOnly readOnly;
    return readReadOnly(classPtr, &readOnly) && (readOnly.flags & 1) != 0;
}

bool mdobjc_isRootClass(const void* classPtr) {
    RawReadOnly readOnly;
    return readReadOnly(classPtr, &readOnly) && (readOnly.flags & 2) != 0;
}

const char* mdobjc_className(const void* classPtr) {
    RawReadOnly readOnly;
    if (!readReadOnly(classPtr, &readOnly)) return nullptr;
    return reinterpret_cast<const char*>(readOnly.name);
}

const char* mdobjc_objectClassName(const void* objectPtr) {
    if (mdobjc_isTaggedPointer(objectPtr)) {
        const ClassRow& row = g_taggedClassTable[taggedSlot(objectPtr)];
        return row.type != MDObjCClassTypeUnknown ? row.name : nullptr;
    }
    return mdobjc_className(mdobjc_isaPointer(objectPtr));
}

bool mdobjc_isClassNamed(const void* classPtr, const char* className) {
    const char* name = mdobjc_className(classPtr);
    if (!name || !className) return false;
    return foreignNameEquals(reinterpret_cast<uintptr_t>(name), className);
}

bool mdobjc_isKindOfClass(const void* classPtr, const char* className) {
    const void* cls = classPtr;
    for (int i = 0; i < kMaxSuperclasses && cls; i++) {
        if (mdobjc_isClassNamed(cls, className)) return true;
        cls = mdobjc_superClass(cls);
        if (!hasReadableData(cls)) break;
    }
    return false;
}

const void* mdobjc_baseClass(const void* classPtr) {
    const void* cls = classPtr;
    for (int i = 0; i < kMaxSuperclasses && cls; i++) {
        const void* superclass = mdobjc_superClass(cls);
        if (!hasReadableData(superclass)) return nullptr;
        if (mdobjc_isRootClass(superclass)) return cls;
        cls = superclass;
    }
    return nullptr;
}

MDObjCType mdobjc_objectType(const void* objectOrClassPtr) {
    if (!objectOrClassPtr) return MDObjCTypeUnknown;
    if (mdobjc_isTaggedPointer(objectOrClassPtr)) return MDObjCTypeObject;
    if (!mdmem_isMemoryReadable(objectOrClassPtr, sizeof(RawClass))) return MDObjCTypeUnknown;
    const void* isa = mdobjc_isaPointer(objectOrClassPtr);
    if (!isa || !mdmem_isMemoryReadable(isa, sizeof(RawClass))) return MDObjCTypeUnknown;
    if (!isValidClass(isa)) return MDObjCTypeUnknown;
    // A class (its isa is a metaclass) must itself read as a valid class; an
    // instance is not asked to, since that would turn every ordinary object
    // into "unknown".
    if (mdobjc_isMetaClass(isa) && !isValidClass(objectOrClassPtr)) return MDObjCTypeUnknown;
    const void* base = mdobjc_baseClass(isa);
    if (base && mdobjc_isClassNamed(base, "NSBlock")) return MDObjCTypeBlock;
    return mdobjc_isMetaClass(isa) ? MDObjCTypeClass : MDObjCTypeObject;
}

bool mdobjc_isValidObject(const void* object) {
    if (mdobjc_isTaggedPointer(object)) return isValidTaggedPointer(object);
    if (!object || !mdmem_isMemoryReadable(object, sizeof(RawClass))) return false;
    const void* isa = mdobjc_isaPointer(object);
    if (!isa || !mdmem_isMemoryReadable(isa, sizeof(RawClass)) || !isValidClass(isa)) return false;
    return rowForObject(object)->isValid(object);
}

MDObjCClassType mdobjc_objectClassType(const void* object) {
    return rowForObject(object)->type;
}

namespace {

// The list of a class and its header; false when there is none or its
// header is implausible.
bool readIvarList(const void* classPtr, uintptr_t* list, RawIvarListHeader* header) {
    RawReadOnly readOnly;
    if (!readReadOnly(classPtr, &readOnly) || !readOnly.ivars) return false;
    *list = readOnly.ivars;
    return readIvarListHeader(*list, header);
}

bool readIvar(uintptr_t list, const RawIvarListHeader& header, uint32_t index, RawIvar* entry) {
    const uintptr_t address = list + sizeof(header) + uintptr_t(index) * header.entrySize;
    return mdmem_copySafely(reinterpret_cast<const void*>(address), entry, sizeof(*entry));
}

}  // namespace

int mdobjc_ivarCount(const void* classPtr) {
    uintptr_t list;
    RawIvarListHeader header;
    if (!readIvarList(classPtr, &list, &header)) return 0;
    return static_cast<int>(header.count);
}

int mdobjc_ivarList(const void* classPtr, MDObjCIvar* dstIvars, int ivarsCount) {
    uintptr_t list;
    RawIvarListHeader header;
    if (!dstIvars || ivarsCount <= 0 || !readIvarList(classPtr, &list, &header)) return 0;
    int filled = 0;
    for (uint32_t i = 0; i < header.count && filled < ivarsCount; i++) {
        RawIvar entry;
        if (!readIvar(list, header, i, &entry)) break;
        dstIvars[filled].name = reinterpret_cast<const char*>(entry.name);
        dstIvars[filled].type = reinterpret_cast<const char*>(entry.type);
        dstIvars[filled].index = static_cast<int32_t>(i);
        filled++;
    }
    return filled;
}

bool mdobjc_ivarNamed(const void* classPtr, const char* name, MDObjCIvar* dst) {
    uintptr_t list;
    RawIvarListHeader header;
    if (!name || !dst || !readIvarList(classPtr, &list, &header)) return false;
    for (uint32_t i = 0; i < header.count; i++) {
        RawIvar entry;
        if (!readIvar(list, header, i, &entry)) return false;
        if (foreignNameEquals(entry.name, name)) {
            dst->name = reinterpret_cast<const char*>(entry.name);
            dst->type = reinterpret_cast<const char*>(entry.type);
            dst->index = static_cast<int32_t>(i);
            return true;
        }
    }
    return false;
}

bool mdobjc_ivarValue(const void* objectPtr, int ivarIndex, void* dst) {
    if (!dst) return false;
    if (mdobjc_isTaggedPointer(objectPtr)) {
        const uintptr_t pointer = reinterpret_cast<uintptr_t>(objectPtr);
        switch (taggedSlot(objectPtr)) {
        case 3: {
            const int64_t value = static_cast<int64_t>(pointer) >> 8;
            memcpy(dst, &value, sizeof(value));
            return true;
        }
        case 6: {
            const uintptr_t bits = pointer & ~uintptr_t(0xF);
            memcpy(dst, &bits, sizeof(bits));
            return true;
        }
        default:
            return false;
        }
    }
    uintptr_t list;
    RawIvarListHeader header;
    RawIvar entry;
    int32_t offset;
    if (ivarIndex < 0 || !readIvarList(mdobjc_isaPointer(objectPtr), &list, &header)) return false;
    if (static_cast<uint32_t>(ivarIndex) >= header.count) return false;
    if (!readIvar(list, header, static_cast<uint32_t>(ivarIndex), &entry)) return false;
    if (!mdmem_copySafely(reinterpret_cast<const void*>(entry.offset), &offset, sizeof(offset))) return false;
    if (entry.size > MDOBJC_MAX_IVAR_SIZE) return false;
    return mdmem_copySafely(at(objectPtr, static_cast<uintptr_t>(static_cast<intptr_t>(offset))), dst,
                            static_cast<int>(entry.size));
}

int mdobjc_copyStringContents(const void* stringPtr, char* dst, int maxLength) {
    if (!dst || maxLength <= 0) return 0;
    const uintptr_t pointer = reinterpret_cast<uintptr_t>(stringPtr);
    if (mdobjc_isTaggedPointer(stringPtr)) {
        if ((pointer & 0xF) != 5) return terminate(dst, 0);
        return copyTaggedString(pointer, dst, maxLength);
    }
    uint8_t flags;
    if (!stringPtr || !mdmem_copySafely(at(stringPtr, 8), &flags, 1)) return terminate(dst, 0);
    const bool inlineContents = (flags & 0x60) == 0;
    const bool hasLengthByte = (flags & 5) == 4;
    uintptr_t contents;
    if (inlineContents) {
        contents = pointer + (hasLengthByte ? 16 : 24);
    } else if (!readWord(at(stringPtr, 16), &contents)) {
        return terminate(dst, 0);
    }
    int64_t length;
    if (hasLengthByte) {
        uint8_t lengthByte;
        if (!mdmem_copySafely(reinterpret_cast<const void*>(contents), &lengthByte, 1)) return terminate(dst, 0);
        length = lengthByte;
    } else {
        uint32_t explicitLength;
        if (!mdmem_copySafely(at(stringPtr, inlineContents ? 16 : 24), &explicitLength, sizeof(explicitLength))) {
            return terminate(dst, 0);
        }
        length = explicitLength;
    }
    if (flags & 4) contents += 1;

    if (flags & 0x10) return copyUTF16(contents, length, dst, maxLength);
    int count = length < maxLength - 1 ? static_cast<int>(length) : maxLength - 1;
    if (count <= 0 || !mdmem_copySafely(reinterpret_cast<const void*>(contents), dst, count)) return terminate(dst, 0);
    return terminate(dst, count);
}

int mdobjc_copyURLContents(const void* urlPtr, char* dst, int maxLength) {
    if (!dst || maxLength <= 0) return 0;
    uintptr_t string;
    if (!urlPtr || !readWord(at(urlPtr, 24), &string)) return terminate(dst, 0);
    return mdobjc_copyStringContents(reinterpret_cast<const void*>(string), dst, maxLength);
}

double mdobjc_dateContents(const void* datePtr) {
    if (mdobjc_isTaggedPointer(datePtr)) {
        if (!isValidTaggedPointer(datePtr)) return 0;
        const uintptr_t bits = reinterpret_cast<uintptr_t>(datePtr) & ~uintptr_t(0xF);
        double value;
        memcpy(&value, &bits, sizeof(value));
        return value;
    }
    double value;
    if (!datePtr || !mdmem_copySafely(at(datePtr, 8), &value, sizeof(value))) return 0;
    return value;
}

bool mdobjc_numberIsFloat(const void* object) {
    if (mdobjc_isTaggedPointer(object)) return false;
    return object && cfNumberIsFloatType(cfNumberType(object));
}

double mdobjc_numberAsFloat(const void* object) {
    if (mdobjc_isTaggedPointer(object)) {
        if (!isValidTaggedPointer(object)) return NAN;
        return static_cast<double>(static_cast<int64_t>(reinterpret_cast<uintptr_t>(object)) >> 8);
    }
    int64_t integer = 0;
    double real = 0;
    bool isFloat = false;
    if (!object || !readNumber(object, &integer, &real, &isFloat)) return NAN;
    return isFloat ? real : static_cast<double>(integer);
}

int64_t mdobjc_numberAsInteger(const void* object) {
    if (mdobjc_isTaggedPointer(object)) {
        if (!isValidTaggedPointer(object)) return 0;
        return static_cast<int64_t>(reinterpret_cast<uintptr_t>(object)) >> 8;
    }
    int64_t integer = 0;
    double real = 0;
    bool isFloat = false;
    if (!object || !readNumber(object, &integer, &real, &isFloat)) return 0;
    if (!isFloat) return integer;
    if (!(real >= -9.2e18 && real <= 9.2e18)) return 0;  // NaN and out-of-range values
    return static_cast<int64_t>(real);
}

int mdobjc_arrayCount(const void* arrayPtr) {
    if (!arrayPtr || mdobjc_isTaggedPointer(arrayPtr)) return 0;
    const ClassRow* row = rowForObject(arrayPtr);
    int64_t count;
    if (!mdmem_copySafely(at(arrayPtr, row->arraySubtype == kArrayCF ? 16 : 8), &count, sizeof(count))) return 0;
    if (count < 0) return 0;
    return count > INT32_MAX ? INT32_MAX : static_cast<int>(count);
}

int mdobjc_arrayContents(const void* arrayPtr, uintptr_t* contents, int count) {
    if (!contents || count <= 0) return 0;
    const int available = mdobjc_arrayCount(arrayPtr);
    const int n = count < available ? count : available;
    if (n <= 0) return 0;
    const ClassRow* row = rowForObject(arrayPtr);
    uintptr_t source;
    if (row->arraySubtype == kArrayCF) {
        uint8_t info;
        if (!mdmem_copySafely(at(arrayPtr, 8), &info, 1)) return 0;
        if ((info & 3) == 2) {
            uintptr_t deque;
            uintptr_t left;
            if (!readWord(at(arrayPtr, 40), &deque)) return 0;
            if (!readWord(reinterpret_cast<const void*>(deque), &left)) return 0;
            source = deque + (2 + left) * sizeof(uintptr_t);
        } else if ((info & 3) == 0) {
            source = reinterpret_cast<uintptr_t>(arrayPtr) + ((info & 0xC) == 0xC ? 88 : 48);
        } else {
            return 0;
        }
    } else if (row->arraySubtype == kArrayImmutable) {
        source = reinterpret_cast<uintptr_t>(arrayPtr) + 16;
    } else {
        return 0;
    }
    if (n > INT32_MAX / static_cast<int>(sizeof(uintptr_t))) return 0;
    return mdmem_copySafely(reinterpret_cast<const void*>(source), contents, n * static_cast<int>(sizeof(uintptr_t))) ? n : 0;
}
