#include "Mayday/Reporting/Filters/MaydayDoctorFunctionCall.h"

#include <algorithm>
#include <string_view>

#include "platform/foundation/Format.h"

using platform::Value;

namespace {

bool isText(const Value& v, std::string_view text) { return v.isString() && v.stringValue() == text; }

const char* instanceOrClass(const MaydayDoctorParam& p) { return p.isInstance() ? "instance" : "class"; }

// Splits like componentsSeparatedByString: a trailing separator leaves an
// empty last piece, which is what makes "a:b:" count two arguments.
std::vector<std::string> splitAtColons(const std::string& text) {
    std::vector<std::string> pieces;
    size_t start = 0;
    for (;;) {
        const size_t colon = text.find(':', start);
        if (colon == std::string::npos) break;
        pieces.push_back(text.substr(start, colon - start));
        start = colon + 1;
    }
    pieces.push_back(text.substr(start));
    return pieces;
}

}  // namespace

Value MaydayDoctorFunctionCall::descriptionForObjCCall() const {
    if (!isText(name_, "objc_msgSend") || params_.size() < 2) return Value();
    const MaydayDoctorParam& receiver = *params_[0];
    const MaydayDoctorParam& selector = *params_[1];
    if (!isText(selector.type(), "string")) return Value();

    Value receiverClass = !receiver.previousClassName().isNil() ? receiver.previousClassName()
                          : !receiver.className().isNil()       ? receiver.className()
                                                                : Value("id");
    // A selector register typed "string" without a text has no pieces at all.
    std::vector<std::string> pieces;
    if (!selector.value().isNil()) pieces = splitAtColons(selector.value().description());
    const Value firstPiece = pieces.empty() ? Value() : Value(pieces[0]);

    std::string text = platform::format("-[%@ %@", receiverClass, firstPiece);
    const size_t argCount = pieces.empty() ? 0 : pieces.size() - 1;
    for (size_t i = 0; i < argCount; ++i) {
        text += ":";
        // Only two argument registers remain after receiver and selector.
        const MaydayDoctorParam* arg = i < 2 && i + 2 < params_.size() ? params_[i + 2].get() : nullptr;
        if (!arg) {
            text += "?";
        } else if (!arg->value().isNil()) {
            text += isText(arg->type(), "string") ? platform::format("\"%@\"", arg->value())
                                                  : arg->value().description();
        } else if (!arg->previousClassName().isNil()) {
            text += arg->previousClassName().description();
        } else if (!arg->className().isNil()) {
            text += platform::format("%@ (%@)", arg->className(), instanceOrClass(*arg));
        } else {
            text += "?";
        }
        if (i + 1 < argCount) text += " ";
    }
    text += "]";
    return Value(text);
}

std::string MaydayDoctorFunctionCall::descriptionWithParamCount(int paramCount) const {
    const Value objcCall = descriptionForObjCCall();
    if (!objcCall.isNil()) return objcCall.description();

    const size_t count = std::min(static_cast<size_t>(std::max(paramCount, 0)), params_.size());
    std::string text = platform::format("Function: %@\n", name_);
    for (size_t i = 0; i < count; ++i) {
        const MaydayDoctorParam& p = *params_[i];
        text += platform::format("Param %d:  ", static_cast<int>(i + 1));
        if (!p.className().isNil()) text += platform::format("%@ (%@) ", p.className(), instanceOrClass(p));
        if (!p.value().isNil()) text += platform::format("%@ ", p.value());
        if (!p.previousClassName().isNil()) text += platform::format("(was %@)", p.previousClassName());
        if (i + 1 < count) text += "\n";
    }
    return text;
}
