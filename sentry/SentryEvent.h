// The Sentry event of a stored crash report: the attributes and interfaces
// its interpreter builds, in one dictionary ready to be serialised.
#pragma once

#include "platform/foundation/Value.h"

class ReportInterpreter;

// The event of `report`. A report no interpreter handles (a "deadlock", a
// missing or unknown error type, a damaged document) still becomes an
// event: the attributes, contexts, threads, breadcrumbs and images it has,
// and an exception naming the error type (or "unknown") and its reason.
platform::Value sentryEventForReport(const platform::Value& report);

// "exception", "threads", "contexts", "breadcrumbs" and "debug_meta", each
// when the interpreter has it. An interpreter without an exception of its
// own gives the generic one.
platform::Value sentryInterfacesForInterpreter(const ReportInterpreter& interpreter);
