// The object layer of the JSON codec: platform Values to JSON bytes through
// the crash-path encoder, and JSON bytes to Values through the crash-path
// decoder. Runs off the crash path (it allocates freely).
#include "Mayday/Recording/Tools/MDJSONCodecObjC.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>

#include "Mayday/Recording/Tools/MDDate.h"
#include "sentry/DataError.h"

using platform::Value;

namespace {

constexpr const char* kErrorDomain = "MDJSONCodecObjC";

// The work buffer the design gives the decoder: a quarter for member names
// (2499 bytes and a NUL), the rest for string values.
constexpr size_t kMinimumDecodeBufferLength = 10001;

int addEncodedData(const char* data, int length, void* userData) {
    auto* bytes = static_cast<Value::Bytes*>(userData);
    bytes->insert(bytes->end(), data, data + length);
    return MDJSON_OK;
}

bool isNumberTextByte(uint8_t c) {
    return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

}  // namespace

// The codec's callbacks and encoder; a friend so the state stays private.
struct MDJSONCodecAccess {
    static MDJSONCodec& codec(void* userData) { return *static_cast<MDJSONCodec*>(userData); }

    static int fail(MDJSONCodec& codec, int code, platform::Error error) {
        if (!codec.error_) codec.error_ = std::move(error);
        return code;
    }

    // ---- Decoding.

    static int addValue(MDJSONCodec& c, const char* name, Value&& value) {
        if (c.currentDictionary_) {
            // Reuse one key string: the node gets its copy, no temporary per member.
            c.key_.assign(name ? name : "");
            c.currentDictionary_->insert_or_assign(c.key_, std::move(value));
            return MDJSON_OK;
        }
        if (c.currentArray_) {
            c.currentArray_->push_back(std::move(value));
            return MDJSON_OK;
        }
        return fail(c, MDJSON_ERROR_INVALID_DATA,
                    errorWithDomain(kErrorDomain, 0, "Type %@ not allowed as top level container",
                                    std::string(value.className())));
    }

    static int onBooleanElement(const char* name, bool value, void* userData) {
        return addValue(codec(userData), name, Value(value));
    }
    static int onFloatingPointElement(const char* name, double value, void* userData) {
        return addValue(codec(userData), name, Value(value));
    }
    static int onIntegerElement(const char* name, int64_t value, void* userData) {
        return addValue(codec(userData), name, Value(static_cast<long long>(value)));
    }
    static int onNullElement(const char* name, void* userData) {
        MDJSONCodec& c = codec(userData);
        if ((c.ignoreNullsInArrays_ && c.currentArray_) || (c.ignoreNullsInObjects_ && c.currentDictionary_)) {
            return MDJSON_OK;
        }
        return addValue(c, name, Value::null());
    }
    static int onStringElement(const char* name, const char* value, void* userData) {
        return addValue(codec(userData), name, Value(std::string(value, strlen(value))));
    }
    static int beginContainer(MDJSONCodec& c, const char* name, Value&& container) {
        if (c.topLevelContainer_.isNil()) {
            c.topLevelContainer_ = container;
        } else {
            const int result = addValue(c, name, Value(container));
            if (result != MDJSON_OK) return result;
        }
        c.containerStack_.push_back(std::move(container));
        setCurrent(c, c.containerStack_.back());
        return MDJSON_OK;
    }
    static int onBeginObject(const char* name, void* userData) {
        return beginContainer(codec(userData), name, Value::dictionary());
    }
    static int onBeginArray(const char* name, void* userData) {
        return beginContainer(codec(userData), name, Value::array());
    }
    static int onEndContainer(void* userData) {
        MDJSONCodec& c = codec(userData);
        if (c.containerStack_.empty()) {
            return fail(c, MDJSON_ERROR_INVALID_DATA,
                        errorWithDomain(kErrorDomain, 0, "Already at the top level; no container left to end"));
        }
        c.containerStack_.pop_back();
        if (c.containerStack_.empty()) {
            c.currentContainer_ = nullptr;
            c.currentArray_ = nullptr;
            c.currentDictionary_ = nullptr;
        } else {
            setCurrent(c, c.containerStack_.back());
        }
        return MDJSON_OK;
    }
    static int onEndData(void*) { return MDJSON_OK; }

