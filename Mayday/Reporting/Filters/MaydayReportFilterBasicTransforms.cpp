// The basic per-report filters: key selection, concatenation, subsets and the
// string/data conversions.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "Mayday/Reporting/Filters/MaydayReportFilterBasic.h"
#include "installer/DeepSearch.h"
#include "platform/foundation/DisplayText.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/URL.h"
#include "sentry/DataError.h"

using platform::OptionalError;
using platform::Value;

namespace {

std::string_view bytesOf(const Value::Bytes& data) {
    return {reinterpret_cast<const char*>(data.data()), data.size()};
}

// The text a key path names: a string as it is, any other value by its description.
std::string keyPathText(const Value& keyPath) {
    return keyPath.isString() ? keyPath.stringValue() : keyPath.description();
}

// The key list of concatenate, arrays among `keys` contributing their elements.
Value flattenedKeys(const Value* begin, const Value* end) {
    Value flattened = Value::array();
    for (const Value* key = begin; key != end; ++key) {
        if (key->isArray()) {
            for (const Value& inner : key->arrayItems()) {
                if (!inner.isNil()) flattened.addObject(inner);
            }
        } else if (!key->isNil()) {
            flattened.addObject(*key);
        }
    }
    return flattened;
}

Value keyArray(const Value* begin, const Value* end) {
    Value keys = Value::array();
    for (const Value* key = begin; key != end; ++key) {
        if (!key->isNil()) keys.addObject(*key);
    }
    return keys;
}

}  // namespace

// ---- ObjectForKey.

std::shared_ptr<MaydayReportFilterObjectForKey> MaydayReportFilterObjectForKey::filterWithKey(Value key,
                                                                                            bool allowNotFound) {
    return std::make_shared<MaydayReportFilterObjectForKey>(std::move(key), allowNotFound);
}

MaydayReportFilterObjectForKey::MaydayReportFilterObjectForKey(Value key, bool allowNotFound)
    : key_(std::move(key)), allowNotFound_(allowNotFound) {}

void MaydayReportFilterObjectForKey::filterReports(Value reports, MaydayReportFilterCompletion onCompletion) {
    mdfilter_filterEach(reports, onCompletion, [this](const Value& report, OptionalError& error) -> Value {
        // Only string keys can name a member: dictionary keys are strings.
        Value object = key_.isString() ? objectForKeyPath(report, key_.stringValue()) : Value();
        if (!object.isNil()) return object;
        if (allowNotFound_) return Value::dictionary();
        error = errorWithDomain("MaydayReportFilterObjectForKey", 0, "Key not found: %@", key_);
        return Value();
    });
}

// ---- Concatenate.

std::shared_ptr<MaydayReportFilterConcatenate> MaydayReportFilterConcatenate::filterWithSeparatorFmt(
    std::string separatorFmt, std::vector<Value> keys) {
    return std::make_shared<MaydayReportFilterConcatenate>(
        std::move(separatorFmt), flattenedKeys(keys.data(), keys.data() + keys.size()));
}

MaydayReportFilterConcatenate::MaydayReportFilterConcatenate(std::string separatorFmt,
                                                             std::initializer_list<Value> keys)
    : separatorFmt_(std::move(separatorFmt)), keys_(flattenedKeys(keys.begin(), keys.end())) {}

MaydayReportFilterConcatenate::MaydayReportFilterConcatenate(std::string separatorFmt, Value keysArray)
    : separatorFmt_(std::move(separatorFmt)),
      keys_(flattenedKeys(keysArray.arrayItems().data(), keysArray.arrayItems().data() + keysArray.count())) {}

void MaydayReportFilterConcatenate::filterReports(Value reports, MaydayReportFilterCompletion onCompletion) {
    mdfilter_filterEach(reports, onCompletion, [this](const Value& report, OptionalError&) -> Value {
        std::string concatenated;
        bool first = true;
        for (const Value& key : keys_.arrayItems()) {
            if (!first) concatenated += platform::format(separatorFmt_.c_str(), key);
            first = false;
            concatenated += platform::format("%@", objectForKeyPath(report, keyPathText(key)));
        }
        return Value(std::move(concatenated));
    });
}

