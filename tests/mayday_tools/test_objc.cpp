// Object introspection over objects built by the object-runtime layer.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "Mayday/Recording/Tools/MDMemory.h"
#include "Mayday/Recording/Tools/MDObjC.h"
#include "platform/objc/Runtime.h"

namespace objc = platform::objc;

namespace {

std::string contents(const void* string, int size = 256) {
    std::vector<char> buffer(static_cast<size_t>(size), 'X');
    const int written = mdobjc_copyStringContents(string, buffer.data(), size);
    EXPECT_EQ('\0', buffer[static_cast<size_t>(written)]);
    return std::string(buffer.data(), static_cast<size_t>(written));
}

std::string safeName(const char* foreign) {
    if (!foreign) return "(null)";
    char buffer[128] = {};
    mdmem_copyMaxPossible(foreign, buffer, sizeof(buffer) - 1);
    return buffer;
}

const void* asPointer(uintptr_t value) {
    return reinterpret_cast<const void*>(value);
}

// Keeps the tagged-pointer switch on for one test.
class TaggedPointersOn {
public:
    TaggedPointersOn() { mdobjc_setTaggedPointersEnabled(true); }
    ~TaggedPointersOn() { mdobjc_setTaggedPointersEnabled(false); }
    TaggedPointersOn(const TaggedPointersOn&) = delete;
    TaggedPointersOn& operator=(const TaggedPointersOn&) = delete;
};

// An address that is certainly not mapped.
class Hole {
public:
    Hole() {
        void* p = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p != MAP_FAILED) {
            munmap(p, 4096);
            address_ = p;
        }
    }
    const void* address() const { return address_; }

private:
    void* address_ = nullptr;
};

TEST(MDObjCClasses, ValidClassesAndTheirChains) {
    objc::Class* cfString = objc::classNamed("__NSCFString");
    objc::Class* constant = objc::classNamed("__NSCFConstantString");
    objc::Class* root = objc::classNamed("NSObject");
    ASSERT_NE(nullptr, cfString);

    EXPECT_EQ(MDObjCTypeClass, mdobjc_objectType(cfString));
    EXPECT_EQ(MDObjCTypeClass, mdobjc_objectType(root));
    EXPECT_EQ(MDObjCTypeClass, mdobjc_objectType(objc::classNamed("NSException")));
    EXPECT_EQ("__NSCFString", safeName(mdobjc_className(cfString)));
    EXPECT_TRUE(mdobjc_isClassNamed(cfString, "__NSCFString"));
    EXPECT_FALSE(mdobjc_isClassNamed(cfString, "__NSCFStrin"));
    EXPECT_FALSE(mdobjc_isClassNamed(cfString, nullptr));

    EXPECT_EQ(objc::classNamed("NSString"), mdobjc_superClass(cfString));
    EXPECT_FALSE(mdobjc_isMetaClass(cfString));
    EXPECT_TRUE(mdobjc_isMetaClass(mdobjc_isaPointer(cfString)));
    EXPECT_TRUE(mdobjc_isRootClass(root));
    EXPECT_TRUE(mdobjc_isRootClass(mdobjc_isaPointer(root)));
    EXPECT_FALSE(mdobjc_isRootClass(cfString));

    EXPECT_TRUE(mdobjc_isKindOfClass(constant, "NSString"));
    EXPECT_TRUE(mdobjc_isKindOfClass(constant, "NSObject"));
    EXPECT_TRUE(mdobjc_isKindOfClass(constant, "__NSCFConstantString"));
    EXPECT_FALSE(mdobjc_isKindOfClass(constant, "NSNumber"));

    EXPECT_EQ(objc::classNamed("NSString"), mdobjc_baseClass(constant));
    EXPECT_EQ(nullptr, mdobjc_baseClass(root));
}

TEST(MDObjCClasses, BlockClassesReadAsBlocks) {
    objc::Class* block = objc::classNamed("__NSGlobalBlock__");
    EXPECT_EQ(objc::classNamed("NSBlock"), mdobjc_baseClass(block));
    EXPECT_EQ(MDObjCTypeBlock, mdobjc_objectType(block));
}

