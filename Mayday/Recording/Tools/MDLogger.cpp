// The crash reporter's own log.
//
// Crash path: mdlog_logLine, mdlog_logLineV and mdlog_logBareLine use no
// heap, no locks and no stdio streams; they format into two 1024-byte stack
// buffers and write with write(2). Formats made only of %%, %s, %c, %d, %i,
// %u, %x, %X and %p (with the hh, h, l, ll, j, z and t length modifiers and
// no flags, width or precision) are formatted here. Any other format goes to
// vsnprintf, which glibc does not promise to be async-signal-safe (it may
// read locale data, and floating point with a large precision may allocate),
// so code that runs in a crashed process keeps to the conversions above.
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

namespace {

constexpr size_t kBufferSize = 1024;

// The log file, -1 while only standard output is written.
int g_logFd = -1;
// A private copy of the last path set.
char g_logPath[kBufferSize];

// Writes everything, repeating for partial writes; a failed write abandons the rest.
void writeFully(int fd, const char* text, size_t length) {
    while (length > 0) {
        const ssize_t written = write(fd, text, length);
        if (written < 0) {
            if (errno == EINTR) continue;
            return;
        }
        text += written;
        length -= static_cast<size_t>(written);
    }
}

// Every output goes through here: the log file when set, and always standard output.
void writeText(const char* text, size_t length) {
    if (length == 0) return;
    if (g_logFd >= 0) writeFully(g_logFd, text, length);
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

    void append(const char* text, size_t count) {
        const size_t room = capacity - 1 - length;
        if (count > room) count = room;
        memcpy(buffer + length, text, count);
        length += count;
        buffer[length] = '\0';
    }
    void append(const char* text) { append(text ? text : "(null)", textLength(text ? text : "(null)")); }
    void appendChar(char c) { append(&c, 1); }
    void appendUnsigned(uint64_t value, unsigned base, bool upper) {
        const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
        char reversed[24];
        size_t count = 0;
        do {
            reversed[count++] = digits[value % base];
            value /= base;
        } while (value != 0);
        char ordered[24];
        for (size_t i = 0; i < count; ++i) ordered[i] = reversed[count - 1 - i];
        append(ordered, count);
    }
    void appendSigned(int64_t value) {
        if (value < 0) {
            appendChar('-');
            // Negating through unsigned keeps INT64_MIN correct.
            appendUnsigned(~static_cast<uint64_t>(value) + 1, 10, false);
        } else {
            appendUnsigned(static_cast<uint64_t>(value), 10, false);
        }
    }
};

const char* lastPathEntry(const char* path) {
    if (!path) return nullptr;
    const char* last = path;
    for (const char* p = path; *p; ++p) {
        if (*p == '/') last = p + 1;
    }
    return last;
}

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

// Whether every conversion of `fmt` is one that formatSimple handles.
bool isSimpleFormat(const char* fmt) {
    for (const char* p = fmt; *p; ++p) {
        if (*p != '%') continue;
        ++p;
        if (*p == '%') continue;
        Length length;
        p = parseLength(p, &length);
        switch (*p) {
            case 'd': case 'i': case 'u': case 'x': case 'X': break;
            case 's': case 'c': case 'p':
                if (length != Length::None) return false;
                break;
            default: return false;  // flags, width, precision, floating point, %n, a trailing '%'
        }
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

// Formats a format accepted by isSimpleFormat, as printf would.
void formatSimple(FixedText* out, const char* fmt, va_list args) {
    va_list local;
    va_copy(local, args);
    for (const char* p = fmt; *p; ++p) {
        if (*p != '%') {
            const char* run = p;
            while (p[1] && p[1] != '%') ++p;
            out->append(run, static_cast<size_t>(p - run + 1));
            continue;
        }
        ++p;
        if (*p == '%') {
            out->appendChar('%');
            continue;
        }
        Length length;
        p = parseLength(p, &length);
        switch (*p) {
            case 'd':
            case 'i': out->appendSigned(signedArgument(&local, length)); break;
            case 'u': out->appendUnsigned(unsignedArgument(&local, length), 10, false); break;
            case 'x': out->appendUnsigned(unsignedArgument(&local, length), 16, false); break;
            case 'X': out->appendUnsigned(unsignedArgument(&local, length), 16, true); break;
            case 'c': out->appendChar(static_cast<char>(va_arg(local, int))); break;
            case 's': out->append(va_arg(local, const char*)); break;
            case 'p': {
                const void* pointer = va_arg(local, const void*);
                if (!pointer) {
                    out->append("(nil)");
                } else {
                    out->append("0x");
                    out->appendUnsigned(reinterpret_cast<uintptr_t>(pointer), 16, false);
                }
                break;
            }
            default: break;  // not reached: isSimpleFormat checked the format
        }
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
    out.append(lastPathEntry(file));
    out.append(" (", 2);
    out.appendUnsigned(static_cast<unsigned>(line), 10, false);
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
        writeFormattedV("MDLogger: Could not open %s: %s", "(null)", strerror(EINVAL));
        return false;
    }
    // Close-on-exec so that programs the product starts do not inherit the log.
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (overwrite ? O_TRUNC : 0);
    const int fd = open(path, flags, 0644);
    if (fd < 0) {
        writeFormattedV("MDLogger: Could not open %s: %s", path, strerror(errno));
        return false;
    }
    if (path != g_logPath) {
        const size_t length = strnlen(path, sizeof(g_logPath) - 1);
        memcpy(g_logPath, path, length);
        g_logPath[length] = '\0';
    }
    if (g_logFd > 0 && g_logFd != STDOUT_FILENO && g_logFd != STDERR_FILENO) close(g_logFd);
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