    // The stack keeps the container alive, so the item pointers stay valid
    // while it is current; they are taken again after every push and pop.
    static void setCurrent(MDJSONCodec& c, Value& container) {
        c.currentContainer_ = &container;
        c.currentArray_ = container.mutableArrayItems();
        c.currentDictionary_ = container.mutableDictionaryItems();
    }

    static void fillCallbacks(MDJSONDecodeCallbacks& callbacks) {
        callbacks.onBooleanElement = onBooleanElement;
        callbacks.onFloatingPointElement = onFloatingPointElement;
        callbacks.onIntegerElement = onIntegerElement;
        callbacks.onNullElement = onNullElement;
        callbacks.onStringElement = onStringElement;
        callbacks.onBeginObject = onBeginObject;
        callbacks.onBeginArray = onBeginArray;
        callbacks.onEndContainer = onEndContainer;
        callbacks.onEndData = onEndData;
    }

    // ---- Encoding.

    static int encodeObject(MDJSONCodec& c, const Value& object, const char* name, MDJSONEncodeContext* context,
                            Value::Bytes& out) {
        switch (object.kind()) {
        case Value::Kind::String: {
            const std::string& text = object.stringValue();
            if (text.size() > static_cast<size_t>(INT_MAX)) {
                return fail(c, MDJSON_ERROR_DATA_TOO_LONG,
                            errorWithDomain(kErrorDomain, 0, "%s (offset %d)",
                                            mdjson_stringForError(MDJSON_ERROR_DATA_TOO_LONG), 0));
            }
            const int result =
                mdjson_addStringElement(context, name, text.data(), static_cast<int>(text.size()));
            if (result == MDJSON_ERROR_INVALID_CHARACTER) {
                return fail(c, result, errorWithDomain(kErrorDomain, 0, "Invalid character in %@", text));
            }
            return result;
        }
        case Value::Kind::Float: {
            const size_t before = out.size();
            const int result = mdjson_addFloatingPointElement(context, name, object.doubleValue());
            if (result == MDJSON_OK) keepFloatingPointKind(out, before);
            return result;
        }
        case Value::Kind::Boolean:
            return mdjson_addBooleanElement(context, name, object.boolValue());
        case Value::Kind::Integer:
            return mdjson_addIntegerElement(context, name, object.longLongValue());
        case Value::Kind::Array: {
            int result = mdjson_beginArray(context, name);
            if (result != MDJSON_OK) return result;
            for (const Value& element : object.arrayItems()) {
                result = encodeObject(c, element, nullptr, context, out);
                if (result != MDJSON_OK) return result;
            }
            return mdjson_endContainer(context);
        }
        case Value::Kind::Dictionary: {
            int result = mdjson_beginObject(context, name);
            if (result != MDJSON_OK) return result;
            // The items are kept in key order already, so `sorted` needs no extra work.
            for (const auto& [key, value] : object.dictionaryItems()) {
                result = encodeObject(c, value, key.c_str(), context, out);
                if (result != MDJSON_OK) return result;
            }
            return mdjson_endContainer(context);
        }
        case Value::Kind::Null:
            return mdjson_addNullElement(context, name);
        case Value::Kind::Date: {
            char text[21] = {};
            mddate_utcStringFromTimestamp(truncatedSeconds(object.dateValue()), text);
            return mdjson_addStringElement(context, name, text, static_cast<int>(strnlen(text, 20)));
        }
        case Value::Kind::Data: {
            const Value::Bytes& bytes = object.dataValue();
            if (bytes.size() > static_cast<size_t>(INT_MAX / 2)) {
                return fail(c, MDJSON_ERROR_DATA_TOO_LONG,
                            errorWithDomain(kErrorDomain, 0, "%s (offset %d)",
                                            mdjson_stringForError(MDJSON_ERROR_DATA_TOO_LONG), 0));
            }
            return mdjson_addDataElement(context, name, reinterpret_cast<const char*>(bytes.data()),
                                         static_cast<int>(bytes.size()));
        }
        case Value::Kind::Nil:
            break;
        }
        return fail(c, MDJSON_ERROR_INVALID_DATA,
                    errorWithDomain(kErrorDomain, 0, "Could not determine type of %@",
                                    std::string(object.className())));
    }