TEST(MDObjCClasses, ImplausibleClassesAreUnknown) {
    objc::Class* root = objc::classNamed("NSObject");
    objc::Class* digit = objc::defineClass("9Lives", root, {});
    EXPECT_EQ(MDObjCTypeUnknown, mdobjc_objectType(digit));
    objc::ObjectHeap heap;
    EXPECT_FALSE(mdobjc_isValidObject(heap.makeObject(digit)));

    objc::Class* dashed = objc::defineClass("Has-Dash", root, {});
    EXPECT_EQ(MDObjCTypeUnknown, mdobjc_objectType(dashed));
    objc::Class* single = objc::defineClass("A", root, {});
    EXPECT_EQ(MDObjCTypeClass, mdobjc_objectType(single));

    // Ivars after the first must have plausible names and types.
    objc::Class* badSecond = objc::defineClass("BadSecondIvar", root, {{"good", "q", 8}, {"bad name", "q", 8}});
    EXPECT_EQ(MDObjCTypeUnknown, mdobjc_objectType(badSecond));
    objc::Class* badType = objc::defineClass("BadIvarType", root, {{"good", "q", 8}, {"other", " q", 8}});
    EXPECT_EQ(MDObjCTypeUnknown, mdobjc_objectType(badType));
    objc::Class* badFirst = objc::defineClass("BadFirstIvar", root, {{"1st", "q", 8}, {"second", "q", 8}});
    EXPECT_EQ(MDObjCTypeClass, mdobjc_objectType(badFirst));
}

// An ivar list whose entry size is smaller than an entry (0 would read the
// first entry `count` times) or whose count is absurd is not trusted.
TEST(MDObjCClasses, IvarListsWithImplausibleHeadersAreRejected) {
    objc::Class* cls =
        objc::defineClass("ThreeIvars", objc::classNamed("NSObject"), {{"first", "q", 8}, {"second", "q", 8}, {"third", "q", 8}});
    const auto* readWrite = reinterpret_cast<const objc::ClassReadWrite*>(cls->data & ~uintptr_t(7));
    auto* list = const_cast<objc::IvarList*>(readWrite->readOnly->ivars);
    ASSERT_EQ(32u, list->entrySize);
    ASSERT_EQ(3, mdobjc_ivarCount(cls));
    objc::ObjectHeap heap;
    void* object = heap.makeObject(cls);
    MDObjCIvar ivars[4];
    MDObjCIvar named;
    int64_t value = 0;

    const struct {
        uint32_t entrySize;
        uint32_t count;
    } implausible[] = {{0, 3}, {8, 3}, {31, 3}, {4096, 3}, {32, 0x80000000u}, {0, 0xFFFFFFFFu}};
    for (const auto& header : implausible) {
        SCOPED_TRACE(std::to_string(header.entrySize) + " x " + std::to_string(header.count));
        list->entrySize = header.entrySize;
        list->count = header.count;
        EXPECT_EQ(0, mdobjc_ivarCount(cls));
        EXPECT_EQ(0, mdobjc_ivarList(cls, ivars, 4));
        EXPECT_FALSE(mdobjc_ivarNamed(cls, "third", &named));
        EXPECT_FALSE(mdobjc_ivarValue(object, 1, &value));
        EXPECT_EQ(MDObjCTypeUnknown, mdobjc_objectType(cls));
    }
    // The same list with its real header reads again.
    list->entrySize = 32;
    list->count = 3;
    EXPECT_EQ(3, mdobjc_ivarList(cls, ivars, 4));
    EXPECT_EQ("third", safeName(ivars[2].name));
    EXPECT_TRUE(mdobjc_ivarNamed(cls, "third", &named));
    EXPECT_EQ(MDObjCTypeClass, mdobjc_objectType(cls));
}

