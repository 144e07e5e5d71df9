// The crash doctor: one plain-language sentence naming a report's likely
// cause. Runs when reports are read back, never on the crash path.
#pragma once

#include <memory>

#include "platform/foundation/Value.h"

class MaydayDoctor {
public:
    static std::shared_ptr<MaydayDoctor> doctor();
    // The diagnosis of a decoded report (a string), or nil when no rule applies.
    platform::Value diagnoseCrash(const platform::Value& report) const;
};
