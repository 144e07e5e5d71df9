// The system JSON parser and writer: stands in for NSJSONSerialization.
//
// Numbers keep their kind: integers that fit in 64 bits become Integer
// (unsigned ones above 2^63-1 are reinterpreted as signed, as the product's
// reports store addresses), other numbers Float, true/false Boolean.
#pragma once

#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace platform {

class JSONSerialization {
public:
    enum ReadingOptions : unsigned {
        MutableContainers = 1,
        MutableLeaves = 2,
        AllowFragments = 4,  // a top-level value other than object or array
    };
    enum WritingOptions : unsigned {
        PrettyPrinted = 1,
        SortedKeys = 2,  // keys are always sorted; accepted for parity
    };

    // Parses `data`. Without AllowFragments a top-level scalar is an error.
    // On failure answers nil and, when `error` is given, fills it (Cocoa
    // domain, code 3840, a description naming the problem and its offset).
    static Value JSONObjectWithData(const Value::Bytes& data, unsigned options = 0, Error* error = nullptr);
    static Value JSONObjectWithData(const std::string& data, unsigned options = 0, Error* error = nullptr);

    // Writes `object` as UTF-8 JSON. Dates are written as seconds since
    // 1970, data as base64 text. Nil or a non-finite float fails with an
    // error (Cocoa domain, code 3851) and empty bytes.
    static std::string dataWithJSONObject(const Value& object, unsigned options = 0, Error* error = nullptr);
};

}  // namespace platform