TEST(MDObjCClasses, NullUnmappedAndUnknownPointers) {
    Hole hole;
    ASSERT_NE(nullptr, hole.address());
    EXPECT_EQ(MDObjCTypeUnknown, mdobjc_objectType(nullptr));
    EXPECT_EQ(MDObjCTypeUnknown, mdobjc_objectType(hole.address()));
    EXPECT_FALSE(mdobjc_isValidObject(nullptr));
    EXPECT_FALSE(mdobjc_isValidObject(hole.address()));
    EXPECT_EQ(MDObjCClassTypeUnknown, mdobjc_objectClassType(hole.address()));
    EXPECT_EQ(nullptr, mdobjc_className(hole.address()));
    EXPECT_EQ(nullptr, mdobjc_isaPointer(hole.address()));
    EXPECT_EQ(0, mdobjc_arrayCount(hole.address()));
    EXPECT_EQ(0, mdobjc_ivarCount(hole.address()));
    EXPECT_EQ("", contents(hole.address()));
    EXPECT_TRUE(std::isnan(mdobjc_numberAsFloat(hole.address())));

    // With tagged pointers off an odd pointer is only an address.
    EXPECT_FALSE(mdobjc_isTaggedPointer(asPointer(0x15)));
    EXPECT_EQ(MDObjCTypeUnknown, mdobjc_objectType(asPointer(0x15)));
}

TEST(MDObjCObjects, ExceptionIvars) {
    objc::ObjectHeap heap;
    void* exception = heap.makeException("NSRangeException", "index 5 beyond bounds [0 .. 2]");
    EXPECT_TRUE(mdobjc_isValidObject(exception));
    EXPECT_EQ(MDObjCClassTypeUnknown, mdobjc_objectClassType(exception));
    EXPECT_EQ("NSException", safeName(mdobjc_objectClassName(exception)));

    const void* cls = mdobjc_isaPointer(exception);
    EXPECT_EQ(4, mdobjc_ivarCount(cls));
    MDObjCIvar ivars[8];
    ASSERT_EQ(4, mdobjc_ivarList(cls, ivars, 8));
    EXPECT_EQ("name", safeName(ivars[0].name));
    EXPECT_EQ("reason", safeName(ivars[1].name));
    EXPECT_EQ("@\"NSString\"", safeName(ivars[1].type));
    EXPECT_EQ(3, ivars[3].index);
    EXPECT_EQ(2, mdobjc_ivarList(cls, ivars, 2));

    MDObjCIvar reason;
    ASSERT_TRUE(mdobjc_ivarNamed(cls, "reason", &reason));
    EXPECT_EQ(1, reason.index);
    EXPECT_FALSE(mdobjc_ivarNamed(cls, "reaso", &reason));

    const void* nameObject = nullptr;
    const void* reasonObject = nullptr;
    ASSERT_TRUE(mdobjc_ivarValue(exception, 0, &nameObject));
    ASSERT_TRUE(mdobjc_ivarValue(exception, reason.index, &reasonObject));
    EXPECT_EQ("NSRangeException", contents(nameObject));
    EXPECT_EQ("index 5 beyond bounds [0 .. 2]", contents(reasonObject));
    EXPECT_EQ(MDObjCClassTypeString, mdobjc_objectClassType(nameObject));
    EXPECT_FALSE(mdobjc_ivarValue(exception, 4, &reasonObject));
    EXPECT_FALSE(mdobjc_ivarValue(exception, -1, &reasonObject));

    // The non-pointer isa form decodes to the same class.
    objc::useNonPointerIsa(exception);
    EXPECT_EQ(cls, mdobjc_isaPointer(exception));
    EXPECT_TRUE(mdobjc_isValidObject(exception));
    EXPECT_EQ("NSException", safeName(mdobjc_objectClassName(exception)));
}

TEST(MDObjCObjects, StringsOfEveryStorage) {
    objc::ObjectHeap heap;
    const std::string text = "The quick brown fox";
    for (auto storage : {objc::StringStorage::InlineLengthByte, objc::StringStorage::InlineExplicit,
                         objc::StringStorage::ExternalLengthByte, objc::StringStorage::ExternalExplicit,
                         objc::StringStorage::Mutable}) {
        SCOPED_TRACE(static_cast<int>(storage));
        void* string = heap.makeString(text, storage);
        EXPECT_TRUE(mdobjc_isValidObject(string));
        EXPECT_EQ(MDObjCClassTypeString, mdobjc_objectClassType(string));
        EXPECT_EQ(text, contents(string));
        EXPECT_EQ("The", contents(string, 4));
        EXPECT_EQ("", contents(string, 1));
        EXPECT_EQ("", contents(heap.makeString("", storage)));
    }
    void* constant = heap.makeString("constant", objc::StringStorage::InlineLengthByte, "__NSCFConstantString");
    EXPECT_EQ(MDObjCClassTypeString, mdobjc_objectClassType(constant));
    EXPECT_EQ("constant", contents(constant));
}

