// Stands in for the Objective-C runtime and the Foundation/CoreFoundation object layouts.
//
// A small object runtime whose classes and objects sit in memory exactly as
// those lay them out on x86_64 macOS (objc_class, class_rw_t, class_ro_t,
// ivar_list_t, CF/NS objects).
//
// Nothing on Linux creates such objects, so the crash reporter's object
// introspection only meets them when the program (or a test) builds them
// here. Classes are process-wide and never freed, like a runtime's; objects
// belong to the ObjectHeap that made them.
//
// Releasing an object calls the dealloc found for its class: each class may
// have one in a side table, the nearest up the superclass chain applies, and
// the root classes NSObject and NSProxy start with the default one.
//
// Layouts (byte offsets):
//   class       0 isa (metaclass), 8 superclass, 16 cache, 24 vtable,
//               32 data word (read-write data | low flag bits)
//   rw data     0 flags, 4 version, 8 read-only data; 192 bytes in all
//   ro data     0 flags (bit 0 metaclass, bit 1 root), 4 instance start,
//               8 instance size, 12 reserved, 16 ivar layout, 24 name,
//               32 methods, 40 protocols, 48 ivars, 56 weak ivar layout,
//               64 properties
//   ivar list   0 entry size, 4 count, 8 entries (32 bytes each: offset
//               pointer, name, type, alignment, size)
//   any object  0 isa
//   CF object   8 info byte (CF strings: flags; CF numbers: type in the low
//               5 bits; CF arrays: storage kind in the low 2 bits)
//   CF string   inline: 16 length byte + characters, or 16 length (64 bits)
//               and 24 characters; external: 16 contents pointer, 24 length
//   CF number   16 value
//   NS date     8 seconds since 2001-01-01 (double)
//   NS array    8 count, 16 elements (immutable)
//   CF array    16 count, 40 deque pointer, 48 inline elements
//   URL         24 string object
//   exception   ivars "name", "reason", "userInfo"
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace platform::objc {

struct Class;

struct Ivar {
    int32_t* offset;
    const char* name;
    const char* type;
    uint32_t alignment;  // log2 of the alignment
    uint32_t size;
};
static_assert(sizeof(Ivar) == 32);

struct IvarList {
    uint32_t entrySize;
    uint32_t count;
    Ivar entries[1];  // `count` entries follow
};

struct ClassReadOnly {
    uint32_t flags;
    uint32_t instanceStart;
    uint32_t instanceSize;
    uint32_t reserved;
    const uint8_t* ivarLayout;
    const char* name;
    const void* baseMethods;
    const void* baseProtocols;
    const IvarList* ivars;
    const uint8_t* weakIvarLayout;
    const void* baseProperties;
};
static_assert(sizeof(ClassReadOnly) == 72);

struct ClassReadWrite {
    uint32_t flags;
    uint32_t version;
    const ClassReadOnly* readOnly;
    uint8_t rest[176];
};
static_assert(sizeof(ClassReadWrite) == 192);

struct Class {
    Class* isa;
    Class* superclass;
    void* cache;
    void* vtable;
    uintptr_t data;
};
static_assert(sizeof(Class) == 40);

inline constexpr uint32_t kReadOnlyMetaClass = 1;
inline constexpr uint32_t kReadOnlyRoot = 2;

// CF string flags (the byte 8 into the object).
inline constexpr uint8_t kStringMutable = 0x01;
inline constexpr uint8_t kStringHasLengthByte = 0x04;
inline constexpr uint8_t kStringUnicode = 0x10;
inline constexpr uint8_t kStringExternal = 0x20;  // any of 0x60: contents behind a pointer

// CFNumberType values.
enum CFNumberType : uint8_t {
    kCFNumberSInt8Type = 1, kCFNumberSInt16Type, kCFNumberSInt32Type, kCFNumberSInt64Type,
    kCFNumberFloat32Type, kCFNumberFloat64Type, kCFNumberCharType, kCFNumberShortType,
    kCFNumberIntType, kCFNumberLongType, kCFNumberLongLongType, kCFNumberFloatType,
    kCFNumberDoubleType, kCFNumberCFIndexType, kCFNumberNSIntegerType, kCFNumberCGFloatType,
};

struct IvarDefinition {
    std::string name;
    std::string type;  // encoded type, e.g. "@\"NSString\"" or "q"
    uint32_t size;
};

// The class of that name, or null. Built-in classes: NSObject (root),
// NSString, __NSCFString, __NSCFConstantString, NSNumber, __NSCFNumber,
// NSDate, __NSDate, NSArray, __NSArray0, __NSArrayI, __NSArrayM, __NSCFArray,
// NSURL, NSException, NSBlock, __NSGlobalBlock__, and the second root class
// NSProxy.
Class* classNamed(std::string_view name);
// A new class (with its metaclass) below `superclass` (null for a root
// class), with the ivars laid out after the superclass's instance.
Class* defineClass(const std::string& name, Class* superclass, const std::vector<IvarDefinition>& ivars);

// The tagged-pointer encodings of the runtime (bit 0 set, slot in bits 1-3).
inline constexpr int kTaggedSlotString = 2;
inline constexpr int kTaggedSlotNumber = 3;
inline constexpr int kTaggedSlotDate = 6;
// The 64 characters of packed tagged strings (the first 32 for 5-bit codes).
extern const char kTaggedStringCharacters[65];
// Up to 7 bytes stored as they are; 8-9 characters of the table in 6-bit
// codes; 10-11 in 5-bit codes. Returns 0 when the text cannot be packed.
uintptr_t taggedString(std::string_view text);
uintptr_t taggedNumber(int64_t value);     // value must fit in 56 bits
uintptr_t taggedDate(double seconds);      // low 4 bits of the double are lost

enum class StringStorage {
    InlineLengthByte,    // flags 0x04, length byte 16 in
    InlineExplicit,      // flags 0x00, 64-bit length 16 in, characters 24 in
    ExternalLengthByte,  // flags 0x24, pointer 16 in to a length byte + characters
    ExternalExplicit,    // flags 0x20, pointer 16 in, length 24 in
    Mutable,             // flags 0x21, pointer 16 in, length 24 in, capacity after
};

enum class ArrayKind {
    Empty,        // __NSArray0
    Immutable,    // __NSArrayI, inline elements
    Mutable,      // __NSArrayM (contents not exposed)
    CFInline,     // __NSCFArray, storage kind 0, elements 48 in
    CFDeque,      // __NSCFArray, storage kind 2, deque 40 in
};

// Owns the objects it makes; they are freed with it. A heap made with
// `freesReleasedObjects` also gives an object's block back as soon as the
// default dealloc runs for it (other heaps' objects are only marked freed
// then: their class pointer is cleared). Not thread-safe.
class ObjectHeap {
public:
    ObjectHeap() = default;
    explicit ObjectHeap(bool freesReleasedObjects) : freesReleasedObjects_(freesReleasedObjects) {}
    ~ObjectHeap();
    ObjectHeap(const ObjectHeap&) = delete;
    ObjectHeap& operator=(const ObjectHeap&) = delete;

    // Zeroed instance of `cls` (instance size from the class).
    void* makeObject(Class* cls);
    // Zeroed, 16-byte aligned memory owned by the heap.
    void* allocate(size_t size);

    void* makeString(std::string_view bytes, StringStorage storage = StringStorage::InlineExplicit,
                     const char* className = "__NSCFString");
    void* makeUTF16String(std::u16string_view units, bool external = false);
    void* makeInteger(int64_t value, CFNumberType type = kCFNumberSInt64Type);
    void* makeFloat(double value, CFNumberType type = kCFNumberFloat64Type);
    void* makeDate(double secondsSinceReferenceDate);
    void* makeArray(const std::vector<const void*>& elements, ArrayKind kind = ArrayKind::Immutable);
    void* makeURL(const void* string);
    // An NSException whose "name" and "reason" ivars point at string objects.
    void* makeException(std::string_view name, std::string_view reason);
    // A block object (its class descends from NSBlock).
    void* makeBlock();

    // Frees one block of this heap now; false when it holds no such block.
    bool freeBlock(const void* block);

private:
    bool freesReleasedObjects_ = false;
    std::unordered_map<const void*, std::unique_ptr<uint64_t[]>> blocks_;
};

// Sets an ivar of an object by name (searching the class chain); false when
// there is no such ivar.
bool setIvar(void* object, std::string_view name, const void* value, size_t size);
// Stores the class pointer in the non-pointer form (bit 0 and high bits set).
void useNonPointerIsa(void* object);

// The class of an object (either isa form), or null for a null object.
Class* objectClass(const void* object);
const char* className(const Class* cls);
// Byte offset of the ivar `name` in instances of `cls` (searching the class
// chain), or -1 when there is none.
int32_t ivarOffset(const Class* cls, std::string_view name);

// What releasing the last reference runs: frees (or marks freed) the object.
using DeallocFunction = void (*)(void* object);
// The dealloc of `cls`: its own, else the nearest superclass's; null when
// no class of the chain has one. Lock-free.
DeallocFunction deallocForClass(Class* cls);
// Gives `cls` its own dealloc (null removes it) and answers the one it had
// of its own before (null when it had none). A replacement that wants the
// inherited behaviour calls what this answered, or deallocForClass of the
// superclass. At most 256 classes may have one (std::length_error beyond).
DeallocFunction replaceDealloc(Class* cls, DeallocFunction dealloc);
// Runs the dealloc of the object's class; nothing for a null object, a
// tagged pointer or a class chain without dealloc.
void release(void* object);
// The default dealloc of the root classes.
void defaultDealloc(void* object);

}  // namespace platform::objc
