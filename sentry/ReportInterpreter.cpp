#include "sentry/ReportInterpreter.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <limits>

#include "installer/DeepSearch.h"
#include "platform/foundation/Format.h"

using Value = ::platform::Value;

namespace reportvalue {

namespace {

// Whole-text decimal (or, with `allowHex`, "0x" hexadecimal) digits; no
// sign, no spaces. Nothing when empty, malformed or above 2^64-1.
std::optional<uint64_t> parseUnsigned(std::string_view text, bool allowHex) {
    int base = 10;
    if (allowHex && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return std::nullopt;
    uint64_t result = 0;
    for (char ch : text) {
        unsigned digit;
        if (ch >= '0' && ch <= '9') {
            digit = static_cast<unsigned>(ch - '0');
        } else if (base == 16 && std::isxdigit(static_cast<unsigned char>(ch))) {
            digit = static_cast<unsigned>(std::tolower(static_cast<unsigned char>(ch)) - 'a' + 10);
        } else {
            return std::nullopt;
        }
        if (result > (std::numeric_limits<uint64_t>::max() - digit) / static_cast<unsigned>(base)) return std::nullopt;
        result = result * static_cast<unsigned>(base) + digit;
    }
    return result;
}

// An integral float that fits in a signed 64-bit integer.
std::optional<int64_t> integralFloat(double d) {
    if (!std::isfinite(d) || d != std::floor(d)) return std::nullopt;
    if (d < -9223372036854775808.0 || d >= 9223372036854775808.0) return std::nullopt;
    return static_cast<int64_t>(d);
}

}  // namespace

std::optional<uint64_t> unsignedNumber(const Value& value) {
    switch (value.kind()) {
    case Value::Kind::Integer:
    case Value::Kind::Float: return value.unsignedLongLongValue();
    case Value::Kind::String: return parseUnsigned(value.stringValue(), true);
    default: return std::nullopt;
    }
}

std::string addressText(uint64_t address) {
    return ::platform::format("0x%016llx", static_cast<unsigned long long>(address));
}

std::optional<int64_t> integer(const Value& value) {
    switch (value.kind()) {
    case Value::Kind::Integer: return value.longLongValue();
    case Value::Kind::Float: return integralFloat(value.doubleValue());
    case Value::Kind::String: {
        std::string_view text = value.stringValue();
        const bool negative = !text.empty() && text[0] == '-';
        if (negative) text.remove_prefix(1);
        const auto magnitude = parseUnsigned(text, false);
        constexpr uint64_t maxPositive = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
        if (!magnitude || *magnitude > maxPositive + (negative ? 1 : 0)) return std::nullopt;
        if (negative) return *magnitude == maxPositive + 1 ? std::numeric_limits<int64_t>::min()
                                                           : -static_cast<int64_t>(*magnitude);
        return static_cast<int64_t>(*magnitude);
    }
    default: return std::nullopt;
    }
}

std::optional<int64_t> nonNegativeInteger(const Value& value) {
    const auto number = integer(value);
    if (!number || *number < 0) return std::nullopt;
    return number;
}

std::optional<bool> boolean(const Value& value) {
    if (value.isBoolean()) return value.boolValue();
    if (value.isInteger() && (value.longLongValue() == 0 || value.longLongValue() == 1)) return value.boolValue();
    return std::nullopt;
}

Value textOrNil(const Value& value) { return value.isString() ? value : Value(); }

}  // namespace reportvalue

using reportvalue::addressText;
using reportvalue::textOrNil;
using reportvalue::unsignedNumber;

namespace {

constexpr const char* kLevels[] = {"debug", "info", "warning", "error", "fatal"};

Value ofKind(const Value& value, Value::Kind kind) { return value.kind() == kind ? value : Value(); }

bool isLevel(const Value& value) {
    if (!value.isString()) return false;
    for (const char* level : kLevels)
        if (value.stringValue() == level) return true;
    return false;
}

bool isHexText(std::string_view text) {
    if (text.empty()) return false;
    for (char ch : text)
        if (!std::isxdigit(static_cast<unsigned char>(ch))) return false;
    return true;
}

std::string lowerCaseWithout(std::string_view text, char dropped) {
    std::string result;
    result.reserve(text.size());
    for (char ch : text)
        if (ch != dropped) result += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return result;
}

// Tag values are text on the server: numbers become their decimal text;
// containers, null, data and dates have no tag form and are left out.
Value tagText(const Value& value) {
    switch (value.kind()) {
    case Value::Kind::String: return value;
    case Value::Kind::Boolean: return Value(value.boolValue() ? "true" : "false");
    case Value::Kind::Integer:
    case Value::Kind::Float: return Value(value.description());
    default: return Value();
    }
}

// "yyyy-MM-dd HH:mm:ss.SSS ZZZ" ("2026-12-08 08:33:50.123 +0000") as RFC
// 3339 ("2026-12-08T08:33:50.123+00:00"); any other text as it is.
std::string breadcrumbTime(const std::string& text) {
    static constexpr std::string_view kPattern = "dddd-dd-dd dd:dd:dd.ddd +dddd";
    if (text.size() != kPattern.size()) return text;
    for (size_t i = 0; i < kPattern.size(); i++) {
        const char expected = kPattern[i];
        const char ch = text[i];
        const bool ok = expected == 'd'   ? std::isdigit(static_cast<unsigned char>(ch)) != 0
                        : expected == '+' ? ch == '+' || ch == '-'
                                          : ch == expected;
        if (!ok) return text;
    }
    return text.substr(0, 10) + "T" + text.substr(11, 12) + text.substr(24, 3) + ":" + text.substr(27, 2);
}

Value breadcrumb(const Value& entry) {
    Value crumb = Value::dictionary();
    const Value timestamp = entry["timestamp"];
    if (timestamp.isString()) {
        crumb.setObject(Value(breadcrumbTime(timestamp.stringValue())), "timestamp");
    } else if (timestamp.isInteger() || timestamp.isFloat()) {
        crumb.setObject(timestamp, "timestamp");
    }
    for (const char* key : {"category", "message", "type"}) crumb.setObject(textOrNil(entry[key]), key);
    if (isLevel(entry["level"])) crumb.setObject(entry["level"], "level");
    crumb.setObject(ofKind(entry["data"], Value::Kind::Dictionary), "data");
    return crumb;
}

// The ELF build id of an image in lower-case hex: its "build_id" when that
// is usable, else the build id's first 16 bytes that "uuid" shows.
std::optional<std::string> buildID(const Value& image) {
    const Value whole = image["build_id"];
    if (whole.isString() && whole.stringValue().size() % 2 == 0 && isHexText(whole.stringValue()))
        return lowerCaseWithout(whole.stringValue(), '\0');
    const Value uuid = image["uuid"];
    if (!uuid.isString()) return std::nullopt;
    std::string hex = lowerCaseWithout(uuid.stringValue(), '-');
    if (hex.size() != 32 || !isHexText(hex)) return std::nullopt;
    return hex;
}

// The first 16 bytes of a build id as a GUID text: the first three fields
// are little-endian in a GUID, so their bytes are swapped. Shorter build
// ids are padded with zeros.
std::string debugID(std::string hex) {
    hex.resize(32, '0');
    auto bytes = [&](std::initializer_list<int> order) {
        std::string out;
        for (int byte : order) out += hex.substr(static_cast<size_t>(byte) * 2, 2);
        return out;
    };
    return bytes({3, 2, 1, 0}) + "-" + bytes({5, 4}) + "-" + bytes({7, 6}) + "-" + bytes({8, 9}) + "-" +
           bytes({10, 11, 12, 13, 14, 15});
}

// Signal numbers and codes are written as unsigned 32 bits: a negative code
// (SI_TKILL is -6) comes back as its signed value.
int64_t signed32(int64_t value) {
    return value >= 0x80000000LL && value <= 0xffffffffLL ? value - 0x100000000LL : value;
}

// Sizes and codes the schema wants as non-negative integers.
Value unsignedInteger(const Value& value) {
    const auto number = unsignedNumber(value);
    if (!number || *number > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return Value();
    return Value(static_cast<long long>(*number));
}

}  // namespace

ReportInterpreter::ReportInterpreter(const Value& report)
    : report_(ofKind(report, Value::Kind::Dictionary)), platform_("native") {
    exceptionContext_ = ofKind(objectForKeyPath(report_, "crash/error"), Value::Kind::Dictionary);
    binaryImages_ = ofKind(report_["binary_images"], Value::Kind::Array);
    threads_ = ofKind(objectForKeyPath(report_, "crash/threads"), Value::Kind::Array);
    // A minimal (recrash) report holds only the crashed thread.
    const Value crashedOnly = ofKind(objectForKeyPath(report_, "crash/crashed_thread"), Value::Kind::Dictionary);
    if (threads_.isNil() && !crashedOnly.isNil()) threads_ = Value::array({crashedOnly});
    systemContext_ = ofKind(report_["system"], Value::Kind::Dictionary);
    reportContext_ = ofKind(report_["report"], Value::Kind::Dictionary);

    const auto& threadItems = threads_.arrayItems();
    for (size_t i = 0; i < threadItems.size(); i++) {
        if (reportvalue::boolean(threadItems[i]["crashed"]).value_or(false)) {
            crashedThreadIndex_ = static_cast<int64_t>(i);
            break;
        }
    }

    const auto& imageItems = binaryImages_.arrayItems();
    for (size_t i = 0; i < imageItems.size(); i++) {
        if (!imageItems[i].isDictionary()) continue;
        const uint64_t start = unsignedNumber(imageItems[i]["image_addr"]).value_or(0);
        const uint64_t size = unsignedNumber(imageItems[i]["image_size"]).value_or(0);
        const uint64_t end = size > std::numeric_limits<uint64_t>::max() - start ? std::numeric_limits<uint64_t>::max()
                                                                               : start + size;
        imageRanges_.push_back({start, end, i});
    }

    // An executable in "/" has no folder of its own: nothing counts as inside.
    const Value executable = systemContext_["CFBundleExecutablePath"];
    if (executable.isString()) {
        const std::string& path = executable.stringValue();
        const size_t slash = path.rfind('/');
        if (slash != std::string::npos && slash > 0) bundleFolder_ = path.substr(0, slash + 1);
    }
}

ReportInterpreter::~ReportInterpreter() = default;

// MARK: Attributes

bool ReportInterpreter::isCustomReport() const {
    const Value type = objectForKeyPath(report_, "report/type");
    return type.isString() && type.stringValue() == "custom";
}

Value ReportInterpreter::requiredAttributes() const {
    Value attributes = Value::dictionary();
    // The server accepts 32 lower-case hex digits only; anything else is
    // left for it to assign.
    const Value identifier = objectForKeyPath(report_, "report/id");
    if (identifier.isString()) {
        std::string eventID = lowerCaseWithout(identifier.stringValue(), '-');
        if (eventID.size() == 32 && isHexText(eventID)) attributes.setObject(Value(eventID), "event_id");
    }
    const Value timestamp = objectForKeyPath(report_, "report/timestamp");
    if (timestamp.isString() || timestamp.isInteger() || timestamp.isFloat())
        attributes.setObject(timestamp, "timestamp");
    attributes.setObject(Value(platform_), "platform");
    if (!isCustomReport()) {
        attributes.setObject(Value("fatal"), "level");
    } else if (isLevel(report_["level"])) {
        attributes.setObject(report_["level"], "level");
    }
    return attributes;
}

Value ReportInterpreter::optionalAttributes() const {
    Value attributes = Value::dictionary();
    attributes.setObject(textOrNil(objectForKeyPath(report_, "system/CFBundleVersion")), "release");

    const Value tags = objectForKeyPath(report_, "user/tags");
    if (tags.isDictionary()) {
        Value texts = Value::dictionary();
        for (const auto& [key, value] : tags.dictionaryItems()) texts.setObject(tagText(value), key);
        attributes.setObject(texts, "tags");
    }

    attributes.setObject(ofKind(objectForKeyPath(report_, "user/extra"), Value::Kind::Dictionary), "extra");

    const Value fingerprint = objectForKeyPath(report_, "user/fingerprint");
    Value parts = Value::array();
    for (const Value& part : fingerprint.arrayItems()) {
        const Value text = part.isString() ? part : tagText(part);
        if (text.isString()) parts.addObject(text);
    }
    if (parts.count() > 0) attributes.setObject(parts, "fingerprint");
    return attributes;
}

// MARK: Contexts

Value ReportInterpreter::systemText(std::string_view key) const { return textOrNil(systemContext_[key]); }

Value ReportInterpreter::family() const {
    const std::string& name = systemText("system_name").stringValue();
    size_t start = 0;
    while (start < name.size() && std::isspace(static_cast<unsigned char>(name[start]))) start++;
    size_t end = start;
    while (end < name.size() && !std::isspace(static_cast<unsigned char>(name[end]))) end++;
    return end > start ? Value(name.substr(start, end - start)) : Value();
}

Value ReportInterpreter::model() const { return systemText("machine"); }
Value ReportInterpreter::modelID() const { return systemText("model"); }
Value ReportInterpreter::deviceName() const { return Value(); }
Value ReportInterpreter::batteryLevel() const { return Value(); }
Value ReportInterpreter::orientation() const { return Value(); }

Value ReportInterpreter::deviceContext() const {
    Value context = Value::dictionary();
    context.setObject(family(), "family");
    context.setObject(model(), "model");
    context.setObject(modelID(), "model_id");
    context.setObject(systemText("cpu_arch"), "arch");
    context.setObject(deviceName(), "name");
    context.setObject(batteryLevel(), "battery_level");
    context.setObject(orientation(), "orientation");
    return context;
}

Value ReportInterpreter::osContext() const {
    Value context = Value::dictionary();
    context.setObject(systemText("system_name"), "name");
    context.setObject(systemText("system_version"), "version");
    context.setObject(systemText("os_version"), "build");
    context.setObject(systemText("kernel_version"), "kernel_version");
    if (const auto rooted = reportvalue::boolean(systemContext_["jailbroken"])) context.setObject(*rooted, "rooted");
    return context;
}

Value ReportInterpreter::runtimeContext() const {
    Value context = Value::dictionary();
    context.setObject(systemText("CFBundleName"), "name");
    context.setObject(systemText("CFBundleVersion"), "version");
    return context;
}

Value ReportInterpreter::contextsInterface() const {
    return Value::dictionary({{"device", deviceContext()}, {"os", osContext()}, {"runtime", runtimeContext()}});
}

Value ReportInterpreter::breadcrumbsInterface() const {
    const Value entries = objectForKeyPath(report_, "user/breadcrumbs");
    if (!entries.isArray()) return Value();
    Value crumbs = Value::array();
    for (const Value& entry : entries.arrayItems())
        if (entry.isDictionary()) crumbs.addObject(breadcrumb(entry));
    return Value::dictionary({{"values", crumbs}});
}

// MARK: Images

bool ReportInterpreter::isInApp(const Value& imagePath) const {
    return !bundleFolder_.empty() && imagePath.isString() && imagePath.stringValue().starts_with(bundleFolder_);
}

Value ReportInterpreter::binaryImageForAddress(uint64_t address) const {
    for (const ImageRange& range : imageRanges_)
        if (range.start <= address && address < range.end) return binaryImages_[range.index];
    return Value();
}

Value ReportInterpreter::images() const {
    Value result = Value::array();
    for (const Value& image : binaryImages_.arrayItems()) {
        if (!image.isDictionary()) continue;
        Value debugImage = Value::dictionary({{"type", Value("elf")}});
        debugImage.setObject(textOrNil(image["name"]), "code_file");
        if (const auto id = buildID(image)) {
            debugImage.setObject(Value(*id), "code_id");
            debugImage.setObject(Value(debugID(*id)), "debug_id");
        }
        debugImage.setObject(Value(addressText(unsignedNumber(image["image_addr"]).value_or(0))), "image_addr");
        debugImage.setObject(unsignedInteger(image["image_size"]), "image_size");
        // No "image_vmaddr": the report's is the code segment's link address,
        // while image_addr is where the ELF header (the lowest segment) is
        // mapped; the symbolicator reads the lowest segment's address from
        // the file itself, and a mismatched pair would shift every frame.
        result.addObject(debugImage);
    }
    return result;
}

Value ReportInterpreter::debugInterface() const { return Value::dictionary({{"images", images()}}); }

// MARK: Threads and frames

Value ReportInterpreter::threadRecord(int64_t threadIndex) const {
    if (threadIndex < 0) return Value();
    return ofKind(threads_[static_cast<size_t>(threadIndex)], Value::Kind::Dictionary);
}

Value ReportInterpreter::crashedThread() const { return threadRecord(crashedThreadIndex_); }

Value ReportInterpreter::rawStackTraceForThreadIndex(int64_t threadIndex) const {
    return ofKind(objectForKeyPath(threadRecord(threadIndex), "backtrace/contents"), Value::Kind::Array);
}

Value ReportInterpreter::registersForThreadIndex(int64_t threadIndex) const {
    return ofKind(objectForKeyPath(threadRecord(threadIndex), "registers/basic"), Value::Kind::Dictionary);
}

Value ReportInterpreter::formattedRegisters(int64_t threadIndex) const {
    Value registers = Value::dictionary();
    const Value stored = registersForThreadIndex(threadIndex);
    for (const auto& [name, value] : stored.dictionaryItems())
        if (const auto number = unsignedNumber(value)) registers.setObject(Value(addressText(*number)), name);
    return registers.count() > 0 ? registers : Value();
}

Value ReportInterpreter::stackFrameAtIndex(int64_t frameIndex, int64_t threadIndex) const {
    if (frameIndex < 0) return Value();
    const Value entry = ofKind(rawStackTraceForThreadIndex(threadIndex)[static_cast<size_t>(frameIndex)],
                               Value::Kind::Dictionary);
    if (entry.isNil()) return Value();
    const uint64_t instruction = unsignedNumber(entry["instruction_addr"]).value_or(0);
    const Value image = binaryImageForAddress(instruction);
    const Value symbol = textOrNil(entry["symbol_name"]);

    Value frame = Value::dictionary();
    frame.setObject(symbol.count() > 0 ? symbol : Value("<redacted>"), "function");
    frame.setObject(textOrNil(image["name"]), "package");
    frame.setObject(Value(addressText(unsignedNumber(image["image_addr"]).value_or(0))), "image_addr");
    frame.setObject(Value(platform_), "platform");
    frame.setObject(Value(addressText(instruction)), "instruction_addr");
    frame.setObject(Value(addressText(unsignedNumber(entry["symbol_addr"]).value_or(0))), "symbol_addr");
    frame.setObject(isInApp(image["name"]), "in_app");
    return frame;
}

Value ReportInterpreter::stackFramesForThreadIndex(int64_t threadIndex) const {
    const size_t count = rawStackTraceForThreadIndex(threadIndex).count();
    Value frames = Value::array();
    for (size_t i = count; i-- > 0;) {
        const Value frame = stackFrameAtIndex(static_cast<int64_t>(i), threadIndex);
        if (!frame.isNil()) frames.addObject(frame);
    }
    return frames.count() > 0 ? frames : Value();
}

Value ReportInterpreter::stackTraceForThreadIndex(int64_t threadIndex, bool showRegisters) const {
    const Value frames = stackFramesForThreadIndex(threadIndex);
    if (frames.isNil()) return Value();
    Value stackTrace = Value::dictionary({{"frames", frames}});
    if (showRegisters) stackTrace.setObject(formattedRegisters(threadIndex), "registers");
    return stackTrace;
}

Value ReportInterpreter::threadAtIndex(int64_t threadIndex, bool includeStacktrace) const {
    const Value record = threadRecord(threadIndex);
    if (record.isNil()) return Value();
    Value thread = Value::dictionary();
    if (includeStacktrace) thread.setObject(stackTraceForThreadIndex(threadIndex, true), "stacktrace");
    if (const auto id = reportvalue::nonNegativeInteger(record["index"])) thread.setObject(*id, "id");
    if (const auto crashed = reportvalue::boolean(record["crashed"])) thread.setObject(*crashed, "crashed");
    if (const auto current = reportvalue::boolean(record["current_thread"])) thread.setObject(*current, "current");
    const Value name = textOrNil(record["name"]);
    thread.setObject(name.isNil() ? textOrNil(record["dispatch_queue"]) : name, "name");
    return thread;
}

Value ReportInterpreter::threadsInterface() const {
    if (threads_.isNil()) return Value();
    Value values = Value::array();
    const int64_t count = static_cast<int64_t>(threads_.count());
    // The crashed thread's stack trace travels in the exception.
    for (int64_t i = 0; i < count; i++) {
        const Value thread = threadAtIndex(i, i != crashedThreadIndex_);
        if (!thread.isNil()) values.addObject(thread);
    }
    return Value::dictionary({{"values", values}});
}

// MARK: Exception

Value ReportInterpreter::exceptionInterface() const { return Value(); }

Value ReportInterpreter::errorType() const { return textOrNil(exceptionContext_["type"]); }

Value ReportInterpreter::mechanism() const {
    const Value errorTypeText = errorType();
    const std::string type = errorTypeText.isNil() ? "unknown" : errorTypeText.stringValue();
    // Only a user-reported exception was handled by the program itself.
    Value result = Value::dictionary({{"type", Value(type)}, {"handled", Value(type == "user")}});

    // The writer fills both groups for every crash; a zero number there
    // means the crash came without a signal or Mach exception. A reported
    // exception raised neither: its groups only hold what the reporting
    // call used to stop the program.
    if (type == "user") return result;
    Value meta = Value::dictionary();
    const Value signal = ofKind(exceptionContext_["signal"], Value::Kind::Dictionary);
    const auto number = reportvalue::integer(signal["signal"]);
    if (type == "signal" || number.value_or(0) != 0) {
        Value info = Value::dictionary();
        if (number) info.setObject(signed32(*number), "number");
        if (const auto code = reportvalue::integer(signal["code"])) info.setObject(signed32(*code), "code");
        info.setObject(textOrNil(signal["name"]), "name");
        info.setObject(textOrNil(signal["code_name"]), "code_name");
        if (info.count() > 0) meta.setObject(info, "signal");
    }
    const Value mach = ofKind(exceptionContext_["mach"], Value::Kind::Dictionary);
    const auto exception = reportvalue::integer(mach["exception"]);
    if (type == "mach" || exception.value_or(0) != 0) {
        Value info = Value::dictionary();
        if (exception) info.setObject(*exception, "exception");
        info.setObject(unsignedInteger(mach["code"]), "code");
        info.setObject(unsignedInteger(mach["subcode"]), "subcode");
        info.setObject(textOrNil(mach["exception_name"]), "name");
        if (info.count() > 0) meta.setObject(info, "mach_exception");
    }
    if (meta.count() > 0) result.setObject(meta, "meta");
    return result;
}

Value ReportInterpreter::makeExceptionInterfaceWithType(const Value& type, const Value& value,
                                                        const Value& stackTrace) const {
    Value exception = Value::dictionary();
    Value typeText = textOrNil(type);
    // An exception needs a type or a value to be shown at all.
    if (typeText.isNil()) typeText = errorType().isNil() ? Value("unknown") : errorType();
    exception.setObject(typeText, "type");
    exception.setObject(textOrNil(value), "value");
    exception.setObject(ofKind(stackTrace, Value::Kind::Dictionary), "stacktrace");
    if (const auto id = reportvalue::nonNegativeInteger(crashedThread()["index"])) exception.setObject(*id, "thread_id");
    exception.setObject(mechanism(), "mechanism");
    return Value::dictionary({{"values", Value::array({exception})}});
}

Value ReportInterpreter::genericExceptionInterface() const {
    return makeExceptionInterfaceWithType(errorType(), exceptionContext_["reason"],
                                          stackTraceForThreadIndex(crashedThreadIndex_, true));
}