TEST(MDObjCObjects, ImplausibleStringsAreInvalid) {
    objc::ObjectHeap heap;
    void* negative = heap.makeString("abc", objc::StringStorage::InlineExplicit);
    const int64_t minusOne = -1;
    memcpy(static_cast<char*>(negative) + 16, &minusOne, sizeof(minusOne));
    EXPECT_FALSE(mdobjc_isValidObject(negative));

    Hole hole;
    ASSERT_NE(nullptr, hole.address());
    void* dangling = heap.makeString("abc", objc::StringStorage::ExternalExplicit);
    memcpy(static_cast<char*>(dangling) + 16, &hole, sizeof(void*));
    EXPECT_FALSE(mdobjc_isValidObject(dangling));
    EXPECT_EQ("", contents(dangling));
    void* danglingByte = heap.makeString("abc", objc::StringStorage::ExternalLengthByte);
    memcpy(static_cast<char*>(danglingByte) + 16, &hole, sizeof(void*));
    EXPECT_FALSE(mdobjc_isValidObject(danglingByte));
}

TEST(MDObjCObjects, UTF16Strings) {
    objc::ObjectHeap heap;
    const std::u16string text = u"h\u00e9llo \u20ac \U0001F600!";
    const std::string utf8 = "h\xc3\xa9llo \xe2\x82\xac \xf0\x9f\x98\x80!";
    for (bool external : {false, true}) {
        void* string = heap.makeUTF16String(text, external);
        EXPECT_TRUE(mdobjc_isValidObject(string));
        EXPECT_EQ(utf8, contents(string));
        // A character that does not fit ends the text; nothing is cut in half.
        EXPECT_EQ("h", contents(string, 3));
        EXPECT_EQ("h\xc3\xa9", contents(string, 4));
        EXPECT_EQ("h\xc3\xa9llo \xe2\x82\xac ", contents(string, 14));
    }
    // Long enough to cross the reader's window.
    const std::u16string longText(300, u'\u00e9');
    std::string longUtf8;
    for (int i = 0; i < 300; i++) longUtf8 += "\xc3\xa9";
    EXPECT_EQ(longUtf8, contents(heap.makeUTF16String(longText, true), 1000));

    EXPECT_EQ("", contents(heap.makeUTF16String(u"ab\xdc00" u"cd")));
    EXPECT_EQ("", contents(heap.makeUTF16String(u"ab\xd800" u"cd")));
    EXPECT_EQ("", contents(heap.makeUTF16String(u"ab\xd800")));
}

TEST(MDObjCObjects, Numbers) {
    objc::ObjectHeap heap;
    for (auto type : {objc::kCFNumberSInt8Type, objc::kCFNumberSInt16Type, objc::kCFNumberSInt32Type,
                      objc::kCFNumberSInt64Type, objc::kCFNumberCharType, objc::kCFNumberShortType,
                      objc::kCFNumberIntType, objc::kCFNumberLongType, objc::kCFNumberLongLongType,
                      objc::kCFNumberCFIndexType, objc::kCFNumberNSIntegerType}) {
        SCOPED_TRACE(static_cast<int>(type));
        void* number = heap.makeInteger(-100, type);
        EXPECT_TRUE(mdobjc_isValidObject(number));
        EXPECT_EQ(MDObjCClassTypeNumber, mdobjc_objectClassType(number));
        EXPECT_FALSE(mdobjc_numberIsFloat(number));
        EXPECT_EQ(-100, mdobjc_numberAsInteger(number));
        EXPECT_EQ(-100.0, mdobjc_numberAsFloat(number));
    }
    // Narrow types read only their own bytes.
    EXPECT_EQ(0x34, mdobjc_numberAsInteger(heap.makeInteger(0x1234, objc::kCFNumberSInt8Type)));
    EXPECT_EQ(0x12345678, mdobjc_numberAsInteger(heap.makeInteger(0x7712345678, objc::kCFNumberSInt32Type)));
    EXPECT_EQ(0x7712345678, mdobjc_numberAsInteger(heap.makeInteger(0x7712345678, objc::kCFNumberSInt64Type)));

    for (auto type : {objc::kCFNumberFloat32Type, objc::kCFNumberFloat64Type, objc::kCFNumberFloatType,
                      objc::kCFNumberDoubleType, objc::kCFNumberCGFloatType}) {
        SCOPED_TRACE(static_cast<int>(type));
        void* number = heap.makeFloat(-2.75, type);
        EXPECT_TRUE(mdobjc_numberIsFloat(number));
        EXPECT_EQ(-2.75, mdobjc_numberAsFloat(number));
        EXPECT_EQ(-2, mdobjc_numberAsInteger(number));
    }
    EXPECT_EQ(0.1, mdobjc_numberAsFloat(heap.makeFloat(0.1, objc::kCFNumberDoubleType)));

    void* strange = heap.makeInteger(5, static_cast<objc::CFNumberType>(17));
    EXPECT_TRUE(std::isnan(mdobjc_numberAsFloat(strange)));
    EXPECT_EQ(0, mdobjc_numberAsInteger(strange));
}

