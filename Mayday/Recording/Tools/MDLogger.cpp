// The crash reporter's own log.
//
// Crash path: mdlog_logLine, mdlog_logLineV and mdlog_logBareLine use no
// heap, no locks and no stdio streams; they format into two 1024-byte stack
// buffers and write with write(2). Integers, characters, strings and
// pointers are formatted here with MDNumberText, flags and widths included
// (see MDLogger.h). Only a precision or a conversion not listed there (the
// floating-point ones above all) goes to vsnprintf, which is not
// async-signal-safe (it may read locale data, and floating point with a
// large precision may allocate), so code that runs in a crashed process
// keeps to the conversions formatted here.
//
// The module state is plain globals without locks: setting the log file is
// not safe against concurrent logging. The crash reporter sets it once at
// install, before any other thread logs.
#include "Mayday/Recording/Tools/MDLogger.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "Mayday/Recording/Tools/MDDynamicLinker.h"
#include "Mayday/Recording/Tools/MDNumberText.h"
#include "Mayday/Recording/Tools/MDSysCall.h"

namespace {

constexpr size_t kBufferSize = 1024;
// Widths are read up to here; anything wider is cut at the buffer anyway.
constexpr int kMaxWidth = 100000;

// The log file, -1 while only standard output is written.
int g_logFd = -1;
// A private copy of the last path set.
char g_logPath[kBufferSize];
// Messages formatted by vsnprintf; only ever incremented, atomically.
unsigned long g_fallbackCount = 0;

// Every output goes through here: the log file when set, and always standard output.
void writeText(const char* text, size_t length) {
    if (length == 0) return;
    if (g_logFd >= 0) mdsys_writeFully(g_logFd, text, length);
    // A log file that took descriptor 1 (standard output was closed) gets each line once.
    if (g_logFd == STDOUT_FILENO) return;
    // One write only: standard output may be closed or a full pipe, and the
    // crash path must not spin on it.
    const ssize_t ignored = write(STDOUT_FILENO, text, length);
    (void)ignored;
}

size_t textLength(const char* text) {
    size_t length = 0;
    while (text[length] != '\0') ++length;
    return length;
}

// Appends to a fixed buffer, always leaving room for the terminator.
struct FixedText {
    char* buffer;
    size_t capacity;  // including the terminator
    size_t length = 0;

