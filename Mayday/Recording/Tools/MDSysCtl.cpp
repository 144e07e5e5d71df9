// Typed system values by name, read from the Linux sources listed in the
// header. Crash-path safe: raw system calls into fixed stack buffers, no
// heap, no locks, no stdio, own number parsing and formatting.
#include "Mayday/Recording/Tools/MDSysCtl.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "Mayday/Recording/Tools/MDLogger.h"
#include "Mayday/Recording/Tools/MDNumberText.h"
#include "Mayday/Recording/Tools/MDSysCall.h"

namespace {

constexpr size_t kValueSize = 1024;

struct ScopedFd {
    int fd;
    explicit ScopedFd(int value) : fd(value) {}
    ~ScopedFd() {
        if (fd >= 0) close(fd);
    }
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;
};

enum class Kind { Integer, Text, Time };

struct SysValue {
    Kind kind = Kind::Integer;
    bool negative = false;
    uint64_t magnitude = 0;
    struct timeval time {};
    char text[kValueSize];
    size_t length = 0;
};

void setText(SysValue* value, const char* text) {
    size_t length = 0;
    while (text[length] != '\0' && length < kValueSize - 1) {
        value->text[length] = text[length];
        ++length;
    }
    value->text[length] = '\0';
    value->length = length;
    value->kind = Kind::Text;
}

void setInteger(SysValue* value, bool negative, uint64_t magnitude) {
    value->kind = Kind::Integer;
    value->negative = negative && magnitude != 0;
    value->magnitude = magnitude;
}

void trimTrailing(SysValue* value) {
    while (value->length > 0) {
        const char c = value->text[value->length - 1];
        if (c != '\n' && c != '\r' && c != ' ' && c != '\t' && c != '\0') break;
        --value->length;
    }
    value->text[value->length] = '\0';
}

// Reads up to kValueSize - 1 bytes of a file as text; errno set on failure.
bool readTextFile(const char* path, SysValue* value) {
    ScopedFd file(mdsys_open(path, O_RDONLY | O_CLOEXEC, 0));
    if (file.fd < 0) return false;
    int error = 0;
    const size_t length = mdsys_readFully(file.fd, value->text, kValueSize - 1, &error);
    if (error != 0) {
        errno = error;
        return false;
    }
    value->text[length] = '\0';
    value->length = length;
    value->kind = Kind::Text;
    trimTrailing(value);
    return true;
}

// /proc/sys/<name with dots as slashes>.
bool readProcSys(const char* name, SysValue* value) {
    static const char kBase[] = "/proc/sys/";
    char path[256];
    size_t length = sizeof(kBase) - 1;
    memcpy(path, kBase, length);
    if (name[0] == '\0') {
        errno = ENOENT;
        return false;
    }
    for (const char* p = name; *p; ++p) {
        if (length >= sizeof(path) - 1) {
            errno = ENAMETOOLONG;
            return false;
        }
        path[length++] = *p == '.' ? '/' : *p;
    }
    path[length] = '\0';
    return readTextFile(path, value);
}

bool lookUp(const char* name, SysValue* value) {
    if (!name) {
        errno = ENOENT;
        return false;
    }
    if (strcmp(name, "hw.machine") == 0 || strcmp(name, "kern.osversion") == 0 || strcmp(name, "hw.model") == 0) {
        struct utsname names;
        if (uname(&names) != 0) return false;
        if (strcmp(name, "kern.osversion") == 0) {
            setText(value, names.release);
            return true;
        }
        if (strcmp(name, "hw.model") == 0 && readTextFile("/sys/class/dmi/id/product_name", value) &&
            value->length > 0) {
            return true;
        }
        setText(value, names.machine);
        return true;
    }
    if (strcmp(name, "kern.version") == 0) return readTextFile("/proc/version", value);
    if (strcmp(name, "hw.memsize") == 0) {
        struct sysinfo info;
        if (sysinfo(&info) != 0) return false;
        setInteger(value, false, static_cast<uint64_t>(info.totalram) * info.mem_unit);
        return true;
    }
    if (strcmp(name, "kern.boottime") == 0) {
        uint64_t seconds = 0;
        if (!mdsysctl_readKeyedNumber("/proc/stat", "btime", &seconds)) return false;
        value->kind = Kind::Time;
        value->time.tv_sec = static_cast<time_t>(seconds);
        value->time.tv_usec = 0;
        return true;
    }
#if defined(__x86_64__)
    // CPU_TYPE_X86_64 and CPU_SUBTYPE_X86_64_ALL: the numbers reports use for this machine.
    if (strcmp(name, "hw.cputype") == 0) {
        setInteger(value, false, 0x01000007);
        return true;
    }
    if (strcmp(name, "hw.cpusubtype") == 0) {
        setInteger(value, false, 3);
        return true;
    }
#elif defined(__aarch64__)
    // CPU_TYPE_ARM64 and CPU_SUBTYPE_ARM64_ALL.
    if (strcmp(name, "hw.cputype") == 0) {
        setInteger(value, false, 0x0100000C);
        return true;
    }
    if (strcmp(name, "hw.cpusubtype") == 0) {
        setInteger(value, false, 0);
        return true;
    }
#endif
    return readProcSys(name, value);
}

// A whole text as one decimal integer (blanks around it allowed).
bool parseInteger(const char* text, bool* negative, uint64_t* magnitude) {
    const char* p = text;
    while (*p == ' ' || *p == '\t') ++p;
    bool minus = false;
    if (*p == '-' || *p == '+') minus = *p++ == '-';
    if (*p < '0' || *p > '9') {
        errno = EINVAL;
        return false;
    }
    uint64_t number = 0;
    for (; mdnum_isDecimalDigit(*p); ++p) {
        if (!mdnum_addDecimalDigit(&number, static_cast<unsigned>(*p - '0'))) {
            errno = ERANGE;
            return false;
        }
    }
    while (*p == ' ' || *p == '\t' || *p == '\n') ++p;
    if (*p != '\0') {
        errno = EINVAL;
        return false;
    }
    *negative = minus && number != 0;
    *magnitude = number;
    return true;
}

// The value as an integer, parsing text; errno set on failure.
bool integerOf(const SysValue& value, bool* negative, uint64_t* magnitude) {
    switch (value.kind) {
        case Kind::Integer:
            *negative = value.negative;
            *magnitude = value.magnitude;
            return true;
        case Kind::Text: return parseInteger(value.text, negative, magnitude);
        case Kind::Time: break;
    }
    errno = EINVAL;
    return false;
}

void formatDecimal(SysValue* value) {
    value->length = static_cast<size_t>(mdnum_formatPadded(value->text, static_cast<int>(kValueSize), value->magnitude,
                                                           value->negative, 10, 0, 0));
}

}  // namespace