TEST(MDObjCObjects, DatesAndURLs) {
    objc::ObjectHeap heap;
    void* date = heap.makeDate(815054400.25);
    EXPECT_TRUE(mdobjc_isValidObject(date));
    EXPECT_EQ(MDObjCClassTypeDate, mdobjc_objectClassType(date));
    EXPECT_EQ(815054400.25, mdobjc_dateContents(date));

    void* url = heap.makeURL(heap.makeString("https://example.invalid/a?b=c", objc::StringStorage::ExternalExplicit));
    EXPECT_TRUE(mdobjc_isValidObject(url));
    EXPECT_EQ(MDObjCClassTypeURL, mdobjc_objectClassType(url));
    char buffer[64];
    EXPECT_EQ(29, mdobjc_copyURLContents(url, buffer, sizeof(buffer)));
    EXPECT_STREQ("https://example.invalid/a?b=c", buffer);

    Hole hole;
    ASSERT_NE(nullptr, hole.address());
    void* broken = heap.makeURL(hole.address());
    EXPECT_FALSE(mdobjc_isValidObject(broken));
    EXPECT_EQ(0, mdobjc_copyURLContents(broken, buffer, sizeof(buffer)));
}

TEST(MDObjCObjects, ArraysOfEveryKind) {
    objc::ObjectHeap heap;
    const std::vector<const void*> elements = {heap.makeString("a"), heap.makeDate(1), heap.makeInteger(7)};
    for (auto kind : {objc::ArrayKind::Immutable, objc::ArrayKind::CFInline, objc::ArrayKind::CFDeque}) {
        SCOPED_TRACE(static_cast<int>(kind));
        void* array = heap.makeArray(elements, kind);
        EXPECT_TRUE(mdobjc_isValidObject(array));
        EXPECT_EQ(MDObjCClassTypeArray, mdobjc_objectClassType(array));
        EXPECT_EQ(3, mdobjc_arrayCount(array));
        uintptr_t found[5] = {};
        ASSERT_EQ(3, mdobjc_arrayContents(array, found, 5));
        for (int i = 0; i < 3; i++) EXPECT_EQ(reinterpret_cast<uintptr_t>(elements[i]), found[i]);
        EXPECT_EQ(2, mdobjc_arrayContents(array, found, 2));
        EXPECT_EQ(MDObjCClassTypeDate, mdobjc_objectClassType(reinterpret_cast<const void*>(found[1])));
    }
    void* mutableArray = heap.makeArray(elements, objc::ArrayKind::Mutable);
    EXPECT_TRUE(mdobjc_isValidObject(mutableArray));
    EXPECT_EQ(3, mdobjc_arrayCount(mutableArray));
    uintptr_t found[3] = {};
    EXPECT_EQ(0, mdobjc_arrayContents(mutableArray, found, 3));

    void* empty = heap.makeArray({}, objc::ArrayKind::Empty);
    EXPECT_TRUE(mdobjc_isValidObject(empty));
    EXPECT_EQ(0, mdobjc_arrayCount(empty));
    EXPECT_EQ(0, mdobjc_arrayContents(empty, found, 3));

    // CF arrays with both bits 2 and 3 of the info byte keep elements 88 in.
    void* shifted = heap.makeArray(elements, objc::ArrayKind::CFInline);
    static_cast<uint8_t*>(shifted)[8] = 0x0C;
    void* wide = heap.allocate(88 + 24);
    memcpy(wide, shifted, 48);
    memcpy(static_cast<char*>(wide) + 88, elements.data(), 24);
    EXPECT_EQ(3, mdobjc_arrayContents(wide, found, 3));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(elements[2]), found[2]);

    // Other storage kinds give nothing; a negative count is none.
    static_cast<uint8_t*>(wide)[8] = 1;
    EXPECT_EQ(0, mdobjc_arrayContents(wide, found, 3));
    void* negative = heap.makeArray(elements, objc::ArrayKind::Immutable);
    const int64_t minusOne = -1;
    memcpy(static_cast<char*>(negative) + 8, &minusOne, sizeof(minusOne));
    EXPECT_EQ(0, mdobjc_arrayCount(negative));
    EXPECT_EQ(0, mdobjc_arrayContents(negative, found, 3));
}