// ---- Subset.

std::shared_ptr<MaydayReportFilterSubset> MaydayReportFilterSubset::filterWithKeys(std::vector<Value> keyPaths) {
    return std::make_shared<MaydayReportFilterSubset>(keyArray(keyPaths.data(), keyPaths.data() + keyPaths.size()));
}

MaydayReportFilterSubset::MaydayReportFilterSubset(std::initializer_list<Value> keyPaths)
    : keyPaths_(keyArray(keyPaths.begin(), keyPaths.end())) {}

MaydayReportFilterSubset::MaydayReportFilterSubset(Value keyPathsArray)
    : keyPaths_(keyArray(keyPathsArray.arrayItems().data(),
                         keyPathsArray.arrayItems().data() + keyPathsArray.count())) {}

void MaydayReportFilterSubset::filterReports(Value reports, MaydayReportFilterCompletion onCompletion) {
    mdfilter_filterEach(reports, onCompletion, [this](const Value& report, OptionalError& error) -> Value {
        Value subset = Value::dictionary();
        for (const Value& keyPath : keyPaths_.arrayItems()) {
            const std::string path = keyPathText(keyPath);
            Value object = objectForKeyPath(report, path);
            if (object.isNil()) {
                error = errorWithDomain("MaydayReportFilterSubset", 0, "Report did not have key path %@", keyPath);
                return Value();
            }
            subset.setObject(std::move(object), platform::lastPathComponentOfString(path));
        }
        return subset;
    });
}

// ---- DataToString.

std::shared_ptr<MaydayReportFilterDataToString> MaydayReportFilterDataToString::filter() {
    return std::make_shared<MaydayReportFilterDataToString>();
}

void MaydayReportFilterDataToString::filterReports(Value reports, MaydayReportFilterCompletion onCompletion) {
    mdfilter_filterEach(reports, onCompletion, [](const Value& report, OptionalError& error) -> Value {
        std::optional<std::string> text;
        if (report.isData()) text = platform::utf8Text(bytesOf(report.dataValue()), false);
        if (!text) {
            error = errorWithDomain("MaydayReportFilterDataToString", 0, "Could not convert report from UTF-8");
            return Value();
        }
        return Value(std::move(*text));
    });
}

// ---- StringToData.

std::shared_ptr<MaydayReportFilterStringToData> MaydayReportFilterStringToData::filter() {
    return std::make_shared<MaydayReportFilterStringToData>();
}

void MaydayReportFilterStringToData::filterReports(Value reports, MaydayReportFilterCompletion onCompletion) {
    mdfilter_filterEach(reports, onCompletion, [](const Value& report, OptionalError& error) -> Value {
        const std::string& text = report.stringValue();
        if (!report.isString() || !platform::utf8Text(text, false)) {
            error = errorWithDomain("MaydayReportFilterStringToData", 0, "Could not convert report to UTF-8");
            return Value();
        }
        return Value::data(text.data(), text.size());
    });
}

// ---- Stringify.

std::shared_ptr<MaydayReportFilterStringify> MaydayReportFilterStringify::filter() {
    return std::make_shared<MaydayReportFilterStringify>();
}

Value MaydayReportFilterStringify::stringifyObject(const Value& object) const {
    if (object.isString()) return object;
    // A report with one stray byte is still worth reading as text.
    if (object.isData()) return Value(*platform::utf8Text(bytesOf(object.dataValue()), true));
    return Value(platform::format("%@", object));
}

void MaydayReportFilterStringify::filterReports(Value reports, MaydayReportFilterCompletion onCompletion) {
    mdfilter_filterEach(reports, onCompletion,
                        [this](const Value& report, OptionalError&) -> Value { return stringifyObject(report); });
}
