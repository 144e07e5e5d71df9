// Key paths over Value containers. A Value answers a container operation by
// its kind: dictionaries look up, arrays index, everything else has no
// entries. Indexes are checked against the array's length: a read past the
// end gives nil, a set or remove past the end fails like an unusable parent.
#include "installer/DeepSearch.h"

#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Format.h"

using platform::Value;

namespace {

// A dictionary key's text: strings as they are, numbers by their description.
std::string keyText(const Value& key) { return key.isString() ? key.stringValue() : key.description(); }

// Whether `key` answers intValue, and as an index when it does.
bool answersIntValue(const Value& key) { return key.isString() || key.isNumber(); }

bool indexFor(const Value& key, size_t count, size_t* index) {
    if (!answersIntValue(key)) return false;
    if (key.isString()) {
        const std::string& text = key.stringValue();
        if (!text.empty() && (text[0] < '0' || text[0] > '9')) return false;
    }
    const long long value = key.longLongValue();
    if (value < 0 || static_cast<unsigned long long>(value) >= count) return false;
    *index = static_cast<size_t>(value);
    return true;
}

Value step(const Value& current, const Value& key) {
    if (current.isDictionary()) return current.objectForKey(keyText(key));
    size_t index = 0;
    if (!current.isArray() || !indexFor(key, current.count(), &index)) return Value();
    return current.objectAtIndex(index);
}

Value parentKeys(const Value& deepKey) {
    Value keys = Value::array();
    const auto& items = deepKey.arrayItems();
    for (size_t i = 0; i + 1 < items.size(); ++i) keys.addObject(items[i]);
    return keys;
}

void requireKeys(const Value& deepKey) {
    if (deepKey.count() == 0) {
        throw platform::InvalidArgumentException(
            platform::format("deepKey %@ must contain at least one key", deepKey));
    }
}

Value resolveParent(const Value& root, const Value& deepKey) {
    if (deepKey.count() == 1) return root;
    const Value keys = parentKeys(deepKey);
    Value parent = objectForDeepKey(root, keys);
    if (parent.isNil()) {
        throw platform::InvalidArgumentException(
            platform::format("Parent %@ does not resolve to a valid object", keys), "NSInternalInconsistencyException");
    }
    return parent;
}

[[noreturn]] void notAContainer(const Value& deepKey, const Value& parent, const Value& lastKey,
                                const char* keyedSelector, const char* indexedSelector) {
    const std::string reason =
        answersIntValue(lastKey)
            ? platform::format("Parent %@ of type %@ does not respond to \"%s\" or \"%s\"", parentKeys(deepKey),
                               parent.className(), keyedSelector, indexedSelector)
            : platform::format("Parent %@ of type %@ does not respond to \"%s\"", parentKeys(deepKey),
                               parent.className(), keyedSelector);
    throw platform::InvalidArgumentException(reason, "NSInternalInconsistencyException");
}

}  // namespace

Value deepKeyForPath(std::string_view keyPath, bool forReading) {
    if (forReading) {
        while (!keyPath.empty() && keyPath.front() == '/') keyPath.remove_prefix(1);
    }
    Value keys = Value::array();
    for (;;) {
        const size_t slash = keyPath.find('/');
        keys.addObject(Value(keyPath.substr(0, slash)));
        if (slash == std::string_view::npos) break;
        keyPath.remove_prefix(slash + 1);
    }
    return keys;
}

Value objectForDeepKey(const Value& root, const Value& deepKey) {
    Value current = root;
    for (const Value& key : deepKey.arrayItems()) {
        current = step(current, key);
        if (current.isNil()) return Value();
    }
    return current;
}

Value objectForKeyPath(const Value& root, std::string_view keyPath) {
    return objectForDeepKey(root, deepKeyForPath(keyPath, true));
}

void setObjectForDeepKey(const Value& root, const Value& object, const Value& deepKey) {
    requireKeys(deepKey);
    Value parent = resolveParent(root, deepKey);
    const Value lastKey = deepKey[deepKey.count() - 1];
    if (parent.isDictionary()) {
        parent.setObject(object, keyText(lastKey));
        return;
    }
    size_t index = 0;
    if (parent.isArray() && indexFor(lastKey, parent.count(), &index) && !object.isNil()) {
        (*parent.mutableArrayItems())[index] = object;
        return;
    }
    notAContainer(deepKey, parent, lastKey, "setObject:forKey:", "replaceObjectAtIndex:withObject:");
}

void setObjectForKeyPath(const Value& root, const Value& object, std::string_view keyPath) {
    setObjectForDeepKey(root, object, deepKeyForPath(keyPath, false));
}

void removeObjectForDeepKey(const Value& root, const Value& deepKey) {
    requireKeys(deepKey);
    Value parent = resolveParent(root, deepKey);
    const Value lastKey = deepKey[deepKey.count() - 1];
    if (parent.isDictionary()) {
        parent.removeObjectForKey(keyText(lastKey));
        return;
    }
    size_t index = 0;
    if (parent.isArray() && indexFor(lastKey, parent.count(), &index)) {
        parent.removeObjectAtIndex(index);
        return;
    }
    notAContainer(deepKey, parent, lastKey, "removeObjectForKey:", "removeObjectAtIndex:");
}

void removeObjectForKeyPath(const Value& root, std::string_view keyPath) {
    removeObjectForDeepKey(root, deepKeyForPath(keyPath, false));
}
