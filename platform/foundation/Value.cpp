#include "platform/foundation/Value.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <locale.h>
#include <stdlib.h>
#include <limits>
#include <variant>

namespace platform {

struct Value::Storage {
    std::variant<std::string, Bytes, ArrayItems, DictionaryItems> v;
};

namespace {

const std::string& emptyString() {
    static const std::string s;
    return s;
}
const Value::Bytes& emptyBytes() {
    static const Value::Bytes b;
    return b;
}
const Value::ArrayItems& emptyArray() {
    static const Value::ArrayItems a;
    return a;
}
const Value::DictionaryItems& emptyDictionary() {
    static const Value::DictionaryItems d;
    return d;
}

// NSString's intValue/longLongValue: skip leading white space, optional sign,
// then digits; anything else ends the number. Saturates instead of overflowing.
long long parseLeadingInteger(const std::string& s) {
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    unsigned long long magnitude = 0;
    bool overflow = false;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        unsigned digit = static_cast<unsigned>(s[i] - '0');
        if (magnitude > (std::numeric_limits<unsigned long long>::max() - digit) / 10) {
            overflow = true;
            break;
        }
        magnitude = magnitude * 10 + digit;
    }
    constexpr unsigned long long maxPositive = std::numeric_limits<long long>::max();
    if (negative) {
        if (overflow || magnitude > maxPositive + 1) return std::numeric_limits<long long>::min();
        return magnitude == maxPositive + 1 ? std::numeric_limits<long long>::min()
                                            : -static_cast<long long>(magnitude);
    }
    if (overflow || magnitude > maxPositive) return std::numeric_limits<long long>::max();
    return static_cast<long long>(magnitude);
}

double parseLeadingDouble(const std::string& s) {
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
    if (i < s.size() && s[i] == '+') ++i;
    // The C locale always: a window toolkit may have switched the process
    // to one whose decimal separator is a comma.
    static locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
    return strtod_l(s.c_str() + i, nullptr, cLocale);  // overflow gives +-HUGE_VAL, like NSString
}

// NSString's boolValue: after white space and an optional sign and zeros,
// "Y", "y", "T", "t" or a digit 1-9 means true.
bool parseBool(const std::string& s) {
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    while (i < s.size() && s[i] == '0') ++i;
    if (i >= s.size()) return false;
    char c = s[i];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

int64_t saturatingInt64(double d) {
    if (std::isnan(d)) return 0;
    if (d >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
    if (d <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(d);
}

void appendDouble(std::string& out, double d) {
    if (std::isnan(d)) {
        out += "nan";
        return;
    }
    if (std::isinf(d)) {
        out += d > 0 ? "inf" : "-inf";
        return;
    }
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, d);  // shortest text that reads back the same
    out.append(buf, r.ptr);
}

// Keys and strings in container descriptions are quoted unless they are
// plain words, as the old property-list style does.
bool needsQuotes(const std::string& s) {
    if (s.empty()) return true;
    for (unsigned char c : s) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
              c == '.' || c == '$' || c == '/' || c == ':' || c == '-'))
            return true;
    }
    return false;
}

void appendQuoted(std::string& out, const std::string& s) {
    if (!needsQuotes(s)) {
        out += s;
        return;
    }
    out += '"';
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    out += '"';
}

}  // namespace

Value::Value() noexcept : kind_(Kind::Nil), i_(0) {}
Value::Value(std::nullptr_t) noexcept : Value() {}
Value::Value(bool b) noexcept : kind_(Kind::Boolean), b_(b) {}
Value::Value(int i) noexcept : kind_(Kind::Integer), i_(i) {}
Value::Value(long i) noexcept : kind_(Kind::Integer), i_(i) {}
Value::Value(long long i) noexcept : kind_(Kind::Integer), i_(i) {}
Value::Value(unsigned i) noexcept : kind_(Kind::Integer), i_(i) {}
Value::Value(unsigned long i) noexcept : kind_(Kind::Integer), i_(static_cast<int64_t>(i)) {}
Value::Value(unsigned long long i) noexcept : kind_(Kind::Integer), i_(static_cast<int64_t>(i)) {}
Value::Value(double d) noexcept : kind_(Kind::Float), d_(d) {}
Value::Value(const char* s) : Value() {
    if (s) *this = Value(std::string(s));
}
Value::Value(std::string s) : kind_(Kind::String), i_(0), s_(std::make_shared<Storage>(Storage{std::move(s)})) {}
Value::Value(std::string_view s) : Value(std::string(s)) {}

