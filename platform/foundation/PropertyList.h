// Property lists: stands in for NSPropertyListSerialization and
// NSDictionary's initWithContentsOfFile: (XML and binary forms, via libplist).
#pragma once

#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace platform {

class PropertyList {
public:
    // Reads an XML or binary property list. Nil on failure.
    static Value read(const Value::Bytes& bytes, Error* error = nullptr);
    static Value readFile(const std::string& path, Error* error = nullptr);
    // initWithContentsOfFile: of NSDictionary: nil unless the root is a dictionary.
    static Value dictionaryWithContentsOfFile(const std::string& path);
    // Writes an XML property list. Nil and null cannot be written (empty result, error).
    static std::string writeXML(const Value& root, Error* error = nullptr);
    static bool writeXMLFile(const Value& root, const std::string& path, Error* error = nullptr);
};

}  // namespace platform
