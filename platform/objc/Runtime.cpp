// The object runtime stand-in: classes and objects in the macOS layouts.
// Not crash-path code; classes are built under a lock and kept forever.
#include "platform/objc/Runtime.h"

#include <atomic>
#include <bit>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>

namespace platform::objc {

const char kTaggedStringCharacters[65] = "eilotrm.apdnsIc ufkMShjTRxgC4013bDNvwyUL2O856P-B79AFKEWV_zGJ/HYX";

namespace {

struct Registry {
    std::mutex mutex;
    std::map<std::string, Class*, std::less<>> classes;
    // Everything a class points at; classes live as long as the process.
    std::vector<std::unique_ptr<uint64_t[]>> storage;

    void* allocate(size_t size) {
        storage.push_back(std::make_unique<uint64_t[]>((size + 7) / 8 + 1));
        return storage.back().get();
    }
    const char* copyText(const std::string& text) {
        char* copy = static_cast<char*>(allocate(text.size() + 1));
        memcpy(copy, text.c_str(), text.size() + 1);
        return copy;
    }
};

// Classes with a dealloc of their own. Slots are claimed under the lock and
// never given back, so readers walk them without it (release is on the path
// of every object freed, from any thread).
struct DeallocTable {
    static constexpr int kCapacity = 256;
    struct Slot {
        std::atomic<Class*> cls{nullptr};
        std::atomic<DeallocFunction> dealloc{nullptr};
    };
    std::mutex mutex;
    Slot slots[kCapacity];
    std::atomic<int> used{0};

