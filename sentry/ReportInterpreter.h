// Turns a decoded crash report into the pieces of a Sentry event. One
// subclass per kind of crash (ReportInterpreters.h) supplies the exception;
// everything else is built here.
//
// Reports come from disk and may be damaged or written by another version:
// every read is bounds- and type-checked, and a value of the wrong type is
// left out of the event rather than sent. Nothing here throws on bad input.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Value.h"

// Reading report values with the types the event wants.
namespace reportvalue {

// An address, size or register: numbers go through unsignedLongLongValue,
// so values above 2^63 (decoded as negative integers or as floats) stay
// positive; decimal or "0x" hexadecimal text is accepted too. Nothing for
// other kinds or unparsable text.
std::optional<uint64_t> unsignedNumber(const platform::Value& value);
// "0x%016llx".
std::string addressText(uint64_t address);
// An identifier: a non-negative integer, an integral float or decimal text.
std::optional<int64_t> nonNegativeInteger(const platform::Value& value);
// A signed integer: an integer, an integral float or decimal text.
std::optional<int64_t> integer(const platform::Value& value);
// A boolean, or the integers 0 and 1.
std::optional<bool> boolean(const platform::Value& value);
// The value itself when it is a string, else nil.
platform::Value textOrNil(const platform::Value& value);

}  // namespace reportvalue

class ReportInterpreter {
public:
    // Declared before the `platform` property, which hides the namespace
    // inside the class.
    using Value = ::platform::Value;

    explicit ReportInterpreter(const Value& report);
    virtual ~ReportInterpreter();
    ReportInterpreter(const ReportInterpreter&) = delete;
    ReportInterpreter& operator=(const ReportInterpreter&) = delete;

    // The interpreter for the report's "crash/error/type", or null when no
    // class handles that type (a "deadlock", a missing type).
    static std::shared_ptr<ReportInterpreter> interpreterForReport(const Value& report);

    // The report and its sections; a section of the wrong kind is nil.
    const Value& report() const noexcept { return report_; }
    // Index in threads() of the first thread marked crashed; 0 when none is.
    int64_t crashedThreadIndex() const noexcept { return crashedThreadIndex_; }
    const Value& exceptionContext() const noexcept { return exceptionContext_; }
    const Value& binaryImages() const noexcept { return binaryImages_; }
    // "crash/threads"; for a minimal report, its one "crash/crashed_thread".
    const Value& threads() const noexcept { return threads_; }
    const Value& systemContext() const noexcept { return systemContext_; }
    const Value& reportContext() const noexcept { return reportContext_; }
    // "native": what the event and every frame declare, so native frames
    // are symbolicated on the server.
    const std::string& platform() const noexcept { return platform_; }

    // Event pieces.
    Value requiredAttributes() const;  // event_id, timestamp, platform, level
    Value optionalAttributes() const;  // release, tags, extra, fingerprint
    // {"values": [one exception]}; nothing in this base class.
    virtual Value exceptionInterface() const;
    Value threadsInterface() const;      // {"values": [...]}
    Value contextsInterface() const;     // {"device", "os", "runtime"}
    Value breadcrumbsInterface() const;  // {"values": [...]} or nil
    Value debugInterface() const;        // {"images": [...]}
    bool isCustomReport() const;

    // Contexts and their values.
    Value deviceContext() const;
    Value osContext() const;
    Value runtimeContext() const;
    Value family() const;  // first word of "system_name"
    Value model() const;
    Value modelID() const;
    // Not known on this platform: always nil.
    Value deviceName() const;
    Value batteryLevel() const;
    Value orientation() const;

    // Threads and frames; an index out of range (or a record that is not
    // an object) gives nil.
    Value rawStackTraceForThreadIndex(int64_t threadIndex) const;  // "backtrace/contents"
    Value registersForThreadIndex(int64_t threadIndex) const;      // "registers/basic", as stored
    // The first image, in report order, holding `address`.
    Value binaryImageForAddress(uint64_t address) const;
    Value threadAtIndex(int64_t threadIndex, bool includeStacktrace) const;
    Value stackFrameAtIndex(int64_t frameIndex, int64_t threadIndex) const;
    // The frames outermost first (the report lists the innermost first); nil when none.
    Value stackFramesForThreadIndex(int64_t threadIndex) const;
    Value stackTraceForThreadIndex(int64_t threadIndex, bool showRegisters) const;
    Value crashedThread() const;
    Value images() const;  // the debug images, in report order

    // The exception interface for a type, value and stack trace, with the
    // crashed thread's id and the mechanism. A value or stack trace of the
    // wrong kind is left out; a type that is not text becomes the error type
    // (or "unknown").
    Value makeExceptionInterfaceWithType(const Value& type, const Value& value, const Value& stackTrace) const;
    // "crash/error/type" when it is text, else nil.
    Value errorType() const;
    // How the crash was caught: type, handled, and the signal or Mach
    // exception it came with.
    Value mechanism() const;
    // The exception of a report no subclass handles: the error type (or
    // "unknown") and reason, with the crashed thread's stack trace.
    Value genericExceptionInterface() const;
    // Whether an image path lies inside the folder of the executable.
    bool isInApp(const Value& imagePath) const;

private:
    struct ImageRange {
        uint64_t start;
        uint64_t end;  // exclusive; saturated at 2^64-1
        size_t index;  // in binaryImages()
    };

    Value report_;
    int64_t crashedThreadIndex_ = 0;
    Value exceptionContext_;
    Value binaryImages_;
    Value threads_;
    Value systemContext_;
    Value reportContext_;
    std::string platform_;
    std::string bundleFolder_;  // with a trailing "/"; empty when unknown
    std::vector<ImageRange> imageRanges_;

    Value threadRecord(int64_t threadIndex) const;
    Value systemText(std::string_view key) const;
    Value formattedRegisters(int64_t threadIndex) const;
};