Value Value::null() {
    Value v;
    v.kind_ = Kind::Null;
    return v;
}

Value Value::data(Bytes bytes) {
    Value v;
    v.kind_ = Kind::Data;
    v.s_ = std::make_shared<Storage>(Storage{std::move(bytes)});
    return v;
}

Value Value::data(const void* bytes, size_t length) {
    const auto* p = static_cast<const uint8_t*>(bytes);
    return data(Bytes(p, p + length));
}

Value Value::date(double secondsSince1970) {
    Value v;
    v.kind_ = Kind::Date;
    v.d_ = secondsSince1970;
    return v;
}

Value Value::array() { return array(ArrayItems{}); }
Value Value::array(std::initializer_list<Value> items) { return array(ArrayItems(items)); }
Value Value::array(ArrayItems items) {
    Value v;
    v.kind_ = Kind::Array;
    v.s_ = std::make_shared<Storage>(Storage{std::move(items)});
    return v;
}

Value Value::dictionary() {
    Value v;
    v.kind_ = Kind::Dictionary;
    v.s_ = std::make_shared<Storage>(Storage{DictionaryItems{}});
    return v;
}

Value Value::dictionary(std::initializer_list<std::pair<const std::string, Value>> items) {
    Value v = dictionary();
    for (const auto& [key, value] : items) v.setObject(value, key);
    return v;
}

bool Value::boolValue() const noexcept {
    switch (kind_) {
    case Kind::Boolean: return b_;
    case Kind::Integer: return i_ != 0;
    case Kind::Float: return d_ != 0.0;
    case Kind::String: return parseBool(stringValue());
    default: return false;
    }
}

long long Value::longLongValue() const noexcept {
    switch (kind_) {
    case Kind::Boolean: return b_ ? 1 : 0;
    case Kind::Integer: return i_;
    case Kind::Float: return saturatingInt64(d_);
    case Kind::String: return parseLeadingInteger(stringValue());
    default: return 0;
    }
}

