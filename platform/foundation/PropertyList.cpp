// Property lists through libplist: its nodes are converted to and from
// Values at the boundary, and every libplist allocation is owned by a RAII
// holder so no error path leaks.
#include "platform/foundation/PropertyList.h"

#include <cerrno>
#include <cmath>
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include <plist/plist.h>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/FileManagerDetail.h"

namespace platform {

namespace {

constexpr long kReadCorruptError = 3840;   // NSPropertyListReadCorruptError
constexpr long kWriteInvalidError = 3851;  // NSPropertyListWriteInvalidError
constexpr long kFileReadUnknownError = 256;
constexpr long kFileReadNoPermissionError = 257;
constexpr long kFileReadNoSuchFileError = 260;
// libplist counts dates from 2001-01-01, Foundation's reference date.
constexpr double kSecondsFrom1970To2001 = 978307200.0;
// Guards the recursive conversions against cyclic or absurdly deep input.
constexpr int kMaxDepth = 512;

struct PlistDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

struct MallocDeleter {
    void operator()(void* p) const { std::free(p); }
};
using MallocPtr = std::unique_ptr<char, MallocDeleter>;

struct XmlDeleter {
    void operator()(char* p) const { plist_to_xml_free(p); }
};

Error readCorrupt(const std::string& detail) {
    return Error(kCocoaErrorDomain, kReadCorruptError,
                 "The data couldn't be read because it isn't in the correct format. " + detail);
}

Error writeInvalid(const std::string& detail) {
    return Error(kCocoaErrorDomain, kWriteInvalidError, "The property list cannot be written: " + detail);
}

uint64_t readBigEndian(const uint8_t* p, size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
    return v;
}

// libplist's binary reader recurses once per nesting level and overflows
// the stack on hostile input; walk the object graph here first, without
// recursion, and refuse lists nested deeper than we convert anyway.
bool binaryNestingIsAcceptable(const uint8_t* data, size_t size) {
    constexpr size_t kHeader = 8, kTrailer = 32;
    if (size < kHeader + kTrailer) return false;
    const uint8_t* trailer = data + size - kTrailer;
    size_t offsetSize = trailer[6], refSize = trailer[7];
    uint64_t count = readBigEndian(trailer + 8, 8);
    uint64_t top = readBigEndian(trailer + 16, 8);
    uint64_t tableOffset = readBigEndian(trailer + 24, 8);
    size_t body = size - kTrailer;
    if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8) return false;
    if (count == 0 || count > body || top >= count || tableOffset < kHeader || tableOffset > body ||
        count > (body - tableOffset) / offsetSize) {
        return false;
    }
    auto offsetOf = [&](uint64_t object) {
        return readBigEndian(data + tableOffset + object * offsetSize, offsetSize);
    };
    // The references of a container object, or an empty range for scalars.
    struct Refs {
        uint64_t start = 0, count = 0;
        bool ok = true;
    };
    auto refsOf = [&](uint64_t object) {
        Refs refs;
        uint64_t at = offsetOf(object);
        if (at < kHeader || at >= tableOffset) return Refs{0, 0, false};
        uint8_t marker = data[at];
        uint8_t type = marker >> 4;
        if (type != 0xA && type != 0xC && type != 0xD) return refs;  // not a container
        uint64_t n = marker & 0x0f;
        uint64_t pos = at + 1;
        if (n == 0x0f) {  // the count follows as an integer object
            if (pos >= tableOffset || (data[pos] >> 4) != 0x1) return Refs{0, 0, false};
            size_t width = size_t(1) << (data[pos] & 0x0f);
            if (width > 8 || pos + 1 + width > tableOffset) return Refs{0, 0, false};
            n = readBigEndian(data + pos + 1, width);
            pos += 1 + width;
        }
        if (type == 0xD) {
            if (n > count) return Refs{0, 0, false};
            n *= 2;  // keys, then values
        }
        if (n > (tableOffset - pos) / refSize) return Refs{0, 0, false};
        refs.start = pos;
        refs.count = n;
        return refs;
    };