    Slot* find(const Class* cls) {
        const int count = used.load(std::memory_order_acquire);
        for (int i = 0; i < count; i++)
            if (slots[i].cls.load(std::memory_order_acquire) == cls) return &slots[i];
        return nullptr;
    }
};

DeallocTable& deallocTable() {
    static DeallocTable* instance = new DeallocTable;  // never destroyed: objects may be released at exit
    return *instance;
}

// Blocks of heaps that free released objects, so the default dealloc finds
// the heap an object belongs to.
struct FreeableBlocks {
    std::mutex mutex;
    std::unordered_map<const void*, ObjectHeap*> owners;
};

FreeableBlocks& freeableBlocks() {
    static FreeableBlocks* instance = new FreeableBlocks;
    return *instance;
}

Registry& registry() {
    static Registry* instance = new Registry;  // never destroyed: classes must outlive every object
    return *instance;
}

const ClassReadOnly* readOnlyOf(const Class* cls) {
    return reinterpret_cast<const ClassReadWrite*>(cls->data & ~uintptr_t(7))->readOnly;
}

uint32_t alignmentShift(uint32_t size) {
    uint32_t shift = 0;
    while (shift < 3 && (1u << (shift + 1)) <= size) shift++;
    return shift;
}

Class* makeClassPair(Registry& reg, const std::string& name, Class* superclass, const std::vector<IvarDefinition>& ivars) {
    const char* storedName = reg.copyText(name);
    const uint32_t start = superclass ? readOnlyOf(superclass)->instanceSize : 0;
    uint32_t end = start;

    IvarList* list = nullptr;
    if (!ivars.empty()) {
        const size_t listSize = std::max<size_t>(40, 8 + 32 * ivars.size());
        list = static_cast<IvarList*>(reg.allocate(listSize));
        list->entrySize = sizeof(Ivar);
        list->count = static_cast<uint32_t>(ivars.size());
        for (size_t i = 0; i < ivars.size(); i++) {
            const uint32_t shift = alignmentShift(ivars[i].size);
            const uint32_t align = 1u << shift;
            end = (end + align - 1) & ~(align - 1);
            int32_t* offset = static_cast<int32_t*>(reg.allocate(sizeof(int32_t)));
            *offset = static_cast<int32_t>(end);
            Ivar& entry = list->entries[i];
            entry.offset = offset;
            entry.name = reg.copyText(ivars[i].name);
            entry.type = reg.copyText(ivars[i].type);
            entry.alignment = shift;
            entry.size = ivars[i].size;
            end += ivars[i].size;
        }
    }
    end = (end + 7) & ~7u;

    auto makeHalf = [&](uint32_t flags, uint32_t instanceStart, uint32_t instanceSize, const IvarList* ivarList) {
        auto* ro = static_cast<ClassReadOnly*>(reg.allocate(sizeof(ClassReadOnly)));
        ro->flags = flags;
        ro->instanceStart = instanceStart;
        ro->instanceSize = instanceSize;
        ro->name = storedName;
        ro->ivars = ivarList;
        auto* rw = static_cast<ClassReadWrite*>(reg.allocate(sizeof(ClassReadWrite)));
        rw->flags = 0x80000000u;  // realized
        rw->readOnly = ro;
        auto* cls = static_cast<Class*>(reg.allocate(sizeof(Class)));
        cls->data = reinterpret_cast<uintptr_t>(rw) | 1u;  // a low flag bit, as the runtime keeps there
        return cls;
    };

    const uint32_t rootFlag = superclass ? 0 : kReadOnlyRoot;
    Class* cls = makeHalf(rootFlag, start, end, list);
    Class* meta = makeHalf(kReadOnlyMetaClass | rootFlag, sizeof(Class), sizeof(Class), nullptr);
    cls->isa = meta;
    cls->superclass = superclass;
    if (superclass) {
        Class* rootMeta = superclass->isa;
        while (rootMeta->isa != rootMeta) rootMeta = rootMeta->isa;
        meta->isa = rootMeta;
        meta->superclass = superclass->isa;
    } else {
        meta->isa = meta;
        meta->superclass = cls;
    }
    reg.classes[name] = cls;
    return cls;
}

Class* builtIn(Registry& reg, std::string_view name);

// Built-in classes are made on first use, superclasses first.
struct BuiltInClass {
    const char* name;
    const char* superclass;
    std::vector<IvarDefinition> ivars;
};

const std::vector<BuiltInClass>& builtInClasses() {
    static const std::vector<BuiltInClass> table = {
        {"NSObject", nullptr, {{"isa", "#", 8}}},
        {"NSProxy", nullptr, {{"isa", "#", 8}}},
        {"NSString", "NSObject", {}},
        {"__NSCFString", "NSString", {}},
        {"__NSCFConstantString", "__NSCFString", {}},
        {"NSNumber", "NSObject", {}},
        {"__NSCFNumber", "NSNumber", {}},
        {"NSDate", "NSObject", {}},
        {"__NSDate", "NSDate", {}},
        {"NSArray", "NSObject", {}},
        {"__NSArray0", "NSArray", {}},
        {"__NSArrayI", "NSArray", {}},
        {"__NSArrayM", "NSArray", {}},
        {"__NSCFArray", "NSArray", {}},
        {"NSURL",
         "NSObject",
         {{"_reserved", "^v", 8},
          {"_baseURL", "@\"NSURL\"", 8},
          {"_urlString", "@\"NSString\"", 8},
          {"_clients", "^v", 8},
          {"_flags", "Q", 8},
          {"_cache", "[3^v]", 24}}},
        {"NSException",
         "NSObject",
         {{"name", "@\"NSString\"", 8},
          {"reason", "@\"NSString\"", 8},
          {"userInfo", "@\"NSDictionary\"", 8},
          {"reserved", "@", 8}}},
        {"NSBlock", "NSObject", {}},
        {"__NSGlobalBlock__", "NSBlock", {{"_flags", "i", 4}, {"_reserved", "i", 4}, {"_invoke", "^v", 8}, {"_descriptor", "^v", 8}}},
    };
    return table;
}

Class* builtIn(Registry& reg, std::string_view name) {
    if (auto found = reg.classes.find(name); found != reg.classes.end()) return found->second;
    for (const BuiltInClass& row : builtInClasses()) {
        if (name != row.name) continue;
        Class* superclass = row.superclass ? builtIn(reg, row.superclass) : nullptr;
        Class* cls = makeClassPair(reg, row.name, superclass, row.ivars);
        if (!superclass) replaceDealloc(cls, defaultDealloc);
        return cls;
    }
    return nullptr;
}

void setWord(void* object, size_t offset, uint64_t value) {
    memcpy(static_cast<char*>(object) + offset, &value, sizeof(value));
}

void setInfoByte(void* object, uint8_t value) {
    static_cast<uint8_t*>(object)[8] = value;
}

}  // namespace

Class* classNamed(std::string_view name) {
    Registry& reg = registry();
    std::lock_guard lock(reg.mutex);
    return builtIn(reg, name);
}

Class* defineClass(const std::string& name, Class* superclass, const std::vector<IvarDefinition>& ivars) {
    Registry& reg = registry();
    std::lock_guard lock(reg.mutex);
    return makeClassPair(reg, name, superclass, ivars);
}

uintptr_t taggedString(std::string_view text) {
    const size_t length = text.size();
    const uintptr_t head = 5u | (uintptr_t(length) << 4);
    if (length <= 7) {
        uintptr_t payload = 0;
        for (size_t i = 0; i < length; i++) payload |= uintptr_t(uint8_t(text[i])) << (8 * i);
        return head | (payload << 8);
    }
    if (length > 11) return 0;
    const int bits = length <= 9 ? 6 : 5;
    const size_t tableSize = size_t(1) << bits;
    uintptr_t payload = 0;
    for (char ch : text) {
        const char* found = static_cast<const char*>(memchr(kTaggedStringCharacters, ch, tableSize));
        if (!found || ch == '\0') return 0;
        payload = (payload << bits) | uintptr_t(found - kTaggedStringCharacters);
    }
    return head | (payload << 8);
}

uintptr_t taggedNumber(int64_t value) {
    return (static_cast<uintptr_t>(value) << 8) | 7u;
}

uintptr_t taggedDate(double seconds) {
    return (std::bit_cast<uintptr_t>(seconds) & ~uintptr_t(0xF)) | 0xDu;
}

ObjectHeap::~ObjectHeap() {
    if (!freesReleasedObjects_ || blocks_.empty()) return;
    FreeableBlocks& table = freeableBlocks();
    std::lock_guard lock(table.mutex);
    for (const auto& entry : blocks_) table.owners.erase(entry.first);
}

void* ObjectHeap::allocate(size_t size) {
    auto block = std::make_unique<uint64_t[]>((size + 15) / 8 + 1);
    void* address = block.get();
    blocks_.emplace(address, std::move(block));
    if (freesReleasedObjects_) {
        FreeableBlocks& table = freeableBlocks();
        std::lock_guard lock(table.mutex);
        table.owners[address] = this;
    }
    return address;
}

bool ObjectHeap::freeBlock(const void* block) {
    const auto found = blocks_.find(block);
    if (found == blocks_.end()) return false;
    if (freesReleasedObjects_) {
        FreeableBlocks& table = freeableBlocks();
        std::lock_guard lock(table.mutex);
        table.owners.erase(block);
    }
    blocks_.erase(found);
    return true;
}

void* ObjectHeap::makeObject(Class* cls) {
    void* object = allocate(std::max<uint32_t>(readOnlyOf(cls)->instanceSize, 16));
    setWord(object, 0, reinterpret_cast<uintptr_t>(cls));
    return object;
}

void* ObjectHeap::makeString(std::string_view bytes, StringStorage storage, const char* className) {
    Class* cls = classNamed(className);
    const uint64_t length = bytes.size();
    void* object = nullptr;
    switch (storage) {
    case StringStorage::InlineLengthByte: {
        object = allocate(16 + 1 + length + 1);
        setInfoByte(object, kStringHasLengthByte);
        char* contents = static_cast<char*>(object) + 16;
        contents[0] = static_cast<char>(static_cast<uint8_t>(length));
        memcpy(contents + 1, bytes.data(), length);
        break;
    }
    case StringStorage::InlineExplicit:
        object = allocate(24 + length + 1);
        setWord(object, 16, length);
        memcpy(static_cast<char*>(object) + 24, bytes.data(), length);
        break;
    case StringStorage::ExternalLengthByte: {
        object = allocate(32);
        setInfoByte(object, kStringExternal | kStringHasLengthByte);
        char* contents = static_cast<char*>(allocate(length + 2));
        contents[0] = static_cast<char>(static_cast<uint8_t>(length));
        memcpy(contents + 1, bytes.data(), length);
        setWord(object, 16, reinterpret_cast<uintptr_t>(contents));
        break;
    }
    case StringStorage::ExternalExplicit:
    case StringStorage::Mutable: {
        const bool isMutable = storage == StringStorage::Mutable;
        object = allocate(isMutable ? 56 : 32);
        setInfoByte(object, isMutable ? (kStringExternal | kStringMutable) : kStringExternal);
        char* contents = static_cast<char*>(allocate(length + 1));
        memcpy(contents, bytes.data(), length);
        setWord(object, 16, reinterpret_cast<uintptr_t>(contents));
        setWord(object, 24, length);
        if (isMutable) setWord(object, 32, length + 1);  // capacity
        break;
    }
    }
    setWord(object, 0, reinterpret_cast<uintptr_t>(cls));
    return object;
}

void* ObjectHeap::makeUTF16String(std::u16string_view units, bool external) {
    const uint64_t length = units.size();
    void* object;
    if (external) {
        object = allocate(32);
        setInfoByte(object, kStringUnicode | kStringExternal);
        void* contents = allocate(2 * length + 2);
        memcpy(contents, units.data(), 2 * length);
        setWord(object, 16, reinterpret_cast<uintptr_t>(contents));
        setWord(object, 24, length);
    } else {
        object = allocate(24 + 2 * length + 2);
        setInfoByte(object, kStringUnicode);
        setWord(object, 16, length);
        memcpy(static_cast<char*>(object) + 24, units.data(), 2 * length);
    }
    setWord(object, 0, reinterpret_cast<uintptr_t>(classNamed("__NSCFString")));
    return object;
}

void* ObjectHeap::makeInteger(int64_t value, CFNumberType type) {
    void* object = allocate(32);
    setWord(object, 0, reinterpret_cast<uintptr_t>(classNamed("__NSCFNumber")));
    setInfoByte(object, type);
    // The full 64-bit value, little-endian: narrower types read its low bytes.
    setWord(object, 16, static_cast<uint64_t>(value));
    return object;
}

void* ObjectHeap::makeFloat(double value, CFNumberType type) {
    void* object = allocate(32);
    setWord(object, 0, reinterpret_cast<uintptr_t>(classNamed("__NSCFNumber")));
    setInfoByte(object, type);
    if (type == kCFNumberFloat32Type || type == kCFNumberFloatType) {
        const float narrow = static_cast<float>(value);
        memcpy(static_cast<char*>(object) + 16, &narrow, sizeof(narrow));
    } else {
        memcpy(static_cast<char*>(object) + 16, &value, sizeof(value));
    }
    return object;
}

void* ObjectHeap::makeDate(double secondsSinceReferenceDate) {
    void* object = allocate(16);
    setWord(object, 0, reinterpret_cast<uintptr_t>(classNamed("__NSDate")));
    memcpy(static_cast<char*>(object) + 8, &secondsSinceReferenceDate, sizeof(double));
    return object;
}

void* ObjectHeap::makeArray(const std::vector<const void*>& elements, ArrayKind kind) {
    const uint64_t count = elements.size();
    void* object = nullptr;
    const char* className = "__NSCFArray";
    switch (kind) {
    case ArrayKind::Empty:
        object = allocate(24);
        className = "__NSArray0";
        break;
    case ArrayKind::Immutable:
        object = allocate(16 + 8 * std::max<uint64_t>(count, 1));
        setWord(object, 8, count);
        memcpy(static_cast<char*>(object) + 16, elements.data(), 8 * count);
        className = "__NSArrayI";
        break;
    case ArrayKind::Mutable:
        object = allocate(48);
        setWord(object, 8, count);
        className = "__NSArrayM";
        break;
    case ArrayKind::CFInline:
        object = allocate(48 + 8 * count);
        setInfoByte(object, 0);
        setWord(object, 16, count);
        memcpy(static_cast<char*>(object) + 48, elements.data(), 8 * count);
        break;
    case ArrayKind::CFDeque: {
        object = allocate(48);
        setInfoByte(object, 2);
        setWord(object, 16, count);
        // Deque: left index, capacity, then buckets; elements start at the left index.
        const uint64_t left = 1;
        uint64_t* deque = static_cast<uint64_t*>(allocate(8 * (2 + left + count)));
        deque[0] = left;
        deque[1] = count + left;
        memcpy(deque + 2 + left, elements.data(), 8 * count);
        setWord(object, 40, reinterpret_cast<uintptr_t>(deque));
        break;
    }
    }
    setWord(object, 0, reinterpret_cast<uintptr_t>(classNamed(className)));
    return object;
}

void* ObjectHeap::makeURL(const void* string) {
    void* object = makeObject(classNamed("NSURL"));
    setWord(object, 24, reinterpret_cast<uintptr_t>(string));
    return object;
}

void* ObjectHeap::makeException(std::string_view name, std::string_view reason) {
    void* object = makeObject(classNamed("NSException"));
    // A length byte holds at most 255.
    const StringStorage nameStorage = name.size() <= 255 ? StringStorage::InlineLengthByte : StringStorage::InlineExplicit;
    const void* nameObject = makeString(name, nameStorage, "__NSCFConstantString");
    const void* reasonObject = makeString(reason);
    setIvar(object, "name", &nameObject, sizeof(nameObject));
    setIvar(object, "reason", &reasonObject, sizeof(reasonObject));
    return object;
}

void* ObjectHeap::makeBlock() {
    return makeObject(classNamed("__NSGlobalBlock__"));
}

bool setIvar(void* object, std::string_view name, const void* value, size_t size) {
    for (const Class* cls = objectClass(object); cls; cls = cls->superclass) {
        const IvarList* list = readOnlyOf(cls)->ivars;
        for (uint32_t i = 0; list && i < list->count; i++) {
            const Ivar& ivar = list->entries[i];
            if (name != ivar.name || size > ivar.size) continue;
            memcpy(static_cast<char*>(object) + *ivar.offset, value, size);
            return true;
        }
    }
    return false;
}

void useNonPointerIsa(void* object) {
    uintptr_t isa;
    memcpy(&isa, object, sizeof(isa));
    isa = (isa & 0x7ffffffffff8) | 1u | (uintptr_t(0x2d) << 56) | (uintptr_t(1) << 47);
    memcpy(object, &isa, sizeof(isa));
}

Class* objectClass(const void* object) {
    if (!object) return nullptr;
    uintptr_t isa;
    memcpy(&isa, object, sizeof(isa));
    return reinterpret_cast<Class*>(isa & 0x7ffffffffff8);
}

const char* className(const Class* cls) {
    return cls ? readOnlyOf(cls)->name : nullptr;
}

int32_t ivarOffset(const Class* cls, std::string_view name) {
    for (; cls; cls = cls->superclass) {
        const IvarList* list = readOnlyOf(cls)->ivars;
        for (uint32_t i = 0; list && i < list->count; i++)
            if (name == list->entries[i].name) return *list->entries[i].offset;
    }
    return -1;
}

DeallocFunction deallocForClass(Class* cls) {
    DeallocTable& table = deallocTable();
    for (; cls; cls = cls->superclass) {
        if (const DeallocTable::Slot* slot = table.find(cls)) {
            if (DeallocFunction dealloc = slot->dealloc.load(std::memory_order_acquire)) return dealloc;
        }
    }
    return nullptr;
}

DeallocFunction replaceDealloc(Class* cls, DeallocFunction dealloc) {
    DeallocTable& table = deallocTable();
    std::lock_guard lock(table.mutex);
    if (DeallocTable::Slot* slot = table.find(cls)) return slot->dealloc.exchange(dealloc, std::memory_order_acq_rel);
    if (!dealloc) return nullptr;
    const int index = table.used.load(std::memory_order_relaxed);
    if (index == DeallocTable::kCapacity) throw std::length_error("too many classes with a dealloc of their own");
    DeallocTable::Slot& slot = table.slots[index];
    slot.dealloc.store(dealloc, std::memory_order_relaxed);
    slot.cls.store(cls, std::memory_order_relaxed);
    table.used.store(index + 1, std::memory_order_release);
    return nullptr;
}

void release(void* object) {
    if (!object || (reinterpret_cast<uintptr_t>(object) & 1)) return;
    if (const DeallocFunction dealloc = deallocForClass(objectClass(object))) dealloc(object);
}

void defaultDealloc(void* object) {
    ObjectHeap* owner = nullptr;
    {
        FreeableBlocks& table = freeableBlocks();
        std::lock_guard lock(table.mutex);
        if (const auto found = table.owners.find(object); found != table.owners.end()) owner = found->second;
    }
    if (owner) {
        owner->freeBlock(object);
    } else {
        memset(object, 0, sizeof(uintptr_t));  // no class any more: introspection sees no object
    }
}

}  // namespace platform::objc