// A macro so that the line names the public query that failed; errno survives the logging.
#define LOG_TYPED_FAILURE(call, name)                                                         \
    do {                                                                                      \
        const int error = errno;                                                              \
        MDLOG_ERROR("Could not get %s value for %s: %s", call, name, mdsys_errorText(error)); \
        errno = error;                                                                        \
    } while (0)

namespace {

const char kTypedCall[] = "sysctlbyname(name, &value, &size, NULL, 0)";
const char kStringCall[] = "sysctlbyname(name, value, &size, NULL, 0)";

}  // namespace

int32_t mdsysctl_int32ForName(const char* name) {
    SysValue value;
    bool negative = false;
    uint64_t magnitude = 0;
    if (lookUp(name, &value) && integerOf(value, &negative, &magnitude)) {
        if (negative ? magnitude <= 0x80000000ull : magnitude <= 0x7FFFFFFFull) {
            return negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude)) : static_cast<int32_t>(magnitude);
        }
        errno = ERANGE;
    }
    LOG_TYPED_FAILURE(kTypedCall, name);
    return 0;
}

uint64_t mdsysctl_uint64ForName(const char* name) {
    SysValue value;
    bool negative = false;
    uint64_t magnitude = 0;
    if (lookUp(name, &value) && integerOf(value, &negative, &magnitude)) {
        if (!negative) return magnitude;
        errno = ERANGE;
    }
    LOG_TYPED_FAILURE(kTypedCall, name);
    return 0;
}

