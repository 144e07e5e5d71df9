// Text formatting with object placeholders: stands in for
// stringWithFormat: and NSLog's format handling.
//
// Two entry points, kept apart on purpose:
// - format() takes a format the program itself wrote (a literal) and any
//   arguments; "%@" shows a Value, Error or string by its description and
//   the other printf conversions format numbers and C strings type-safely.
// - substituteObjects() fills "%@" placeholders of a text that comes from
//   outside (a translation table, a feed): only "%@", "%n$@" and "%%" are
//   interpreted, every other character is copied, so such text can never
//   act as a printf format.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace platform {

// One argument of format(), captured by kind.
struct FormatArg {
    enum class Kind { Signed, Unsigned, Floating, CString, Text, Pointer } kind;
    int64_t i = 0;
    uint64_t u = 0;
    double d = 0;
    const void* p = nullptr;
    std::string text;  // Text: the description used by "%@" and "%s"

    FormatArg(bool v) : kind(Kind::Signed), i(v) {}
    template <typename T, std::enable_if_t<std::is_integral_v<T> && std::is_signed_v<T>, int> = 0>
    FormatArg(T v) : kind(Kind::Signed), i(v) {}
    template <typename T, std::enable_if_t<std::is_integral_v<T> && std::is_unsigned_v<T>, int> = 0>
    FormatArg(T v) : kind(Kind::Unsigned), u(v) {}
    template <typename T, std::enable_if_t<std::is_enum_v<T>, int> = 0>
    FormatArg(T v) : kind(Kind::Signed), i(static_cast<int64_t>(v)) {}
    FormatArg(double v) : kind(Kind::Floating), d(v) {}
    FormatArg(float v) : kind(Kind::Floating), d(v) {}
    FormatArg(const char* s) : kind(Kind::CString), p(s), text(s ? s : "(null)") {}
    FormatArg(char* s) : FormatArg(static_cast<const char*>(s)) {}
    FormatArg(const std::string& s) : kind(Kind::Text), text(s) {}
    FormatArg(std::string_view s) : kind(Kind::Text), text(s) {}
    FormatArg(const Value& v) : kind(Kind::Text), text(v.description()) {}
    FormatArg(const Error& e) : kind(Kind::Text), text(e.description()) {}
    FormatArg(const OptionalError& e) : kind(Kind::Text), text(describe(e)) {}
    FormatArg(const void* ptr) : kind(Kind::Pointer), p(ptr) {}
};

// Formats `fmt` (a format the program wrote) with `args`. A conversion with
// no matching argument is written as the empty text; extra arguments are
// ignored. Never reads outside `args`.
std::string formatArgs(std::string_view fmt, const std::vector<FormatArg>& args);

template <typename... Args>
std::string format(const char* fmt, const Args&... args) {
    return formatArgs(fmt, std::vector<FormatArg>{FormatArg(args)...});
}

// Fills the "%@" placeholders of outside text, in order (or by "%n$@"
// position) from `objects`; "%%" becomes "%"; everything else is copied as
// is. A placeholder without an object becomes "(null)", as Foundation would show.
std::string substituteObjects(std::string_view text, const std::vector<std::string>& objects);

}  // namespace platform