    size_t room() const { return capacity - 1 - length; }
    void append(const char* text, size_t count) {
        if (count > room()) count = room();
        memcpy(buffer + length, text, count);
        length += count;
        buffer[length] = '\0';
    }
    void append(const char* text) { append(text ? text : "(null)", textLength(text ? text : "(null)")); }
    void appendChar(char c) { append(&c, 1); }
    void appendRepeated(char c, size_t count) {
        if (count > room()) count = room();
        memset(buffer + length, c, count);
        length += count;
        buffer[length] = '\0';
    }
    // A text padded with spaces to `width`, before it or (leftAlign) after it.
    void appendPadded(const char* text, size_t count, int width, bool leftAlign) {
        const size_t padding = width > 0 && static_cast<size_t>(width) > count ? static_cast<size_t>(width) - count : 0;
        if (!leftAlign) appendRepeated(' ', padding);
        append(text, count);
        if (leftAlign) appendRepeated(' ', padding);
    }
    void appendNumber(uint64_t magnitude, bool negative, int base, int width, unsigned options) {
        length += static_cast<size_t>(mdnum_formatPadded(buffer + length, static_cast<int>(capacity - length),
                                                         magnitude, negative, base, width, options));
    }
    void appendUnsigned(uint64_t value) { appendNumber(value, false, 10, 0, 0); }
};

enum class Length { None, Char, Short, Long, LongLong, IntMax, Size, PtrDiff };

// Reads the length modifier at `p`; answers the character after it.
const char* parseLength(const char* p, Length* length) {
    switch (*p) {
        case 'h':
            if (p[1] == 'h') {
                *length = Length::Char;
                return p + 2;
            }
            *length = Length::Short;
            return p + 1;
        case 'l':
            if (p[1] == 'l') {
                *length = Length::LongLong;
                return p + 2;
            }
            *length = Length::Long;
            return p + 1;
        case 'j': *length = Length::IntMax; return p + 1;
        case 'z': *length = Length::Size; return p + 1;
        case 't': *length = Length::PtrDiff; return p + 1;
        default: *length = Length::None; return p;
    }
}

// One conversion of a format: %[flags][width][length]conversion.
struct Directive {
    unsigned options = 0;  // MDNUM_ flags from '-', '0', '+', ' ' and '#'
    int width = 0;
    bool widthFromArgument = false;  // '*'
    Length length = Length::None;
    char conversion = 0;
};

// Reads the directive after a '%' at `p`; answers the character after it, or
// null when it is one for vsnprintf (a precision, another flag, length or
// conversion, a trailing '%').
const char* parseDirective(const char* p, Directive* directive) {
    const char* const start = p;
    *directive = Directive();
    for (;; ++p) {
        if (*p == '-') directive->options |= MDNUM_LEFT_ALIGN;
        else if (*p == '0') directive->options |= MDNUM_ZERO_PAD;
        else if (*p == '+') directive->options |= MDNUM_PLUS_SIGN;
        else if (*p == ' ') directive->options |= MDNUM_SPACE_SIGN;
        else if (*p == '#') directive->options |= MDNUM_ALTERNATE;
        else break;
    }
    if (*p == '*') {
        directive->widthFromArgument = true;
        ++p;
    } else {
        for (; mdnum_isDecimalDigit(*p); ++p) {
            if (directive->width < kMaxWidth) directive->width = directive->width * 10 + (*p - '0');
        }
    }
    if (*p == '.') return nullptr;
    p = parseLength(p, &directive->length);
    directive->conversion = *p;
    switch (*p) {
        case 'd': case 'i': case 'u': case 'o': case 'x': case 'X': return p + 1;
        case 'c': case 's': case 'p': return directive->length == Length::None ? p + 1 : nullptr;
        case '%': return p == start ? p + 1 : nullptr;
        default: return nullptr;
    }
}

// Whether every conversion of `fmt` is one that formatSimple handles.
bool isSimpleFormat(const char* fmt) {
    for (const char* p = fmt; *p;) {
        if (*p++ != '%') continue;
        Directive directive;
        p = parseDirective(p, &directive);
        if (!p) return false;
    }
    return true;
}

int64_t signedArgument(va_list* args, Length length) {
    switch (length) {
        case Length::Char: return static_cast<signed char>(va_arg(*args, int));
        case Length::Short: return static_cast<short>(va_arg(*args, int));
        case Length::Long: return va_arg(*args, long);
        case Length::LongLong: return va_arg(*args, long long);
        case Length::IntMax: return va_arg(*args, intmax_t);
        case Length::Size: return va_arg(*args, ssize_t);
        case Length::PtrDiff: return va_arg(*args, ptrdiff_t);
        case Length::None: break;
    }
    return va_arg(*args, int);
}

uint64_t unsignedArgument(va_list* args, Length length) {
    switch (length) {
        case Length::Char: return static_cast<unsigned char>(va_arg(*args, unsigned));
        case Length::Short: return static_cast<unsigned short>(va_arg(*args, unsigned));
        case Length::Long: return va_arg(*args, unsigned long);
        case Length::LongLong: return va_arg(*args, unsigned long long);
        case Length::IntMax: return va_arg(*args, uintmax_t);
        case Length::Size: return va_arg(*args, size_t);
        case Length::PtrDiff: return static_cast<uint64_t>(va_arg(*args, ptrdiff_t));
        case Length::None: break;
    }
    return va_arg(*args, unsigned);
}

// One directive accepted by parseDirective, as printf would write it.
void formatDirective(FixedText* out, Directive directive, va_list* args) {
    if (directive.widthFromArgument) {
        // A negative width from the arguments means '-' and its magnitude.
        const int width = va_arg(*args, int);
        if (width < 0) directive.options |= MDNUM_LEFT_ALIGN;
        directive.width = width < -kMaxWidth || width > kMaxWidth ? kMaxWidth : (width < 0 ? -width : width);
    }
    const unsigned options = directive.options;
    const unsigned noSign = options & ~(MDNUM_PLUS_SIGN | MDNUM_SPACE_SIGN);
    const bool leftAlign = (options & MDNUM_LEFT_ALIGN) != 0;
    switch (directive.conversion) {
        case 'd':
        case 'i': {
            const int64_t value = signedArgument(args, directive.length);
            // Negating through unsigned keeps INT64_MIN correct.
            const uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
            out->appendNumber(magnitude, value < 0, 10, directive.width, options & ~MDNUM_ALTERNATE);
            break;
        }
        case 'u':
            out->appendNumber(unsignedArgument(args, directive.length), false, 10, directive.width,
                              noSign & ~MDNUM_ALTERNATE);
            break;
        case 'o': out->appendNumber(unsignedArgument(args, directive.length), false, 8, directive.width, noSign); break;
        case 'x': out->appendNumber(unsignedArgument(args, directive.length), false, 16, directive.width, noSign); break;
        case 'X':
            out->appendNumber(unsignedArgument(args, directive.length), false, 16, directive.width,
                              noSign | MDNUM_UPPER_CASE);
            break;
        case 'c': {
            const char c = static_cast<char>(va_arg(*args, int));
            out->appendPadded(&c, 1, directive.width, leftAlign);
            break;
        }
        case 's': {
            const char* text = va_arg(*args, const char*);
            if (!text) text = "(null)";
            out->appendPadded(text, textLength(text), directive.width, leftAlign);
            break;
        }
        case 'p': {
            const void* pointer = va_arg(*args, const void*);
            if (!pointer) {
                out->appendPadded("(nil)", 5, directive.width, leftAlign);
            } else {
                out->appendNumber(reinterpret_cast<uintptr_t>(pointer), false, 16, directive.width,
                                  (options & ~MDNUM_ALTERNATE) | MDNUM_HEX_PREFIX);
            }
            break;
        }
        default: out->appendChar('%'); break;  // "%%"
    }
}

// Formats a format accepted by isSimpleFormat, as printf would.
void formatSimple(FixedText* out, const char* fmt, va_list args) {
    va_list local;
    va_copy(local, args);
    for (const char* p = fmt; *p;) {
        if (*p != '%') {
            const char* run = p;
            while (*p && *p != '%') ++p;
            out->append(run, static_cast<size_t>(p - run));
            continue;
        }
        Directive directive;
        p = parseDirective(p + 1, &directive);
        if (!p) break;  // not reached: isSimpleFormat checked the format
        formatDirective(out, directive, &local);
    }
    va_end(local);
}

// The message into a 1024-byte stack buffer, cut to 1023 characters, then written.
void writeFormatted(const char* fmt, va_list args) {
    if (!fmt) {
        writeText("(null)", 6);
        return;
    }
    char buffer[kBufferSize];
    buffer[0] = '\0';
    size_t length = 0;
    if (isSimpleFormat(fmt)) {
        FixedText out{buffer, sizeof(buffer)};
        formatSimple(&out, fmt, args);
        length = out.length;
    } else {
        __atomic_fetch_add(&g_fallbackCount, 1, __ATOMIC_RELAXED);
        va_list local;
        va_copy(local, args);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        const int produced = vsnprintf(buffer, sizeof(buffer), fmt, local);
#pragma GCC diagnostic pop
        va_end(local);
        if (produced > 0) length = static_cast<size_t>(produced) < sizeof(buffer) ? static_cast<size_t>(produced)
                                                                                   : sizeof(buffer) - 1;
    }
    writeText(buffer, length);
}

void writeFormattedV(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void writeFormattedV(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    writeFormatted(fmt, args);
    va_end(args);
}

// "%s: %s (%u): %s: " with the level, the file name, the line and the function.
size_t formatPrefix(char* buffer, size_t capacity, const char* level, const char* file, int line,
                    const char* function) {
    FixedText out{buffer, capacity};
    buffer[0] = '\0';
    out.append(level);
    out.append(": ", 2);
    out.append(mdfu_lastPathEntry(file));
    out.append(" (", 2);
    out.appendUnsigned(static_cast<unsigned>(line));
    out.append("): ", 3);
    out.append(function);
    out.append(": ", 2);
    return out.length;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUTF8(const std::string& text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    size_t i = 0;
    while (i < size) {
        const unsigned char lead = bytes[i];
        size_t continuation;
        uint32_t codePoint;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            continuation = 1;
            codePoint = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            continuation = 2;
            codePoint = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            continuation = 3;
            codePoint = lead & 0x07;
        } else {
            return false;
        }
        if (size - i <= continuation) return false;
        for (size_t k = 1; k <= continuation; ++k) {
            const unsigned char next = bytes[i + k];
            if ((next & 0xC0) != 0x80) return false;
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        static const uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
        if (codePoint < kSmallest[continuation]) return false;
        if (codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) return false;
        i += continuation + 1;
    }
    return true;
}

}  // namespace

bool mdlog_setLogFile(const char* path, bool overwrite) {
    if (!path) {
        writeFormattedV("MDLogger: Could not open %s: %s", "(null)", mdsys_errorText(EINVAL));
        return false;
    }
    // Close-on-exec so that programs the product starts do not inherit the log.
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (overwrite ? O_TRUNC : 0);
    const int fd = mdsys_open(path, flags, 0644);
    if (fd < 0) {
        writeFormattedV("MDLogger: Could not open %s: %s", path, mdsys_errorText(errno));
        return false;
    }
    if (path != g_logPath) {
        const size_t length = strnlen(path, sizeof(g_logPath) - 1);
        memcpy(g_logPath, path, length);
        g_logPath[length] = '\0';
    }
    if (g_logFd >= 0) close(g_logFd);
    g_logFd = fd;
    return true;
}

bool mdlog_truncateLogFile(void) {
    return mdlog_setLogFile(g_logPath, true);
}

void mdlog_logLineV(const char* level, const char* file, int line, const char* function, const char* fmt,
                    va_list args) {
    char prefix[kBufferSize];
    const size_t prefixLength = formatPrefix(prefix, sizeof(prefix), level, file, line, function);
    writeText(prefix, prefixLength);
    writeFormatted(fmt, args);
    writeText("\n", 1);
}

void mdlog_logLine(const char* level, const char* file, int line, const char* function, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    mdlog_logLineV(level, file, line, function, fmt, args);
    va_end(args);
}

void mdlog_logBareLine(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    writeFormatted(fmt, args);
    va_end(args);
    writeText("\n", 1);
}

void mdlog_logObjectLineText(const char* level, const char* file, int line, const char* function,
                             const std::string* message) {
    char prefix[kBufferSize];
    const size_t prefixLength = formatPrefix(prefix, sizeof(prefix), level, file, line, function);
    std::string text(prefix, prefixLength);
    text += message ? *message : std::string("(null)");
    mdlog_logBareObjectLineText(&text);
}

void mdlog_logBareObjectLineText(const std::string* message) {
    if (!message) {
        writeText("(null)", 6);
        return;
    }
    if (isValidUTF8(*message)) {
        // Written as a C string: an embedded zero byte ends the text.
        writeText(message->c_str(), textLength(message->c_str()));
    } else {
        static const char kFailure[] = "Could not convert log string to UTF-8. No logging performed.";
        writeText(kFailure, sizeof(kFailure) - 1);
    }
    writeText("\n", 1);
}

unsigned long mdlog_fallbackFormatCount(void) { return __atomic_load_n(&g_fallbackCount, __ATOMIC_RELAXED); }
