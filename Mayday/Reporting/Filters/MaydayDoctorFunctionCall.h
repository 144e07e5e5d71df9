// A call reconstructed from a crashed thread's registers: the crashed
// frame's symbol and one parameter per argument register, described the way
// the crash doctor names zombie messages.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

// One argument register. String properties are nil when unknown, so a
// present-but-empty text still counts as known.
class MaydayDoctorParam {
public:
    const platform::Value& className() const { return className_; }
    void setClassName(platform::Value v) { className_ = std::move(v); }
    const platform::Value& previousClassName() const { return previousClassName_; }
    void setPreviousClassName(platform::Value v) { previousClassName_ = std::move(v); }
    bool isInstance() const { return isInstance_; }
    void setIsInstance(bool v) { isInstance_ = v; }
    uint64_t address() const { return address_; }
    void setAddress(uint64_t v) { address_ = v; }
    const platform::Value& value() const { return value_; }
    void setValue(platform::Value v) { value_ = std::move(v); }
    const platform::Value& type() const { return type_; }
    void setType(platform::Value v) { type_ = std::move(v); }

private:
    platform::Value className_;
    platform::Value previousClassName_;
    bool isInstance_ = false;
    uint64_t address_ = 0;
    platform::Value value_;
    platform::Value type_;
};

class MaydayDoctorFunctionCall {
public:
    using Params = std::vector<std::shared_ptr<MaydayDoctorParam>>;

    const platform::Value& name() const { return name_; }
    void setName(platform::Value v) { name_ = std::move(v); }
    const Params& params() const { return params_; }
    void setParams(Params v) { params_ = std::move(v); }

    // "-[Class selector:arg ...]" for an objc_msgSend whose selector register
    // holds a string; nil otherwise.
    platform::Value descriptionForObjCCall() const;
    // The message-send form when there is one, else the function name and
    // up to paramCount parameters, one per line.
    std::string descriptionWithParamCount(int paramCount) const;

private:
    platform::Value name_;
    Params params_;
};