int mdsysctl_stringForName(const char* name, char* buffer, int maxSize) {
    SysValue value;
    if (!lookUp(name, &value)) {
        LOG_TYPED_FAILURE(kStringCall, name);
        return 0;
    }
    if (value.kind == Kind::Integer) {
        formatDecimal(&value);
    } else if (value.kind == Kind::Time) {
        errno = EINVAL;
        LOG_TYPED_FAILURE(kStringCall, name);
        return 0;
    }
    const size_t needed = value.length + 1;
    if (buffer && maxSize > 0) {
        const size_t copied = needed <= static_cast<size_t>(maxSize) ? value.length : static_cast<size_t>(maxSize) - 1;
        memcpy(buffer, value.text, copied);
        buffer[copied] = '\0';
    }
    return static_cast<int>(needed);
}

struct timeval mdsysctl_timevalForName(const char* name) {
    SysValue value;
    if (lookUp(name, &value)) {
        if (value.kind == Kind::Time) return value.time;
        errno = EINVAL;
    }
    const int error = errno;
    MDLOG_ERROR("Could not get timeval value for %s: %s", name, mdsys_errorText(error));
    errno = error;
    return timeval{};
}

bool mdsysctl_getMacAddress(const char* name, uint8_t* macAddress) {
    const unsigned index = name ? if_nametoindex(name) : 0;
    if (index == 0) {
        const int error = name ? errno : ENODEV;
        MDLOG_ERROR("Could not get interface index for %s: %s", name, mdsys_errorText(error));
        errno = error;
        return false;
    }
    struct ifreq request;
    memset(&request, 0, sizeof(request));
    strncpy(request.ifr_name, name, sizeof(request.ifr_name) - 1);
    ScopedFd socketFd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (socketFd.fd < 0 || ioctl(socketFd.fd, SIOCGIFHWADDR, &request) != 0) {
        const int error = errno;
        MDLOG_ERROR("Could not get interface data for %s: %s", name, mdsys_errorText(error));
        errno = error;
        return false;
    }
    if (macAddress) memcpy(macAddress, request.ifr_hwaddr.sa_data, 6);
    return true;
}

bool mdsysctl_readKeyedNumber(const char* path, const char* key, uint64_t* value) {
    ScopedFd file(mdsys_open(path, O_RDONLY | O_CLOEXEC, 0));
    if (file.fd < 0) return false;
    const size_t keyLength = strlen(key);

    enum { Matching, SkippingLine, Blanks, Digits } state = keyLength == 0 ? Blanks : Matching;
    size_t matched = 0;
    uint64_t number = 0;
    bool finished = false;
    char chunk[256];
    while (!finished) {
        const ssize_t count = mdsys_read(file.fd, chunk, sizeof(chunk));
        if (count < 0) return false;
        if (count == 0) break;
        for (ssize_t i = 0; i < count && !finished; ++i) {
            const char c = chunk[i];
            const bool digit = c >= '0' && c <= '9';
            switch (state) {
                case Matching:
                    if (c == '\n') {
                        matched = 0;
                    } else if (c == key[matched]) {
                        if (++matched == keyLength) state = Blanks;
                    } else {
                        state = SkippingLine;
                    }
                    break;
                case SkippingLine:
                    if (c == '\n') {
                        matched = 0;
                        state = keyLength == 0 ? Blanks : Matching;
                    }
                    break;
                case Blanks:
                    if (digit) {
                        number = static_cast<uint64_t>(c - '0');
                        state = Digits;
                    } else if (c == '\n') {
                        matched = 0;
                        state = keyLength == 0 ? Blanks : Matching;
                    } else if (c != ' ' && c != '\t') {
                        // "btimeX": a longer key that only starts like ours.
                        state = SkippingLine;
                    }
                    break;
                case Digits:
                    if (!digit) {
                        finished = true;
                    } else {
                        if (!mdnum_addDecimalDigit(&number, static_cast<unsigned>(c - '0'))) {
                            errno = ERANGE;
                            return false;
                        }
                    }
                    break;
            }
        }
    }
    if (state != Digits) {
        errno = ENOENT;
        return false;
    }
    *value = number;
    return true;
}
