// One interpreter per kind of crash: each names the exception its own way.
// ReportInterpreter::interpreterForReport picks among them by the report's
// "crash/error/type".
#pragma once

#include "sentry/ReportInterpreter.h"

// "nsexception": the exception's name and reason.
class NSExceptionReportInterpreter : public ReportInterpreter {
public:
    using ReportInterpreter::ReportInterpreter;
    Value exceptionInterface() const override;
};

// "cpp_exception": the exception's type name and what() text.
class CPPExceptionReportInterpreter : public ReportInterpreter {
public:
    using ReportInterpreter::ReportInterpreter;
    Value exceptionInterface() const override;
};

// "mach": the exception name; exception, code and subcode as the value.
class MachExceptionReportInterpreter : public ReportInterpreter {
public:
    using ReportInterpreter::ReportInterpreter;
    Value exceptionInterface() const override;
};

// "signal": the signal name; signal number and code as the value.
class SignalExceptionReportInterpreter : public ReportInterpreter {
public:
    using ReportInterpreter::ReportInterpreter;
    Value exceptionInterface() const override;
};

// "user": an exception the program reported itself, with the stack trace
// it gave (for instance from a script engine) on top of the native one.
class UserExceptionReportInterpreter : public ReportInterpreter {
public:
    using ReportInterpreter::ReportInterpreter;
    Value exceptionInterface() const override;

    // The reported backtrace, outermost first: text entries become
    // {"function": text}, objects keep the frame members the event knows,
    // anything else is described as text.
    Value userStacktrace() const;
    // The crashed thread's frames, none of them in the app: they show the
    // reporting call, not the fault.
    Value systemStacktrace() const;
};
