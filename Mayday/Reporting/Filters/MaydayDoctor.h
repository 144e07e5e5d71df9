// The crash doctor: one plain-language sentence naming a report's likely
// cause. Runs when reports are read back, never on the crash path.
//
// Every rule reads the decoded report through Value lookups, which answer
// nil for missing keys and for the wrong container kinds, so a malformed
// report makes a rule not apply rather than fail.
#pragma once

#include <memory>
#include <string>

#include "Mayday/Reporting/Filters/MaydayDoctorFunctionCall.h"
#include "platform/foundation/Value.h"

class MaydayDoctor {
public:
    enum class CPUFamily : int { Unknown = 0, Arm = 1, X86 = 2, X86_64 = 3 };

    static std::shared_ptr<MaydayDoctor> doctor();
    // The diagnosis of a decoded report (a string), or nil when no rule applies.
    platform::Value diagnoseCrash(const platform::Value& report) const;

    // Sections of a report.
    platform::Value recrashReport(const platform::Value& report) const;
    platform::Value systemReport(const platform::Value& report) const;
    platform::Value crashReport(const platform::Value& report) const;
    platform::Value infoReport(const platform::Value& report) const;
    platform::Value errorReport(const platform::Value& report) const;

    CPUFamily cpuFamily(const platform::Value& report) const;
    // The argument register (index 0 to 3) of a family, or nil.
    platform::Value registerNameForFamily(CPUFamily family, int paramIndex) const;
    platform::Value mainExecutableNameForReport(const platform::Value& report) const;

    // Threads and their parts.
    platform::Value crashedThreadReport(const platform::Value& report) const;
    platform::Value backtraceFromThreadReport(const platform::Value& thread) const;
    platform::Value basicRegistersFromThreadReport(const platform::Value& thread) const;
    // The innermost crashed-thread frame inside the main executable, or nil.
    platform::Value lastInAppStackEntry(const platform::Value& report) const;
    // The same for any thread record of the report.
    platform::Value lastInAppStackEntryOfThread(const platform::Value& report, const platform::Value& thread) const;
    // The innermost crashed-thread frame, or nil.
    platform::Value lastStackEntry(const platform::Value& report) const;

    // The rules.
    bool isInvalidAddress(const platform::Value& errorReport) const;
    bool isMathError(const platform::Value& errorReport) const;
    bool isMemoryCorruption(const platform::Value& report) const;
    std::shared_ptr<MaydayDoctorFunctionCall> lastFunctionCall(const platform::Value& report) const;
    // The description of a message to (or retain of) a deallocated object, or nil.
    platform::Value zombieCall(const MaydayDoctorFunctionCall& call) const;
    bool isStackOverflow(const platform::Value& crashedThread) const;
    bool isDeadlock(const platform::Value& report) const;
    // text plus the "Originated at" line, unless the call is absent or main.
    std::string appendOriginatingCall(const std::string& text, const platform::Value& callName) const;

private:
    platform::Value diagnose(const platform::Value& report) const;
};