    enum : uint8_t { kUnseen, kOpen, kDone };
    std::vector<uint8_t> state(count, kUnseen);
    std::vector<uint32_t> height(count, 0);  // levels at and below an object
    struct Frame {
        uint64_t object;
        Refs refs;
        uint64_t next = 0;
        uint32_t tallestChild = 0;
    };
    std::vector<Frame> stack;
    auto open = [&](uint64_t object) {
        Refs refs = refsOf(object);
        if (!refs.ok) return false;
        state[object] = kOpen;
        stack.push_back(Frame{object, refs});
        return stack.size() <= size_t(kMaxDepth);
    };
    if (!open(top)) return false;
    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.next == frame.refs.count) {
            state[frame.object] = kDone;
            height[frame.object] = frame.tallestChild + 1;
            uint32_t h = height[frame.object];
            stack.pop_back();
            if (!stack.empty()) stack.back().tallestChild = std::max(stack.back().tallestChild, h);
            continue;
        }
        uint64_t child = readBigEndian(data + frame.refs.start + frame.next * refSize, refSize);
        ++frame.next;
        if (child >= count || state[child] == kOpen) return false;  // dangling or cyclic
        if (state[child] == kDone) {
            if (stack.size() + height[child] > size_t(kMaxDepth)) return false;
            frame.tallestChild = std::max(frame.tallestChild, height[child]);
            continue;
        }
        if (!open(child)) return false;
    }
    return true;
}

bool toValue(plist_t node, int depth, Value& out) {
    if (depth > kMaxDepth) return false;
    switch (plist_get_node_type(node)) {
        case PLIST_DICT: {
            Value dict = Value::dictionary();
            auto* items = dict.mutableDictionaryItems();
            plist_dict_iter rawIter = nullptr;
            plist_dict_new_iter(node, &rawIter);
            MallocPtr iter(static_cast<char*>(rawIter));
            for (;;) {
                char* rawKey = nullptr;
                plist_t child = nullptr;
                plist_dict_next_item(node, rawIter, &rawKey, &child);
                MallocPtr key(rawKey);
                if (!child) break;
                Value v;
                if (!toValue(child, depth + 1, v)) return false;
                items->insert_or_assign(std::string(key ? key.get() : ""), std::move(v));
            }
            out = std::move(dict);
            return true;
        }
        case PLIST_ARRAY: {
            Value array = Value::array();
            auto* items = array.mutableArrayItems();
            uint32_t n = plist_array_get_size(node);
            items->reserve(n);
            for (uint32_t i = 0; i < n; ++i) {
                Value v;
                if (!toValue(plist_array_get_item(node, i), depth + 1, v)) return false;
                items->push_back(std::move(v));
            }
            out = std::move(array);
            return true;
        }
        case PLIST_STRING:
        case PLIST_KEY: {
            uint64_t length = 0;
            const char* s = plist_get_string_ptr(node, &length);
            out = s ? Value(std::string(s, length)) : Value(std::string());
            return true;
        }
        case PLIST_BOOLEAN: {
            uint8_t b = 0;
            plist_get_bool_val(node, &b);
            out = Value(b != 0);
            return true;
        }
        case PLIST_UINT: {
            // libplist keeps negative integers as their two's complement.
            uint64_t u = 0;
            plist_get_uint_val(node, &u);
            out = Value(static_cast<long long>(u));
            return true;
        }
        case PLIST_REAL: {
            double d = 0;
            plist_get_real_val(node, &d);
            out = Value(d);
            return true;
        }
        case PLIST_DATE: {
            // libplist splits the date into whole seconds (truncated toward
            // zero) and the magnitude of the fraction.
            int32_t sec = 0, usec = 0;
            plist_get_date_val(node, &sec, &usec);
            double fraction = usec / 1e6;
            double since2001 = sec < 0 ? sec - fraction : sec + fraction;
            out = Value::date(since2001 + kSecondsFrom1970To2001);
            return true;
        }
        case PLIST_DATA: {
            uint64_t length = 0;
            const char* bytes = plist_get_data_ptr(node, &length);
            out = Value::data(bytes, bytes ? length : 0);
            return true;
        }
        case PLIST_UID: {
            // Keyed-archive references, shown the way Foundation converts them.
            uint64_t uid = 0;
            plist_get_uid_val(node, &uid);
            out = Value::dictionary({{"CF$UID", Value(static_cast<long long>(uid))}});
            return true;
        }
        default:
            return false;
    }
}