int Value::intValue() const noexcept {
    if (kind_ == Kind::String) {
        long long v = parseLeadingInteger(stringValue());
        if (v > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
        if (v < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
        return static_cast<int>(v);
    }
    return static_cast<int>(longLongValue());  // numbers truncate, as NSNumber's intValue does
}

unsigned long long Value::unsignedLongLongValue() const noexcept {
    if (kind_ == Kind::Float) {
        if (d_ >= 18446744073709551615.0) return std::numeric_limits<unsigned long long>::max();
        if (d_ >= 9223372036854775808.0) return static_cast<unsigned long long>(d_);
    }
    return static_cast<unsigned long long>(longLongValue());
}

double Value::doubleValue() const noexcept {
    switch (kind_) {
    case Kind::Boolean: return b_ ? 1.0 : 0.0;
    case Kind::Integer: return static_cast<double>(i_);
    case Kind::Float: return d_;
    case Kind::Date: return d_;
    case Kind::String: return parseLeadingDouble(stringValue());
    default: return 0.0;
    }
}

const std::string& Value::stringValue() const noexcept {
    if (kind_ != Kind::String) return emptyString();
    return std::get<std::string>(s_->v);
}

const Value::Bytes& Value::dataValue() const noexcept {
    if (kind_ != Kind::Data) return emptyBytes();
    return std::get<Bytes>(s_->v);
}

double Value::dateValue() const noexcept { return kind_ == Kind::Date ? d_ : 0.0; }

const Value::ArrayItems& Value::arrayItems() const noexcept {
    if (kind_ != Kind::Array) return emptyArray();
    return std::get<ArrayItems>(s_->v);
}

const Value::DictionaryItems& Value::dictionaryItems() const noexcept {
    if (kind_ != Kind::Dictionary) return emptyDictionary();
    return std::get<DictionaryItems>(s_->v);
}

Value::ArrayItems* Value::mutableArrayItems() noexcept {
    return kind_ == Kind::Array ? &std::get<ArrayItems>(s_->v) : nullptr;
}

Value::DictionaryItems* Value::mutableDictionaryItems() noexcept {
    return kind_ == Kind::Dictionary ? &std::get<DictionaryItems>(s_->v) : nullptr;
}

size_t Value::count() const noexcept {
    switch (kind_) {
    case Kind::Array: return arrayItems().size();
    case Kind::Dictionary: return dictionaryItems().size();
    case Kind::String: return stringValue().size();
    case Kind::Data: return dataValue().size();
    default: return 0;
    }
}

Value Value::objectForKey(std::string_view key) const {
    if (kind_ != Kind::Dictionary) return {};
    const auto& items = dictionaryItems();
    auto it = items.find(key);
    return it == items.end() ? Value() : it->second;
}

void Value::setObject(Value object, std::string_view key) {
    auto* items = mutableDictionaryItems();
    if (!items) return;
    if (object.isNil()) {
        removeObjectForKey(key);
        return;
    }
    auto it = items->find(key);
    if (it != items->end())
        it->second = std::move(object);
    else
        items->emplace(std::string(key), std::move(object));
}

void Value::removeObjectForKey(std::string_view key) {
    auto* items = mutableDictionaryItems();
    if (!items) return;
    auto it = items->find(key);
    if (it != items->end()) items->erase(it);
}

std::vector<std::string> Value::allKeys() const {
    std::vector<std::string> keys;
    for (const auto& entry : dictionaryItems()) keys.push_back(entry.first);
    return keys;
}

Value Value::objectAtIndex(size_t index) const {
    const auto& items = arrayItems();
    return index < items.size() ? items[index] : Value();
}

void Value::addObject(Value object) {
    if (auto* items = mutableArrayItems()) items->push_back(std::move(object));
}

void Value::insertObject(Value object, size_t index) {
    auto* items = mutableArrayItems();
    if (!items) return;
    if (index > items->size()) index = items->size();
    items->insert(items->begin() + static_cast<ptrdiff_t>(index), std::move(object));
}

void Value::removeObjectAtIndex(size_t index) {
    auto* items = mutableArrayItems();
    if (items && index < items->size()) items->erase(items->begin() + static_cast<ptrdiff_t>(index));
}

void Value::removeAllObjects() {
    if (auto* a = mutableArrayItems()) a->clear();
    if (auto* d = mutableDictionaryItems()) d->clear();
}

Value Value::deepCopy() const {
    switch (kind_) {
    case Kind::Array: {
        ArrayItems copy;
        copy.reserve(arrayItems().size());
        for (const auto& item : arrayItems()) copy.push_back(item.deepCopy());
        return array(std::move(copy));
    }
    case Kind::Dictionary: {
        Value copy = dictionary();
        auto* items = copy.mutableDictionaryItems();
        for (const auto& [key, item] : dictionaryItems()) items->emplace(key, item.deepCopy());
        return copy;
    }
    default:
        return *this;  // strings and data are immutable, so sharing them is safe
    }
}

bool Value::isSameContainer(const Value& other) const noexcept {
    return (isArray() || isDictionary()) && s_ && s_ == other.s_;
}

bool Value::isEqual(const Value& other) const noexcept {
    if (isNumber() && other.isNumber()) {
        if (isFloat() || other.isFloat()) return doubleValue() == other.doubleValue();
        return longLongValue() == other.longLongValue();
    }
    if (kind_ != other.kind_) return false;
    switch (kind_) {
    case Kind::Nil:
    case Kind::Null: return true;
    case Kind::Date: return d_ == other.d_;
    case Kind::String: return stringValue() == other.stringValue();
    case Kind::Data: return dataValue() == other.dataValue();
    case Kind::Array: {
        if (s_ == other.s_) return true;
        const auto& a = arrayItems();
        const auto& b = other.arrayItems();
        if (a.size() != b.size()) return false;
        for (size_t i = 0; i < a.size(); ++i)
            if (!a[i].isEqual(b[i])) return false;
        return true;
    }
    case Kind::Dictionary: {
        if (s_ == other.s_) return true;
        const auto& a = dictionaryItems();
        const auto& b = other.dictionaryItems();
        if (a.size() != b.size()) return false;
        for (auto ia = a.begin(), ib = b.begin(); ia != a.end(); ++ia, ++ib)
            if (ia->first != ib->first || !ia->second.isEqual(ib->second)) return false;
        return true;
    }
    default: return false;
    }
}

const char* Value::className() const noexcept {
    switch (kind_) {
    case Kind::Nil: return "nil";
    case Kind::Null: return "NSNull";
    case Kind::Boolean:
    case Kind::Integer:
    case Kind::Float: return "NSNumber";
    case Kind::String: return "NSString";
    case Kind::Data: return "NSData";
    case Kind::Date: return "NSDate";
    case Kind::Array: return "NSArray";
    case Kind::Dictionary: return "NSDictionary";
    }
    return "nil";
}

std::string Value::description() const {
    std::string out;
    describeInto(out, 0);
    return out;
}

void Value::describeInto(std::string& out, int indent) const {
    static const char* hex = "0123456789abcdef";
    switch (kind_) {
    case Kind::Nil: out += "(null)"; return;
    case Kind::Null: out += "<null>"; return;
    case Kind::Boolean: out += b_ ? "1" : "0"; return;
    case Kind::Integer: out += std::to_string(i_); return;
    case Kind::Float: appendDouble(out, d_); return;
    case Kind::String:
        if (indent > 0)
            appendQuoted(out, stringValue());
        else
            out += stringValue();
        return;
    case Kind::Data: {
        const auto& bytes = dataValue();
        out += '<';
        for (size_t i = 0; i < bytes.size(); ++i) {
            if (i > 0 && i % 4 == 0) out += ' ';
            out += hex[bytes[i] >> 4];
            out += hex[bytes[i] & 15];
        }
        out += '>';
        return;
    }
    case Kind::Date: {
        // "yyyy-MM-dd HH:mm:ss +0000", as NSDate describes itself.
        time_t t = static_cast<time_t>(std::floor(d_));
        struct tm tm{};
        gmtime_r(&t, &tm);
        char buf[40];
        strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S +0000", &tm);
        out += buf;
        return;
    }
    case Kind::Array: {
        const auto& items = arrayItems();
        if (items.empty()) {
            out += "(\n" + std::string(static_cast<size_t>(indent) * 4, ' ') + ")";
            return;
        }
        out += "(\n";
        for (size_t i = 0; i < items.size(); ++i) {
            out.append(static_cast<size_t>(indent + 1) * 4, ' ');
            items[i].describeInto(out, indent + 1);
            if (i + 1 < items.size()) out += ',';
            out += '\n';
        }
        out.append(static_cast<size_t>(indent) * 4, ' ');
        out += ')';
        return;
    }
    case Kind::Dictionary: {
        out += "{\n";
        for (const auto& [key, item] : dictionaryItems()) {
            out.append(static_cast<size_t>(indent + 1) * 4, ' ');
            appendQuoted(out, key);
            out += " = ";
            item.describeInto(out, indent + 1);
            out += ";\n";
        }
        out.append(static_cast<size_t>(indent) * 4, ' ');
        out += '}';
        return;
    }
    }
}

}  // namespace platform
