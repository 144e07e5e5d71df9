#include "sentry/SentryEvent.h"

#include <memory>

#include "sentry/ReportInterpreters.h"

using platform::Value;

namespace {

void addEntries(Value& into, const Value& from) {
    for (const auto& [key, value] : from.dictionaryItems()) into.setObject(value, key);
}

// The top level of a recrash document: the recorder's minimal report.
bool isRecorderCrash(const Value& report) {
    const Value type = report["report"]["type"];
    return type.isString() && type.stringValue() == "minimal";
}

}  // namespace

Value sentryInterfacesForInterpreter(const ReportInterpreter& interpreter) {
    Value interfaces = Value::dictionary();
    Value exception = interpreter.exceptionInterface();
    if (exception.isNil()) exception = interpreter.genericExceptionInterface();
    interfaces.setObject(exception, "exception");
    interfaces.setObject(interpreter.threadsInterface(), "threads");
    interfaces.setObject(interpreter.contextsInterface(), "contexts");
    interfaces.setObject(interpreter.breadcrumbsInterface(), "breadcrumbs");
    interfaces.setObject(interpreter.debugInterface(), "debug_meta");
    return interfaces;
}

namespace {

Value eventForReport(const Value& report) {
    std::shared_ptr<ReportInterpreter> interpreter = ReportInterpreter::interpreterForReport(report);
    // The base class alone reads everything but the type-specific exception.
    if (!interpreter) interpreter = std::make_shared<ReportInterpreter>(report);
    Value event = Value::dictionary();
    addEntries(event, interpreter->requiredAttributes());
    // A custom report is its own message: it carries nothing of a crash.
    if (interpreter->isCustomReport()) return event;
    addEntries(event, interpreter->optionalAttributes());
    addEntries(event, sentryInterfacesForInterpreter(*interpreter));
    return event;
}

}  // namespace

Value sentryEventForReport(const Value& report) {
    // A crash inside the recorder while it wrote a report leaves the
    // recorder's own short report at the top and embeds the one it was
    // writing: the event is the application's crash, and the recorder's
    // crash travels along as extra data.
    const Value embedded = report["recrash_report"];
    const Value outerCrash = report["crash"];
    if (!embedded.isDictionary() || !embedded["crash"].isDictionary() || !isRecorderCrash(report))
        return eventForReport(report);
    Value event = eventForReport(embedded);
    // The report's own extra data, copied: the event must not change the report.
    Value extra = event["extra"].isDictionary() ? event["extra"].deepCopy() : Value::dictionary();
    Value recorderCrash = Value::dictionary();
    recorderCrash.setObject(outerCrash["error"].isDictionary() ? outerCrash["error"] : Value(), "error");
    recorderCrash.setObject(outerCrash["diagnosis"].isString() ? outerCrash["diagnosis"] : Value(), "diagnosis");
    extra.setObject(recorderCrash, "recorder_crash");
    event.setObject(extra, "extra");
    return event;
}