TEST(MDObjCTagged, TaggedObjects) {
    TaggedPointersOn on;
    const void* number = asPointer(objc::taggedNumber(-42));
    EXPECT_TRUE(mdobjc_isTaggedPointer(number));
    EXPECT_EQ(MDObjCTypeObject, mdobjc_objectType(number));
    EXPECT_TRUE(mdobjc_isValidObject(number));
    EXPECT_EQ(MDObjCClassTypeNumber, mdobjc_objectClassType(number));
    EXPECT_STREQ("NSNumber", mdobjc_objectClassName(number));
    EXPECT_EQ(-42, mdobjc_numberAsInteger(number));
    EXPECT_EQ(-42.0, mdobjc_numberAsFloat(number));
    int64_t value = 0;
    ASSERT_TRUE(mdobjc_ivarValue(number, 0, &value));
    EXPECT_EQ(-42, value);

    const void* date = asPointer(objc::taggedDate(1.5));
    EXPECT_EQ(MDObjCClassTypeDate, mdobjc_objectClassType(date));
    EXPECT_STREQ("NSDate", mdobjc_objectClassName(date));
    EXPECT_EQ(1.5, mdobjc_dateContents(date));
    double seconds = 0;
    ASSERT_TRUE(mdobjc_ivarValue(date, 0, &seconds));
    EXPECT_EQ(1.5, seconds);

    // Any odd pointer is an object; only slots 2, 3 and 6 are valid ones.
    EXPECT_EQ(MDObjCTypeObject, mdobjc_objectType(asPointer(0x1)));
    EXPECT_EQ(MDObjCTypeObject, mdobjc_objectType(asPointer(0xdeadbeef)));
    EXPECT_FALSE(mdobjc_isValidObject(asPointer(0x1)));
    EXPECT_FALSE(mdobjc_isValidObject(asPointer(0x9)));
    EXPECT_EQ(nullptr, mdobjc_objectClassName(asPointer(0x9)));
    EXPECT_FALSE(mdobjc_ivarValue(asPointer(0x9), 0, &value));
    EXPECT_EQ(0, mdobjc_arrayCount(number));
}

TEST(MDObjCTagged, TaggedStrings) {
    TaggedPointersOn on;
    const void* hello = asPointer(objc::taggedString("hello"));
    EXPECT_TRUE(mdobjc_isValidObject(hello));
    EXPECT_EQ(MDObjCClassTypeString, mdobjc_objectClassType(hello));
    EXPECT_STREQ("NSString", mdobjc_objectClassName(hello));
    EXPECT_EQ("hello", contents(hello));
    char small[3] = {'X', 'X', 'X'};
    EXPECT_EQ(2, mdobjc_copyStringContents(hello, small, sizeof(small)));
    EXPECT_STREQ("he", small);

    EXPECT_EQ("", contents(asPointer(objc::taggedString(""))));
    EXPECT_EQ("1234567", contents(asPointer(objc::taggedString("1234567"))));
    // Packed forms: 6-bit codes for 8 and 9 characters, 5-bit for 10 and 11.
    for (const char* text : {"eilotrm.", "HYX_zGJ/a", "trace data", "uf Mice 410"}) {
        const uintptr_t tagged = objc::taggedString(text);
        ASSERT_NE(0u, tagged) << text;
        EXPECT_EQ(text, contents(asPointer(tagged)));
    }
    EXPECT_EQ(0u, objc::taggedString("HYX_zGJ/aZ"));  // Z is not among the first 32
    // Lengths above 11 are empty.
    EXPECT_EQ("", contents(asPointer(0x5 | (12u << 4) | (0x616263u << 8))));
    // A tagged pointer of another slot is no string.
    EXPECT_EQ("", contents(asPointer(objc::taggedNumber(3))));
}

