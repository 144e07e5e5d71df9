// libFuzzer target for the JSON codec. Every input goes through:
// 1. mdjson_decode with a small work buffer of exactly its size (so the
//    address sanitizer sees any write past it), re-encoding each event into
//    an encoder whose sink discards the bytes;
// 2. mdjson_addJSONElement into an open document, with and without closing
//    the embedded containers (with closing, the level must come back);
// 3. MDJSONCodec::decode; when that succeeds, encoding the result (compact
//    and pretty) must succeed and decode again to the same values.
// Any broken promise aborts, so libFuzzer keeps the input.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "Mayday/Recording/Tools/MDJSONCodec.h"
#include "Mayday/Recording/Tools/MDJSONCodecObjC.h"

using platform::Value;

namespace {

constexpr int kSmallBufferLength = 96;  // names up to 23 bytes, strings up to 71

[[noreturn]] void fail(const char* what, const std::string& detail = {}) {
    fprintf(stderr, "fuzz_json_decode: %s %s\n", what, detail.c_str());
    abort();
}

int discardBytes(const char*, int length, void* userData) {
    if (length < 0) fail("negative length handed to the sink");
    *static_cast<size_t*>(userData) += static_cast<size_t>(length);
    return MDJSON_OK;
}

MDJSONEncodeContext* target(void* userData) { return static_cast<MDJSONEncodeContext*>(userData); }

int reBoolean(const char* name, bool value, void* u) { return mdjson_addBooleanElement(target(u), name, value); }
int reFloat(const char* name, double value, void* u) { return mdjson_addFloatingPointElement(target(u), name, value); }
int reInteger(const char* name, int64_t value, void* u) { return mdjson_addIntegerElement(target(u), name, value); }
int reNull(const char* name, void* u) { return mdjson_addNullElement(target(u), name); }
int reString(const char* name, const char* value, void* u) {
    return mdjson_addStringElement(target(u), name, value, -1);
}
int reBeginObject(const char* name, void* u) { return mdjson_beginObject(target(u), name); }
int reBeginArray(const char* name, void* u) { return mdjson_beginArray(target(u), name); }
int reEndContainer(void* u) { return mdjson_endContainer(target(u)); }
int reEndData(void* u) { return mdjson_endEncode(target(u)); }

const MDJSONDecodeCallbacks kReencode = {reBoolean,     reFloat,      reInteger,      reNull,   reString,
                                         reBeginObject, reBeginArray, reEndContainer, reEndData};

void decodeWithSmallBuffer(const char* data, int length) {
    size_t written = 0;
    MDJSONEncodeContext context;
    mdjson_beginEncode(&context, false, discardBytes, &written);
    auto buffer = std::make_unique<char[]>(kSmallBufferLength);
    int errorOffset = -1;
    const int result = mdjson_decode(data, length, buffer.get(), kSmallBufferLength, &kReencode, &context, &errorOffset);
    if (result != MDJSON_OK && (errorOffset < 0 || errorOffset > length)) {
        fail("error offset outside the input", std::to_string(errorOffset));
    }
    if (result == MDJSON_OK && context.containerLevel != 0) fail("containers left open after a decode");
}

void embed(const char* data, int length, bool closeLastContainer, bool pretty) {
    size_t written = 0;
    MDJSONEncodeContext context;
    mdjson_beginEncode(&context, pretty, discardBytes, &written);
    if (mdjson_beginObject(&context, nullptr) != MDJSON_OK) fail("cannot open the top object");
    mdjson_addJSONElement(&context, "embedded", data, length, closeLastContainer);
    if (closeLastContainer && context.containerLevel != 1) {
        fail("embedding left the level at", std::to_string(context.containerLevel));
    }
    if (context.containerLevel < 1 || context.containerLevel >= MDJSON_MAX_CONTAINER_DEPTH) {
        fail("level out of range", std::to_string(context.containerLevel));
    }
    mdjson_endEncode(&context);
    if (context.containerLevel != 0) fail("endEncode left containers open");
}

// Equal up to the six significant digits the encoder writes; a non-finite
// double comes back as null.
bool sameValue(const Value& a, const Value& b) {
    if (a.isFloat() && !std::isfinite(a.doubleValue())) return b.isNull();
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
    case Value::Kind::Float: {
        const double x = a.doubleValue(), y = b.doubleValue();
        return x == y || std::fabs(x - y) <= 1e-5 * std::fmax(std::fabs(x), std::fabs(y)) + 1e-320;
    }
    case Value::Kind::Array: {
        if (a.count() != b.count()) return false;
        for (size_t i = 0; i < a.count(); ++i) {
            if (!sameValue(a.arrayItems()[i], b.arrayItems()[i])) return false;
        }
        return true;
    }
    case Value::Kind::Dictionary: {
        if (a.count() != b.count()) return false;
        auto it = b.dictionaryItems().begin();
        for (const auto& [key, value] : a.dictionaryItems()) {
            if (it->first != key || !sameValue(value, it->second)) return false;
            ++it;
        }
        return true;
    }
    default:
        return a.isEqual(b);
    }
}

void objectRoundTrip(const uint8_t* data, size_t size) {
    const Value::Bytes input(data, data + size);
    platform::OptionalError error;
    const Value first = MDJSONCodec::decode(input, 0, &error);
    if (first.isNil()) {
        if (!error) fail("a failed decode recorded no error");
        // The partial tree of a failed decode is still a well-formed tree.
        const Value partial = MDJSONCodec::decode(input, MDJSONDecodeOptionKeepPartialObject);
        if (!partial.isNil() && !MDJSONCodec::encode(partial, 0)) fail("a partial tree does not encode");
        return;
    }
    if (error) fail("a successful decode left an error", error->description());
    if (!first.isArray() && !first.isDictionary()) fail("the top level is not a container");
    for (unsigned options : {0u, 1u}) {
        auto encoded = MDJSONCodec::encode(first, options, &error);
        if (!encoded) fail("a decoded tree does not encode:", platform::describe(error));
        const Value second = MDJSONCodec::decode(*encoded, 0, &error);
        if (second.isNil()) {
            fail("the re-encoded text does not decode:",
                 platform::describe(error) + "\n" + std::string(encoded->begin(), encoded->end()));
        }
        if (!sameValue(first, second)) {
            fail("the round trip changed values:", std::string(encoded->begin(), encoded->end()));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    // The input is copied so that reads past its end land outside an allocation of exactly its size.
    std::unique_ptr<char[]> copy(new char[size ? size : 1]);
    if (size) memcpy(copy.get(), data, size);
    const int length = static_cast<int>(size);

    decodeWithSmallBuffer(copy.get(), length);
    embed(copy.get(), length, true, false);
    embed(copy.get(), length, false, true);
    objectRoundTrip(data, size);
    return 0;
}
