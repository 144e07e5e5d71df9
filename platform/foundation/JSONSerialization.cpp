// JSON reading and writing. Reading drives nlohmann's SAX parser straight
// into Values (no intermediate DOM): the feed and crash reports are decoded
// on this path, so it matters.
#include "platform/foundation/JSONSerialization.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace platform {

namespace {

constexpr long kReadCorruptError = 3840;   // NSPropertyListReadCorruptError
constexpr long kWriteInvalidError = 3851;  // NSPropertyListWriteInvalidError
// Deeper documents are refused: every consumer of Value recurses, and a
// hostile document must not be able to exhaust a thread's stack.
constexpr size_t kMaxDepth = 512;

const char* const kReadFailure = "The data couldn't be read because it isn't in the correct format.";

// `offset` is the byte where the parser gave up, when it is known.
Error readError(const std::string& detail, std::optional<size_t> offset) {
    Value info = Value::dictionary();
    info.setObject(Value(detail), "NSDebugDescription");
    std::string description = std::string(kReadFailure) + " " + detail;
    if (offset) {
        info.setObject(Value(static_cast<long long>(*offset)), "NSJSONSerializationErrorIndex");
        description += " (around character " + std::to_string(*offset) + ")";
    }
    return Error(kCocoaErrorDomain, kReadCorruptError, description, info);
}

Error writeError(const std::string& detail) {
    Value info = Value::dictionary();
    info.setObject(Value(detail), "NSDebugDescription");
    return Error(kCocoaErrorDomain, kWriteInvalidError,
                 "The data couldn't be written because it isn't in the correct format. " + detail, info);
}

class ValueBuilder {
public:
    using json = nlohmann::json;
    using number_integer_t = json::number_integer_t;
    using number_unsigned_t = json::number_unsigned_t;
    using number_float_t = json::number_float_t;
    using string_t = json::string_t;
    using binary_t = json::binary_t;

    explicit ValueBuilder(bool allowFragments) : allowFragments_(allowFragments) {
        stack_.reserve(16);
        keys_.reserve(16);
    }

    bool null() { return put(Value::null()); }
    bool boolean(bool v) { return put(Value(v)); }
    bool number_integer(number_integer_t v) { return put(Value(static_cast<long long>(v))); }
    // Above INT64_MAX the bits are kept as a signed value: reports store
    // addresses this way.
    bool number_unsigned(number_unsigned_t v) { return put(Value(static_cast<unsigned long long>(v))); }
    bool number_float(number_float_t v, const string_t&) { return put(Value(static_cast<double>(v))); }
    bool string(string_t& v) { return put(Value(std::move(v))); }
    bool binary(binary_t&) { return fail("Binary values are not JSON"); }

    bool start_object(std::size_t) { return open(Value::dictionary()); }
    bool key(string_t& k) {
        keys_.back() = std::move(k);
        return true;
    }
    bool end_object() { return close(); }
    bool start_array(std::size_t) { return open(Value::array()); }
    bool end_array() { return close(); }

    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& ex) {
        if (!failed_) {
            failed_ = true;
            std::string what = ex.what();
            // Drop the library's "[json.exception.parse_error.101] " tag.
            if (size_t tag = what.find("] "); !what.empty() && what[0] == '[' && tag != std::string::npos) {
                what.erase(0, tag + 2);
            }
            detail_ = what;
            // The parser counts characters read; report the 0-based offset.
            position_ = position > 0 ? position - 1 : 0;
        }
        return false;
    }

    bool failed() const { return failed_; }
    const std::string& detail() const { return detail_; }
    // Known only when the parser (not this handler) found the problem.
    std::optional<size_t> position() const { return position_; }
    Value result() { return std::move(root_); }

private:
    bool allowFragments_;
    std::vector<Value> stack_;
    std::vector<std::string> keys_;
    Value root_;
    bool failed_ = false;
    std::string detail_;
    std::optional<size_t> position_;

    bool fail(const char* detail) {
        failed_ = true;
        detail_ = detail;
        return false;
    }

