// The one value type of the product: stands in for Foundation's property-list
// objects (NSDictionary, NSArray, NSString, NSNumber, NSNull, NSData, NSDate).
//
// Strings, numbers, data and dates are immutable values. Arrays and
// dictionaries have reference semantics like the mutable Foundation
// containers: copying a Value shares the container; deepCopy() duplicates it.
// Dictionary keys are strings and come out in sorted order, so every
// listing and every encoding is deterministic. Not thread-safe: share a
// container between threads only after it is built.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

class Value {
public:
    enum class Kind : uint8_t {
        Nil,        // absent: Objective-C nil
        Null,       // NSNull
        Boolean,    // NSNumber made from a BOOL
        Integer,    // NSNumber holding an integer (signed 64-bit)
        Float,      // NSNumber holding a double
        String,     // NSString (UTF-8)
        Data,       // NSData
        Date,       // NSDate (seconds since 1970-01-01T00:00:00Z)
        Array,      // NSMutableArray
        Dictionary  // NSMutableDictionary with string keys
    };
    using ArrayItems = std::vector<Value>;
    using DictionaryItems = std::map<std::string, Value, std::less<>>;
    using Bytes = std::vector<uint8_t>;

    Value() noexcept;  // nil
    Value(std::nullptr_t) noexcept;  // nil, so `return nullptr;` reads naturally
    Value(bool b) noexcept;
    Value(int i) noexcept;
    Value(long i) noexcept;
    Value(long long i) noexcept;
    Value(unsigned i) noexcept;
    Value(unsigned long i) noexcept;       // reinterpreted as signed 64-bit
    Value(unsigned long long i) noexcept;  // reinterpreted as signed 64-bit
    Value(double d) noexcept;
    Value(const char* s);  // nil when s is null
    Value(std::string s);
    Value(std::string_view s);

    static Value null();
    static Value data(Bytes bytes);
    static Value data(const void* bytes, size_t length);
    static Value date(double secondsSince1970);
    static Value array();
    static Value array(std::initializer_list<Value> items);
    static Value array(ArrayItems items);
    static Value dictionary();
    static Value dictionary(std::initializer_list<std::pair<const std::string, Value>> items);

    Kind kind() const noexcept { return kind_; }
    bool isNil() const noexcept { return kind_ == Kind::Nil; }
    bool isNull() const noexcept { return kind_ == Kind::Null; }
    bool isBoolean() const noexcept { return kind_ == Kind::Boolean; }
    bool isInteger() const noexcept { return kind_ == Kind::Integer; }
    bool isFloat() const noexcept { return kind_ == Kind::Float; }
    bool isNumber() const noexcept {
        return kind_ == Kind::Boolean || kind_ == Kind::Integer || kind_ == Kind::Float;
    }
    bool isString() const noexcept { return kind_ == Kind::String; }
    bool isData() const noexcept { return kind_ == Kind::Data; }
    bool isDate() const noexcept { return kind_ == Kind::Date; }
    bool isArray() const noexcept { return kind_ == Kind::Array; }
    bool isDictionary() const noexcept { return kind_ == Kind::Dictionary; }

    // Foundation accessors. Numbers convert between kinds; strings parse a
    // leading number the way NSString does; everything else answers 0/false.
    bool boolValue() const noexcept;
    int intValue() const noexcept;
    long long longLongValue() const noexcept;
    unsigned long long unsignedLongLongValue() const noexcept;
    double doubleValue() const noexcept;

    // The text of a string; empty for every other kind.
    const std::string& stringValue() const noexcept;
    // The bytes of a data value; empty for every other kind.
    const Bytes& dataValue() const noexcept;
    // Seconds since 1970 of a date; 0 for every other kind.
    double dateValue() const noexcept;

    // Containers. Reading from a value that is not a container answers
    // nil or 0; writing to one does nothing.
    size_t count() const noexcept;
    Value objectForKey(std::string_view key) const;
    Value operator[](std::string_view key) const { return objectForKey(key); }
    Value operator[](const char* key) const { return objectForKey(key); }
    void setObject(Value object, std::string_view key);  // a nil object removes the key
    void removeObjectForKey(std::string_view key);
    std::vector<std::string> allKeys() const;
    Value objectAtIndex(size_t index) const;  // nil when out of range
    Value operator[](size_t index) const { return objectAtIndex(index); }
    Value operator[](int index) const { return index < 0 ? Value() : objectAtIndex(static_cast<size_t>(index)); }
    void addObject(Value object);
    void insertObject(Value object, size_t index);
    void removeObjectAtIndex(size_t index);
    void removeAllObjects();

    // Direct access to container storage; empty for non-containers.
    const ArrayItems& arrayItems() const noexcept;
    const DictionaryItems& dictionaryItems() const noexcept;
    ArrayItems* mutableArrayItems() noexcept;
    DictionaryItems* mutableDictionaryItems() noexcept;

    // A copy that shares no container with this one.
    Value deepCopy() const;
    // Whether two values share the same container storage (containers only).
    bool isSameContainer(const Value& other) const noexcept;

    // Structural equality (isEqual:). Integer 1 and Float 1.0 are equal, as
    // NSNumbers are; Boolean true equals Integer 1.
    bool isEqual(const Value& other) const noexcept;
    friend bool operator==(const Value& a, const Value& b) noexcept { return a.isEqual(b); }

    // The Foundation class name for error texts: "NSString", "NSNumber",
    // "NSNull", "NSData", "NSDate", "NSArray", "NSDictionary"; "nil" for nil.
    const char* className() const noexcept;
    // The text "%@" shows: the string itself, numbers in decimal, "(null)"
    // for nil, "<null>" for null, containers in the old property-list style.
    std::string description() const;

private:
    struct Storage;
    Kind kind_;
    union {
        bool b_;
        int64_t i_;
        double d_;
    };
    std::shared_ptr<Storage> s_;  // string, data, array or dictionary storage

    void describeInto(std::string& out, int indent) const;
};

}  // namespace platform