    // Seconds since 1970 cut toward zero; times no calendar text can show are
    // clamped so the conversion stays defined.
    static time_t truncatedSeconds(double seconds) {
        constexpr double kLimit = 253402300799.0;  // 9999-12-31T23:59:59Z
        if (std::isnan(seconds)) return 0;
        if (seconds > kLimit) return static_cast<time_t>(kLimit);
        if (seconds < -kLimit) return static_cast<time_t>(-kLimit);
        return static_cast<time_t>(std::trunc(seconds));
    }

    // Mended: the encoder writes doubles in the six-digit "%lg" form, so a
    // whole-valued double (1.0, -250.0, 123456.0) came out as "1" and was read
    // back as an integer. Such a text gets ".0" so the value stays a floating
    // point number when the document is decoded again. The number text is
    // the tail of what the element wrote; non-finite values are written as
    // null and are left alone.
    static void keepFloatingPointKind(Value::Bytes& out, size_t elementStart) {
        size_t start = out.size();
        while (start > elementStart && isNumberTextByte(out[start - 1])) --start;
        if (start == out.size()) return;
        for (size_t i = start; i < out.size(); ++i) {
            if (out[i] == '.' || out[i] == 'e' || out[i] == 'E') return;
        }
        out.push_back('.');
        out.push_back('0');
    }
};

MDJSONCodec::MDJSONCodec(unsigned encodeOptions, unsigned decodeOptions)
    : prettyPrint_((encodeOptions & MDJSONEncodeOptionPretty) != 0),
      sorted_((encodeOptions & MDJSONEncodeOptionSorted) != 0),
      ignoreNullsInArrays_((decodeOptions & MDJSONDecodeOptionIgnoreNullInArray) != 0),
      ignoreNullsInObjects_((decodeOptions & MDJSONDecodeOptionIgnoreNullInObject) != 0),
      keepPartialObject_((decodeOptions & MDJSONDecodeOptionKeepPartialObject) != 0) {
    MDJSONCodecAccess::fillCallbacks(callbacks_);
}

std::unique_ptr<MDJSONCodec> MDJSONCodec::codecWithEncodeOptions(unsigned encodeOptions, unsigned decodeOptions) {
    return std::make_unique<MDJSONCodec>(encodeOptions, decodeOptions);
}

std::optional<Value::Bytes> MDJSONCodec::encode(const Value& object, unsigned encodeOptions,
                                                platform::OptionalError* error) {
    MDJSONCodec codec(encodeOptions, 0);
    Value::Bytes data;
    MDJSONEncodeContext context;
    mdjson_beginEncode(&context, codec.prettyPrint_, addEncodedData, &data);
    const int result = MDJSONCodecAccess::encodeObject(codec, object, nullptr, &context, data);
    if (error) *error = codec.error_;
    if (result != MDJSON_OK) return std::nullopt;
    return data;
}

Value MDJSONCodec::decode(const Value::Bytes& data, unsigned decodeOptions, platform::OptionalError* error) {
    MDJSONCodec codec(0, decodeOptions);
    int errorOffset = 0;
    int result;
    if (data.size() > static_cast<size_t>(INT_MAX / 4 - 1)) {
        // Past what the decoder's lengths can describe.
        result = MDJSON_ERROR_DATA_TOO_LONG;
    } else {
        // Mended: the fixed 10001-byte work buffer refused valid documents
        // holding a name longer than 2499 bytes or a string longer than 7500.
        // Sized from the input, the name quarter and the string rest each
        // hold anything the input can hold. It is not zero-filled: the
        // decoder terminates every text it writes, and untouched pages of a
        // large buffer then cost nothing.
        const size_t length = std::max(kMinimumDecodeBufferLength, 4 * (data.size() + 1));
        auto buffer = std::make_unique_for_overwrite<char[]>(length);
        result = mdjson_decode(reinterpret_cast<const char*>(data.data()), static_cast<int>(data.size()),
                               buffer.get(), static_cast<int>(length), &codec.callbacks_, &codec, &errorOffset);
    }
    if (result != MDJSON_OK && !codec.error_) {
        codec.error_ = errorWithDomain(kErrorDomain, 0, "%s (offset %d)", mdjson_stringForError(result), errorOffset);
    }
    if (error) *error = codec.error_;
    if (result == MDJSON_OK || codec.keepPartialObject_) return codec.topLevelContainer_;
    return Value();
}