PlistPtr fromValue(const Value& v, int depth, std::string& problem) {
    if (depth > kMaxDepth) {
        problem = "too deeply nested (or cyclic)";
        return nullptr;
    }
    switch (v.kind()) {
        case Value::Kind::Nil:
            problem = "nil is not a property list object";
            return nullptr;
        case Value::Kind::Null:
            problem = "null is not a property list object";
            return nullptr;
        case Value::Kind::Boolean:
            return PlistPtr(plist_new_bool(v.boolValue() ? 1 : 0));
        case Value::Kind::Integer:
            return PlistPtr(plist_new_uint(static_cast<uint64_t>(v.longLongValue())));
        case Value::Kind::Float:
            return PlistPtr(plist_new_real(v.doubleValue()));
        case Value::Kind::String: {
            const std::string& s = v.stringValue();
            if (s.find('\0') != std::string::npos) {
                problem = "a string holds a NUL character";
                return nullptr;
            }
            return PlistPtr(plist_new_string(s.c_str()));
        }
        case Value::Kind::Data: {
            const auto& bytes = v.dataValue();
            return PlistPtr(plist_new_data(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        }
        case Value::Kind::Date: {
            double since2001 = v.dateValue() - kSecondsFrom1970To2001;
            double whole = std::trunc(since2001);
            if (!std::isfinite(since2001) || whole < std::numeric_limits<int32_t>::min() ||
                whole > std::numeric_limits<int32_t>::max()) {
                problem = "a date is out of range";
                return nullptr;
            }
            auto usec = static_cast<int32_t>(std::lround((since2001 - whole) * 1e6));
            return PlistPtr(plist_new_date(static_cast<int32_t>(whole), usec));
        }
        case Value::Kind::Array: {
            PlistPtr array(plist_new_array());
            for (const Value& item : v.arrayItems()) {
                PlistPtr child = fromValue(item, depth + 1, problem);
                if (!child) return nullptr;
                plist_array_append_item(array.get(), child.release());
            }
            return array;
        }
        case Value::Kind::Dictionary: {
            PlistPtr dict(plist_new_dict());
            for (const auto& [key, item] : v.dictionaryItems()) {
                if (key.find('\0') != std::string::npos) {
                    problem = "a key holds a NUL character";
                    return nullptr;
                }
                PlistPtr child = fromValue(item, depth + 1, problem);
                if (!child) return nullptr;
                plist_dict_set_item(dict.get(), key.c_str(), child.release());
            }
            return dict;
        }
    }
    problem = "unknown value kind";
    return nullptr;
}

}  // namespace

Value PropertyList::read(const Value::Bytes& bytes, Error* error) {
    if (bytes.empty()) {
        if (error) *error = readCorrupt("The data is empty.");
        return {};
    }
    if (bytes.size() > std::numeric_limits<uint32_t>::max()) {
        if (error) *error = readCorrupt("The data is too large.");
        return {};
    }
    const char* raw = reinterpret_cast<const char*>(bytes.data());
    auto length = static_cast<uint32_t>(bytes.size());
    plist_t rawRoot = nullptr;
    if (length >= 8 && std::memcmp(raw, "bplist00", 8) == 0) {
        if (!binaryNestingIsAcceptable(bytes.data(), bytes.size())) {
            if (error) *error = readCorrupt("It is not a valid binary property list, or is nested too deeply.");
            return {};
        }
        plist_from_bin(raw, length, &rawRoot);
    } else {
        plist_from_xml(raw, length, &rawRoot);
    }
    PlistPtr root(rawRoot);
    Value result;
    if (!root) {
        if (error) *error = readCorrupt("It is not a valid XML or binary property list.");
        return {};
    }
    if (!toValue(root.get(), 0, result)) {
        if (error) *error = readCorrupt("It is nested too deeply or holds an unknown kind of object.");
        return {};
    }
    return result;
}

Value PropertyList::readFile(const std::string& path, Error* error) {
    Value::Bytes bytes;
    int err = 0;
    if (!detail::readFileBytes(path, bytes, err)) {
        if (error) {
            long code = err == ENOENT ? kFileReadNoSuchFileError
                        : (err == EACCES || err == EPERM) ? kFileReadNoPermissionError
                                                          : kFileReadUnknownError;
            Value info = Value::dictionary({{"NSFilePath", Value(path)}});
            *error = Error(kCocoaErrorDomain, code,
                           "The file \"" + path + "\" couldn't be read: " + std::strerror(err), info);
        }
        return {};
    }
    return read(bytes, error);
}

Value PropertyList::dictionaryWithContentsOfFile(const std::string& path) {
    Value v = readFile(path);
    return v.isDictionary() ? v : Value();
}

std::string PropertyList::writeXML(const Value& root, Error* error) {
    std::string problem;
    PlistPtr node = fromValue(root, 0, problem);
    if (!node) {
        if (error) *error = writeInvalid(problem);
        return {};
    }
    char* rawXml = nullptr;
    uint32_t length = 0;
    plist_to_xml(node.get(), &rawXml, &length);
    std::unique_ptr<char, XmlDeleter> xml(rawXml);
    if (!xml) {
        if (error) *error = writeInvalid("the XML encoder failed");
        return {};
    }
    return std::string(xml.get(), length);
}

bool PropertyList::writeXMLFile(const Value& root, const std::string& path, Error* error) {
    std::string xml = writeXML(root, error);
    if (xml.empty()) return false;
    return FileManager::defaultManager().createFileAtPath(path, Value::Bytes(xml.begin(), xml.end()), error);
}

}  // namespace platform
