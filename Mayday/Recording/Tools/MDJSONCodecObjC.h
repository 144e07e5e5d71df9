// Converts between the platform's Values (dictionaries, arrays, strings,
// numbers, null, dates, data) and JSON bytes, on top of the crash-path
// encoder and decoder. Not for the crash path: it allocates.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Mayday/Recording/Tools/MDJSONCodec.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

// Encode options.
enum MDJSONEncodeOption : unsigned {
    MDJSONEncodeOptionPretty = 1,
    MDJSONEncodeOptionSorted = 2,
};
// Decode options.
enum MDJSONDecodeOption : unsigned {
    MDJSONDecodeOptionIgnoreNullInArray = 1,
    MDJSONDecodeOptionIgnoreNullInObject = 2,
    MDJSONDecodeOptionKeepPartialObject = 4,
};

class MDJSONCodec {
public:
    // The JSON text of `object`, or nothing on failure. `error` (when given)
    // receives the codec's error, or is cleared when none was recorded.
    static std::optional<platform::Value::Bytes> encode(const platform::Value& object, unsigned encodeOptions,
                                                        platform::OptionalError* error = nullptr);
    // The top-level dictionary or array, or nil (the partial result with
    // MDJSONDecodeOptionKeepPartialObject).
    static platform::Value decode(const platform::Value::Bytes& data, unsigned decodeOptions,
                                  platform::OptionalError* error = nullptr);

    static std::unique_ptr<MDJSONCodec> codecWithEncodeOptions(unsigned encodeOptions, unsigned decodeOptions);
    MDJSONCodec(unsigned encodeOptions, unsigned decodeOptions);

    // State of one run.
    const platform::Value& topLevelContainer() const noexcept { return topLevelContainer_; }
    const platform::OptionalError& error() const noexcept { return error_; }
    const MDJSONDecodeCallbacks* callbacks() const noexcept { return &callbacks_; }
    bool prettyPrint() const noexcept { return prettyPrint_; }
    bool sorted() const noexcept { return sorted_; }
    bool ignoreNullsInArrays() const noexcept { return ignoreNullsInArrays_; }
    bool ignoreNullsInObjects() const noexcept { return ignoreNullsInObjects_; }

private:
    friend struct MDJSONCodecAccess;
    platform::Value topLevelContainer_;
    // Unretained: the container stack's last entry, or null.
    const platform::Value* currentContainer_ = nullptr;
    // Its items (one of the two is set while a container is open).
    platform::Value::ArrayItems* currentArray_ = nullptr;
    platform::Value::DictionaryItems* currentDictionary_ = nullptr;
    std::string key_;  // reused for every member name
    std::vector<platform::Value> containerStack_;
    MDJSONDecodeCallbacks callbacks_{};
    platform::OptionalError error_;
    bool prettyPrint_ = false;
    bool sorted_ = false;
    bool ignoreNullsInArrays_ = false;
    bool ignoreNullsInObjects_ = false;
    bool keepPartialObject_ = false;
};