    bool put(Value v) {
        if (stack_.empty()) {
            if (!allowFragments_ && !v.isArray() && !v.isDictionary()) {
                return fail("JSON text did not start with array or object and option to allow fragments not set.");
            }
            root_ = std::move(v);
            return true;
        }
        Value& top = stack_.back();
        if (top.isArray()) {
            top.mutableArrayItems()->push_back(std::move(v));
        } else {
            top.mutableDictionaryItems()->insert_or_assign(std::move(keys_.back()), std::move(v));
        }
        return true;
    }

    bool open(Value container) {
        if (stack_.size() >= kMaxDepth) return fail("Too many nested arrays or dictionaries.");
        stack_.push_back(std::move(container));
        keys_.emplace_back();
        return true;
    }

    bool close() {
        Value done = std::move(stack_.back());
        stack_.pop_back();
        keys_.pop_back();
        if (stack_.empty()) {
            root_ = std::move(done);
            return true;
        }
        return put(std::move(done));
    }
};

Value parse(const char* begin, const char* end, unsigned options, Error* error) {
    ValueBuilder builder((options & JSONSerialization::AllowFragments) != 0);
    bool ok = false;
    try {
        ok = nlohmann::json::sax_parse(begin, end, &builder, nlohmann::json::input_format_t::json, true, false);
    } catch (const std::exception& ex) {
        if (error) *error = readError(ex.what(), std::nullopt);
        return {};
    }
    if (!ok || builder.failed()) {
        if (error) {
            std::string detail = builder.failed() ? builder.detail() : std::string("Unexpected end of input.");
            *error = readError(detail, builder.failed() ? builder.position() : std::nullopt);
        }
        return {};
    }
    return builder.result();
}

// --- writing ---------------------------------------------------------------

void appendEscaped(std::string& out, std::string_view s) {
    static const char hex[] = "0123456789abcdef";
    out.push_back('"');
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            switch (c) {
                case '"': out += "\\\""; break;
                case '\\': out += "\\\\"; break;
                case '\n': out += "\\n"; break;
                case '\r': out += "\\r"; break;
                case '\t': out += "\\t"; break;
                case '\b': out += "\\b"; break;
                case '\f': out += "\\f"; break;
                default:
                    if (c < 0x20) {
                        out += "\\u00";
                        out.push_back(hex[c >> 4]);
                        out.push_back(hex[c & 0xf]);
                    } else {
                        out.push_back(static_cast<char>(c));
                    }
            }
            ++i;
            continue;
        }
        // Copy a well-formed UTF-8 sequence; anything else becomes U+FFFD so
        // the output is always valid JSON.
        size_t len = 0;
        uint32_t cp = 0;
        if (c >= 0xc2 && c <= 0xdf) { len = 2; cp = c & 0x1f; }
        else if (c >= 0xe0 && c <= 0xef) { len = 3; cp = c & 0x0f; }
        else if (c >= 0xf0 && c <= 0xf4) { len = 4; cp = c & 0x07; }
        bool valid = len != 0 && i + len <= s.size();
        for (size_t k = 1; valid && k < len; ++k) {
            unsigned char cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xc0) != 0x80) valid = false;
            cp = (cp << 6) | (cc & 0x3f);
        }
        if (valid) {
            if ((len == 3 && (cp < 0x800 || (cp >= 0xd800 && cp <= 0xdfff))) ||
                (len == 4 && (cp < 0x10000 || cp > 0x10ffff))) {
                valid = false;
            }
        }
        if (valid) {
            out.append(s.substr(i, len));
            i += len;
        } else {
            out += "\xef\xbf\xbd";
            ++i;
        }
    }
    out.push_back('"');
}

// The shortest text that reads back as the same double; integral values
// keep a ".0" so they read back as Float, not Integer.
void appendDouble(std::string& out, double d) {
    char buf[40];
    for (int precision = 15; precision <= 17; ++precision) {
        std::snprintf(buf, sizeof buf, "%.*g", precision, d);
        if (std::strtod(buf, nullptr) == d) break;
    }
    std::string_view text(buf);
    out.append(text);
    if (text.find_first_of(".eE") == std::string_view::npos) out += ".0";
}

