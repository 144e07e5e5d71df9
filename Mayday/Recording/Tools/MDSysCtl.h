// Typed system values by name and the hardware address of a network
// interface. Stands in for sysctlbyname(3) and the routing-socket interface
// list of macOS.
//
// Safe on any thread and in a crashed process: the values come from uname(2),
// sysinfo(2), ioctl(2) and plain open/read/close of /proc and /sys files into
// fixed stack buffers, with no heap, no locks and no stdio. Failures are
// logged at error level and answered with zero values.
//
// Names:
//   "hw.machine"     the machine name of uname
//   "hw.model"       the DMI product name, or the machine name when there is none
//   "kern.version"   /proc/version
//   "kern.osversion" the release of uname
//   "hw.memsize"     total memory in bytes
//   "kern.boottime"  the boot time (a timeval; microseconds 0)
//   "hw.cputype", "hw.cpusubtype"  the Mach CPU type numbers of this architecture
//   anything else    /proc/sys/<name with dots as slashes>
// Strings have their trailing line feed and blanks removed. A name that does
// not exist fails with ENOENT; a value of another type than the one asked
// for (text read as a number, a number out of the type's range, a timeval
// read as anything else) fails with EINVAL or ERANGE. Values longer than
// 1023 bytes are cut there.
#pragma once

#include <cstdint>
#include <sys/time.h>

int32_t mdsysctl_int32ForName(const char* name);
uint64_t mdsysctl_uint64ForName(const char* name);

// Answers the bytes the value occupies including the terminator, 0 on
// failure. Without a buffer (or with a length of 0 or less) nothing is
// written, so the answer is the size to allocate. A buffer too small gets as
// much as fits, terminated; the answer is still the full size, so a caller
// sees the cut when the answer exceeds `maxSize`.
int mdsysctl_stringForName(const char* name, char* value, int maxSize);

struct timeval mdsysctl_timevalForName(const char* name);

// Copies the 6-byte hardware address of the interface `name` into `macAddress`.
bool mdsysctl_getMacAddress(const char* name, uint8_t* macAddress);

// Finds the line of the text file `path` that starts with `key` and reads the
// unsigned decimal number after it (blanks skipped). Files of any size are
// scanned in small pieces. On failure answers false with errno set (ENOENT
// when the key is missing or has no number). Shared with MDDebug.
bool mdsysctl_readKeyedNumber(const char* path, const char* key, uint64_t* value);
