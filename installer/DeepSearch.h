// Nested dictionaries and arrays addressed by a list of keys (a deep key) or
// by a "/"-separated key path such as "crash/threads/0/index": stands in for
// the DeepSearch category on NSDictionary and NSArray.
//
// A dictionary is indexed by the key unchanged (a number key by its decimal
// text); an array by the key's integer value, where a text key counts only
// when it is empty or starts with a digit. Reading never fails: every
// unusable step (missing key, index past the end, a scalar in the way) gives
// nil. Setting and removing change the containers in place (Values share
// container storage) and raise platform::InvalidArgumentException, changing
// nothing, when the path cannot be followed.
#pragma once

#include <string_view>

#include "platform/foundation/Value.h"

// `deepKey` is an array of keys (strings or numbers); an empty one answers
// the root itself.
platform::Value objectForDeepKey(const platform::Value& root, const platform::Value& deepKey);
// Leading "/" characters are ignored when reading.
platform::Value objectForKeyPath(const platform::Value& root, std::string_view keyPath);

// Store `object` under the last key in the container the other keys reach.
// An array element is replaced, never appended; an index past the end fails.
void setObjectForDeepKey(const platform::Value& root, const platform::Value& object, const platform::Value& deepKey);
void setObjectForKeyPath(const platform::Value& root, const platform::Value& object, std::string_view keyPath);

void removeObjectForDeepKey(const platform::Value& root, const platform::Value& deepKey);
void removeObjectForKeyPath(const platform::Value& root, std::string_view keyPath);

// The components of a key path: split at every "/", after dropping the
// leading ones when `forReading`.
platform::Value deepKeyForPath(std::string_view keyPath, bool forReading);
