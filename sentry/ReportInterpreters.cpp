#include "sentry/ReportInterpreters.h"

#include <map>
#include <string>

#include "installer/DeepSearch.h"
#include "platform/foundation/Format.h"

using Value = ::platform::Value;

namespace {

template <typename Interpreter>
std::shared_ptr<ReportInterpreter> make(const Value& report) {
    return std::make_shared<Interpreter>(report);
}

using Factory = std::shared_ptr<ReportInterpreter> (*)(const Value&);

// The frame members a reported frame may carry, by the kind the event wants.
enum class Member { Text, Address, Count, Flag, Lines, Object };

const std::map<std::string, Member, std::less<>>& frameMembers() {
    static const std::map<std::string, Member, std::less<>> members = {
        {"abs_path", Member::Text},         {"addr_mode", Member::Text},       {"context_line", Member::Text},
        {"filename", Member::Text},         {"function", Member::Text},        {"module", Member::Text},
        {"package", Member::Text},          {"platform", Member::Text},        {"raw_function", Member::Text},
        {"symbol", Member::Text},           {"function_id", Member::Address},  {"image_addr", Member::Address},
        {"instruction_addr", Member::Address}, {"symbol_addr", Member::Address}, {"colno", Member::Count},
        {"lineno", Member::Count},          {"in_app", Member::Flag},          {"stack_start", Member::Flag},
        {"pre_context", Member::Lines},     {"post_context", Member::Lines},   {"vars", Member::Object},
    };
    return members;
}

Value frameMember(Member kind, const Value& value) {
    switch (kind) {
    case Member::Text: return reportvalue::textOrNil(value);
    case Member::Address:
        if (value.isString()) return value;
        if (const auto address = reportvalue::unsignedNumber(value)) return Value(reportvalue::addressText(*address));
        return Value();
    case Member::Count:
        if (const auto count = reportvalue::nonNegativeInteger(value)) return Value(*count);
        return Value();
    case Member::Flag:
        if (const auto flag = reportvalue::boolean(value)) return Value(*flag);
        return Value();
    case Member::Lines: {
        if (!value.isArray()) return Value();
        Value lines = Value::array();
        for (const Value& line : value.arrayItems())
            if (line.isString()) lines.addObject(line);
        return lines;
    }
    case Member::Object: return value.isDictionary() ? value : Value();
    }
    return Value();
}

Value userFrame(const Value& entry) {
    if (entry.isString()) return Value::dictionary({{"function", entry}});
    if (!entry.isDictionary()) return Value::dictionary({{"function", Value(entry.description())}});
    Value frame = Value::dictionary();
    const auto& members = frameMembers();
    for (const auto& [key, value] : entry.dictionaryItems()) {
        const auto member = members.find(key);
        if (member != members.end()) frame.setObject(frameMember(member->second, value), key);
    }
    return frame;
}

}  // namespace

std::shared_ptr<ReportInterpreter> ReportInterpreter::interpreterForReport(const Value& report) {
    // A function-local static: built once, and safely when threads race.
    static const std::map<std::string, Factory, std::less<>> table = {
        {"nsexception", &make<NSExceptionReportInterpreter>},
        {"cpp_exception", &make<CPPExceptionReportInterpreter>},
        {"mach", &make<MachExceptionReportInterpreter>},
        {"signal", &make<SignalExceptionReportInterpreter>},
        {"user", &make<UserExceptionReportInterpreter>},
    };
    const Value type = objectForKeyPath(report, "crash/error/type");
    if (!type.isString()) return nullptr;
    const auto found = table.find(type.stringValue());
    return found == table.end() ? nullptr : found->second(report);
}

Value NSExceptionReportInterpreter::exceptionInterface() const {
    return makeExceptionInterfaceWithType(objectForKeyPath(exceptionContext(), "nsexception/name"),
                                          exceptionContext()["reason"],
                                          stackTraceForThreadIndex(crashedThreadIndex(), true));
}

Value CPPExceptionReportInterpreter::exceptionInterface() const {
    return makeExceptionInterfaceWithType(objectForKeyPath(exceptionContext(), "cpp_exception/name"),
                                          exceptionContext()["reason"],
                                          stackTraceForThreadIndex(crashedThreadIndex(), true));
}

Value MachExceptionReportInterpreter::exceptionInterface() const {
    const Value mach = exceptionContext()["mach"];
    const std::string value =
        ::platform::format("Exception %@, Code %@, Subcode %@", mach["exception"], mach["code"], mach["subcode"]);
    return makeExceptionInterfaceWithType(mach["exception_name"], Value(value),
                                          stackTraceForThreadIndex(crashedThreadIndex(), true));
}

Value SignalExceptionReportInterpreter::exceptionInterface() const {
    const Value signal = exceptionContext()["signal"];
    const std::string value = ::platform::format("Signal %@, Code %@", signal["signal"], signal["code"]);
    return makeExceptionInterfaceWithType(signal["name"], Value(value),
                                          stackTraceForThreadIndex(crashedThreadIndex(), true));
}

Value UserExceptionReportInterpreter::userStacktrace() const {
    const Value backtrace = objectForKeyPath(exceptionContext(), "user_reported/backtrace");
    const auto& entries = backtrace.arrayItems();
    Value frames = Value::array();
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) frames.addObject(userFrame(*entry));
    return frames;
}

Value UserExceptionReportInterpreter::systemStacktrace() const {
    Value frames = Value::array();
    const Value native = stackFramesForThreadIndex(crashedThreadIndex());
    for (const Value& frame : native.arrayItems()) {
        Value copy = frame.deepCopy();
        copy.setObject(Value(false), "in_app");
        frames.addObject(copy);
    }
    return frames;
}

Value UserExceptionReportInterpreter::exceptionInterface() const {
    Value frames = userStacktrace();
    const Value native = systemStacktrace();
    for (const Value& frame : native.arrayItems()) frames.addObject(frame);
    const Value stackTrace = frames.count() > 0 ? Value::dictionary({{"frames", frames}}) : Value();
    return makeExceptionInterfaceWithType(objectForKeyPath(exceptionContext(), "user_reported/name"),
                                          exceptionContext()["reason"], stackTrace);
}
