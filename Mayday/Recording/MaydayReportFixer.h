// Rewrites a stored crash report once it is read back for sending: the
// crash-time writer leaves timestamps as integers and symbol names mangled,
// because nothing else is safe in a crashed process. The fix-up turns the
// report timestamps into UTC calendar text, demangles backtrace symbol names
// and the C++ exception type, and pretty-prints the result. It streams the
// text through the JSON decoder and encoder; no object tree is built.
//
// Not crash-path safe: it allocates (the demanglers too). No shared state,
// so concurrent calls on different threads are independent.
#pragma once

// The fixed-up report, malloc'ed and NUL-terminated (the caller frees it);
// null for a null text, or when the text does not decode (logged as
// "Could not decode report: <reason>").
char* mdcrf_fixupCrashReport(const char* crashReport);