void appendBase64(std::string& out, const Value::Bytes& bytes) {
    static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    out.push_back('"');
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        uint32_t n = (uint32_t(bytes[i]) << 16) | (uint32_t(bytes[i + 1]) << 8) | bytes[i + 2];
        out.push_back(table[(n >> 18) & 63]);
        out.push_back(table[(n >> 12) & 63]);
        out.push_back(table[(n >> 6) & 63]);
        out.push_back(table[n & 63]);
    }
    if (size_t left = bytes.size() - i; left > 0) {
        uint32_t n = uint32_t(bytes[i]) << 16;
        if (left == 2) n |= uint32_t(bytes[i + 1]) << 8;
        out.push_back(table[(n >> 18) & 63]);
        out.push_back(table[(n >> 12) & 63]);
        out.push_back(left == 2 ? table[(n >> 6) & 63] : '=');
        out.push_back('=');
    }
    out.push_back('"');
}

class Writer {
public:
    explicit Writer(bool pretty) : pretty_(pretty) {}

    bool write(const Value& v, size_t depth) {
        switch (v.kind()) {
            case Value::Kind::Nil:
                return fail("Invalid value (nil) in JSON write.");
            case Value::Kind::Null:
                out_ += "null";
                return true;
            case Value::Kind::Boolean:
                out_ += v.boolValue() ? "true" : "false";
                return true;
            case Value::Kind::Integer:
                out_ += std::to_string(v.longLongValue());
                return true;
            case Value::Kind::Float:
            case Value::Kind::Date: {
                double d = v.isDate() ? v.dateValue() : v.doubleValue();
                if (!std::isfinite(d)) return fail("Invalid number value (infinite or NaN) in JSON write.");
                appendDouble(out_, d);
                return true;
            }
            case Value::Kind::String:
                appendEscaped(out_, v.stringValue());
                return true;
            case Value::Kind::Data:
                appendBase64(out_, v.dataValue());
                return true;
            case Value::Kind::Array: {
                if (depth >= kMaxDepth) return fail("Too many nested arrays or dictionaries (or a cycle).");
                const auto& items = v.arrayItems();
                if (items.empty()) {
                    out_ += "[]";
                    return true;
                }
                out_.push_back('[');
                bool first = true;
                for (const Value& item : items) {
                    if (!first) out_.push_back(',');
                    first = false;
                    newline(depth + 1);
                    if (!write(item, depth + 1)) return false;
                }
                newline(depth);
                out_.push_back(']');
                return true;
            }
            case Value::Kind::Dictionary: {
                if (depth >= kMaxDepth) return fail("Too many nested arrays or dictionaries (or a cycle).");
                const auto& items = v.dictionaryItems();
                if (items.empty()) {
                    out_ += "{}";
                    return true;
                }
                out_.push_back('{');
                bool first = true;
                for (const auto& [key, item] : items) {
                    if (!first) out_.push_back(',');
                    first = false;
                    newline(depth + 1);
                    appendEscaped(out_, key);
                    out_ += pretty_ ? " : " : ":";
                    if (!write(item, depth + 1)) return false;
                }
                newline(depth);
                out_.push_back('}');
                return true;
            }
        }
        return fail("Unknown value kind in JSON write.");
    }

    std::string take() { return std::move(out_); }
    const std::string& detail() const { return detail_; }

private:
    bool pretty_;
    std::string out_;
    std::string detail_;

    void newline(size_t depth) {
        if (!pretty_) return;
        out_.push_back('\n');
        out_.append(depth * 2, ' ');
    }

    bool fail(const char* detail) {
        detail_ = detail;
        return false;
    }
};

}  // namespace

Value JSONSerialization::JSONObjectWithData(const Value::Bytes& data, unsigned options, Error* error) {
    const char* begin = reinterpret_cast<const char*>(data.data());
    return parse(begin, begin + data.size(), options, error);
}

Value JSONSerialization::JSONObjectWithData(const std::string& data, unsigned options, Error* error) {
    return parse(data.data(), data.data() + data.size(), options, error);
}

std::string JSONSerialization::dataWithJSONObject(const Value& object, unsigned options, Error* error) {
    Writer writer((options & PrettyPrinted) != 0);
    if (!writer.write(object, 0)) {
        if (error) *error = writeError(writer.detail());
        return {};
    }
    return writer.take();
}

}  // namespace platform
