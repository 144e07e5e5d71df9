#include "platform/foundation/Format.h"

#include <cstdint>
#include <cstdio>

namespace platform {

namespace {

bool isFlag(char c) { return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0' || c == '\''; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Formats one numeric or string conversion through snprintf with a directive
// rebuilt from the parsed pieces, so the argument type always matches.
// snprintf into `out`, sized from what snprintf says it needs.
template <typename T>
void appendFormatted(std::string& out, const std::string& directive, T value) {
    char small[256];
    int n = snprintf(small, sizeof small, directive.c_str(), value);
    if (n < 0) return;
    if (static_cast<size_t>(n) < sizeof small) {
        out.append(small, static_cast<size_t>(n));
        return;
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    snprintf(big.data(), big.size(), directive.c_str(), value);
    out.append(big.data(), static_cast<size_t>(n));
}

void appendConversion(std::string& out, const std::string& flagsWidthPrecision, char conversion,
                      const FormatArg& arg) {
    std::string directive = "%" + flagsWidthPrecision;
    switch (conversion) {
    case 'd':
    case 'i': {
        long long v = arg.kind == FormatArg::Kind::Unsigned ? static_cast<long long>(arg.u)
                      : arg.kind == FormatArg::Kind::Floating ? static_cast<long long>(arg.d)
                                                              : static_cast<long long>(arg.i);
        appendFormatted(out, directive + "lld", v);
        break;
    }
    case 'u':
    case 'x':
    case 'X':
    case 'o': {
        unsigned long long v = arg.kind == FormatArg::Kind::Unsigned ? arg.u
                               : arg.kind == FormatArg::Kind::Floating ? static_cast<unsigned long long>(arg.d)
                                                                       : static_cast<unsigned long long>(arg.i);
        appendFormatted(out, directive + "ll" + conversion, v);
        break;
    }
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G':
    case 'a':
    case 'A': {
        double v = arg.kind == FormatArg::Kind::Floating ? arg.d
                   : arg.kind == FormatArg::Kind::Unsigned ? static_cast<double>(arg.u)
                                                           : static_cast<double>(arg.i);
        appendFormatted(out, directive + conversion, v);
        break;
    }
    case 'c': {
        int v = static_cast<int>(arg.kind == FormatArg::Kind::Unsigned ? arg.u : static_cast<uint64_t>(arg.i));
        appendFormatted(out, directive + "c", v);
        break;
    }
    case 'p': {
        const void* v = arg.kind == FormatArg::Kind::Pointer ? arg.p
                        : reinterpret_cast<const void*>(static_cast<uintptr_t>(
                              arg.kind == FormatArg::Kind::Unsigned ? arg.u : static_cast<uint64_t>(arg.i)));
        appendFormatted(out, directive + "p", v);
        break;
    }
    case 's': {
        std::string text;
        if (arg.kind == FormatArg::Kind::CString || arg.kind == FormatArg::Kind::Text)
            text = arg.text;
        else if (arg.kind == FormatArg::Kind::Floating)
            text = std::to_string(arg.d);
        else if (arg.kind == FormatArg::Kind::Unsigned)
            text = std::to_string(arg.u);
        else
            text = std::to_string(arg.i);
        if (flagsWidthPrecision.empty()) {
            out += text;
            return;
        }
        appendFormatted(out, directive + "s", text.c_str());
        return;
    }
    default:
        return;
    }
}

}  // namespace

std::string formatArgs(std::string_view fmt, const std::vector<FormatArg>& args) {
    std::string out;
    out.reserve(fmt.size() + 32);
    size_t next = 0;
    for (size_t i = 0; i < fmt.size(); ++i) {
        char c = fmt[i];
        if (c != '%') {
            out += c;
            continue;
        }
        if (i + 1 < fmt.size() && fmt[i + 1] == '%') {
            out += '%';
            ++i;
            continue;
        }
        // %[n$][flags][width][.precision][length]conversion
        size_t j = i + 1;
        size_t argIndex = next;
        size_t digitsStart = j;
        while (j < fmt.size() && isDigit(fmt[j])) ++j;
        bool positional = j < fmt.size() && fmt[j] == '$' && j > digitsStart;
        if (positional) {
            // Positions beyond any argument list read as missing.
            argIndex = j - digitsStart > 6 ? SIZE_MAX
                                           : static_cast<size_t>(std::stoul(std::string(fmt.substr(digitsStart, j - digitsStart)))) - 1;
            ++j;
        } else {
            j = digitsStart;
        }
        std::string directive;
        while (j < fmt.size() && isFlag(fmt[j])) directive += fmt[j++];
        while (j < fmt.size() && isDigit(fmt[j])) directive += fmt[j++];
        if (j < fmt.size() && fmt[j] == '.') {
            directive += fmt[j++];
            while (j < fmt.size() && isDigit(fmt[j])) directive += fmt[j++];
        }
        // Length modifiers do not matter: arguments carry their own types.
        while (j < fmt.size() && (fmt[j] == 'l' || fmt[j] == 'h' || fmt[j] == 'q' || fmt[j] == 'z' ||
                                  fmt[j] == 'j' || fmt[j] == 't' || fmt[j] == 'L'))
            ++j;
        if (j >= fmt.size()) {
            out.append(fmt.substr(i));  // an unfinished conversion is copied as text
            break;
        }
        char conversion = fmt[j];
        const FormatArg* arg = argIndex < args.size() ? &args[argIndex] : nullptr;
        if (!positional) ++next;
        if (conversion == '@') {
            if (arg) {
                switch (arg->kind) {
                case FormatArg::Kind::Text:
                case FormatArg::Kind::CString: out += arg->text; break;
                case FormatArg::Kind::Signed: out += std::to_string(arg->i); break;
                case FormatArg::Kind::Unsigned: out += std::to_string(arg->u); break;
                case FormatArg::Kind::Floating: out += Value(arg->d).description(); break;
                case FormatArg::Kind::Pointer: appendConversion(out, directive, 'p', *arg); break;
                }
            }
        } else if (std::string_view("diuxXofFeEgGaAcps").find(conversion) != std::string_view::npos) {
            if (arg) appendConversion(out, directive, conversion, *arg);
        } else {
            out.append(fmt.substr(i, j - i + 1));  // unknown conversion: keep it as text
        }
        i = j;
    }
    return out;
}

std::string substituteObjects(std::string_view text, const std::vector<std::string>& objects) {
    std::string out;
    out.reserve(text.size() + 32);
    size_t next = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '%') {
            out += c;
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '%') {
            out += '%';
            ++i;
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '@') {
            out += next < objects.size() ? objects[next] : "(null)";
            ++next;
            ++i;
            continue;
        }
        // "%n$@": a numbered placeholder, as translations reorder them.
        size_t j = i + 1;
        while (j < text.size() && isDigit(text[j]) && j - i < 4) ++j;
        if (j > i + 1 && j + 1 < text.size() && text[j] == '$' && text[j + 1] == '@') {
            size_t index = static_cast<size_t>(std::stoul(std::string(text.substr(i + 1, j - i - 1))));
            out += index >= 1 && index <= objects.size() ? objects[index - 1] : "(null)";
            i = j + 1;
            continue;
        }
        out += c;  // any other '%' is plain text
    }
    return out;
}

}  // namespace platform
