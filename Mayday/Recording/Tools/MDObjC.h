// Introspection of objects and classes of the object runtime, for a crashed
// process where any pointer may be garbage: every read of the memory behind
// a pointer goes through mdmem_* (a kernel copy), and structures are
// validated before their fields are trusted. Nothing here calls the runtime.
//
// Crash-path safe: no heap, no locks, no stdio, no exceptions. The class
// table caches class pointers in process-wide unlocked slots (only ever
// filled with a matching class, so a second filler writes the same value).
//
// The layouts read are the x86_64 macOS runtime's (see
// platform/objc/Runtime.h, which builds objects in them on this platform).
// Names returned (class and ivar names, ivar types) point into the foreign
// memory: copy them safely before use.
#pragma once

#include <cstdint>

typedef enum {
    MDObjCTypeUnknown = 0,
    MDObjCTypeClass = 1,
    MDObjCTypeObject = 2,
    MDObjCTypeBlock = 3,
} MDObjCType;

typedef enum {
    MDObjCClassTypeUnknown = 0,
    MDObjCClassTypeString = 1,
    MDObjCClassTypeDate = 2,
    MDObjCClassTypeURL = 3,
    MDObjCClassTypeArray = 4,
    MDObjCClassTypeNumber = 6,
} MDObjCClassType;

typedef struct {
    const char* name;
    const char* type;
    int32_t index;
} MDObjCIvar;

// Tagged pointers (bit 0 set) exist only when switched on: nothing on Linux
// makes them, so by default an odd pointer is just an odd pointer.
void mdobjc_setTaggedPointersEnabled(bool enabled);
bool mdobjc_taggedPointersEnabled(void);

bool mdobjc_isTaggedPointer(const void* pointer);
const void* mdobjc_isaPointer(const void* objectOrClassPtr);
const void* mdobjc_superClass(const void* classPtr);
bool mdobjc_isMetaClass(const void* classPtr);
bool mdobjc_isRootClass(const void* classPtr);
const char* mdobjc_className(const void* classPtr);
const char* mdobjc_objectClassName(const void* objectPtr);
bool mdobjc_isClassNamed(const void* classPtr, const char* className);
bool mdobjc_isKindOfClass(const void* classPtr, const char* className);
const void* mdobjc_baseClass(const void* classPtr);

MDObjCType mdobjc_objectType(const void* objectOrClassPtr);
bool mdobjc_isValidObject(const void* object);
MDObjCClassType mdobjc_objectClassType(const void* object);

int mdobjc_ivarCount(const void* classPtr);
// Fills up to `ivarsCount` records; answers how many were filled.
int mdobjc_ivarList(const void* classPtr, MDObjCIvar* dstIvars, int ivarsCount);
bool mdobjc_ivarNamed(const void* classPtr, const char* name, MDObjCIvar* dst);
// Copies the ivar's bytes (its declared size) into `dst`, which must hold
// MDOBJC_MAX_IVAR_SIZE bytes: the size is read from foreign memory, so a
// wider ivar (or a garbage size) is refused rather than copied past `dst`.
#define MDOBJC_MAX_IVAR_SIZE 16
bool mdobjc_ivarValue(const void* objectPtr, int ivarIndex, void* dst);

// Writes at most maxLength - 1 bytes of UTF-8 plus a terminator; answers the
// bytes written (0 and an empty string on any failure).
int mdobjc_copyStringContents(const void* stringPtr, char* dst, int maxLength);
// The text of a URL object's string.
int mdobjc_copyURLContents(const void* urlPtr, char* dst, int maxLength);
// Seconds since the reference date (2001-01-01).
double mdobjc_dateContents(const void* datePtr);
bool mdobjc_numberIsFloat(const void* object);
double mdobjc_numberAsFloat(const void* object);
int64_t mdobjc_numberAsInteger(const void* object);
int mdobjc_arrayCount(const void* arrayPtr);
// Copies up to `count` element pointers; answers how many.
int mdobjc_arrayContents(const void* arrayPtr, uintptr_t* contents, int count);