TEST(MDObjCTagged, SwitchedOffByDefault) {
    EXPECT_FALSE(mdobjc_taggedPointersEnabled());
    const void* hello = asPointer(objc::taggedString("hello"));
    EXPECT_FALSE(mdobjc_isTaggedPointer(hello));
    EXPECT_FALSE(mdobjc_isValidObject(hello));
    EXPECT_EQ(MDObjCTypeUnknown, mdobjc_objectType(hello));
}

// Garbage must never fault; each probe runs in a child so a fault fails the
// test instead of ending the run.
void probeEverything(const void* pointer, int* unknownCount) {
    char text[64];
    uintptr_t elements[4];
    MDObjCIvar ivars[4];
    int64_t value;
    const MDObjCType type = mdobjc_objectType(pointer);
    if (type == MDObjCTypeUnknown) ++*unknownCount;
    mdobjc_isValidObject(pointer);
    mdobjc_objectClassType(pointer);
    mdobjc_objectClassName(pointer);
    mdobjc_isKindOfClass(pointer, "NSObject");
    mdobjc_baseClass(pointer);
    mdobjc_copyStringContents(pointer, text, sizeof(text));
    mdobjc_copyURLContents(pointer, text, sizeof(text));
    mdobjc_dateContents(pointer);
    mdobjc_numberAsFloat(pointer);
    mdobjc_numberAsInteger(pointer);
    mdobjc_arrayContents(pointer, elements, 4);
    mdobjc_ivarList(pointer, ivars, 4);
    mdobjc_ivarValue(pointer, 0, &value);
}

TEST(MDObjCGarbageDeathTest, RandomWordsNeverFault) {
    EXPECT_EXIT(
        {
            std::mt19937_64 random(20261207);
            std::vector<uint64_t> noise(512);
            for (auto& word : noise) word = random();
            int unknown = 0;
            int probes = 0;
            // Pointers into the noise itself, and the noise words as pointers.
            for (size_t i = 0; i < noise.size(); i += 8, probes++) probeEverything(&noise[i], &unknown);
            for (size_t i = 0; i < noise.size(); i++, probes++) probeEverything(asPointer(noise[i]), &unknown);
            // Words from this thread's stack.
            uintptr_t stackWords[64];
            const int copied = mdmem_copyMaxPossible(__builtin_frame_address(0), stackWords, sizeof(stackWords));
            int stackUnknown = 0;
            for (int i = 0; i < copied / 8; i++) probeEverything(asPointer(stackWords[i]), &stackUnknown);
            _exit(unknown == probes && copied > 0 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace

TEST(MDObjCObjects, InstancesClassifyAsObjectsAndBlocksAsBlocks) {
    objc::ObjectHeap heap;
    void* exception = heap.makeException("NSGenericException", "reason");
    void* string = heap.makeString("text", objc::StringStorage::InlineLengthByte);
    void* date = heap.makeDate(1.0);
    void* array = heap.makeArray({string, date});
    for (void* object : {exception, string, date, array}) {
        EXPECT_EQ(MDObjCTypeObject, mdobjc_objectType(object));
        EXPECT_TRUE(mdobjc_isValidObject(object));
    }
    EXPECT_EQ(MDObjCTypeBlock, mdobjc_objectType(heap.makeBlock()));
    // The class of an instance is a class, not an object.
    EXPECT_EQ(MDObjCTypeClass, mdobjc_objectType(mdobjc_isaPointer(exception)));
}
