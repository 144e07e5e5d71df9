// Event identifiers: a random (version 4) UUID in upper-case hex.
//
// No heap, no locks, no stdio: the bytes come from getrandom(2) (or, on a
// kernel without it, a plain read of /dev/urandom) and the digits are
// written here by hand.
#include "Mayday/Recording/Monitors/MDID.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include "Mayday/Recording/Tools/MDNumberText.h"
#include "Mayday/Recording/Tools/MDSysCall.h"

namespace {

constexpr size_t kUUIDSize = 16;

void randomBytes(uint8_t* bytes, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = mdsys_retry([&] { return getrandom(bytes + done, size - done, 0); });
        if (n <= 0) break;
        done += (size_t)n;
    }
    if (done == size) {
        return;
    }
    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        int error = 0;
        const bool ok = mdsys_readFully(fd, bytes + done, size - done, &error) == size - done;
        close(fd);
        if (ok) {
            return;
        }
    }
    // No random source at all: still a well-formed identifier, mixed from
    // the pid and a per-process counter so that two in a row differ.
    static uint32_t counter;
    const uint32_t mix = (uint32_t)getpid() * 2654435761u + ++counter * 40503u;
    for (size_t i = done; i < size; i++) {
        bytes[i] = (uint8_t)(mix >> ((i % 4) * 8)) ^ (uint8_t)(i * 37u);
    }
}

}  // namespace

void mdid_newEventID(char* destination) {
    uint8_t uuid[kUUIDSize];
    randomBytes(uuid, sizeof(uuid));
    // Version 4 (random) and the RFC 4122 variant.
    uuid[6] = (uint8_t)((uuid[6] & 0x0F) | 0x40);
    uuid[8] = (uint8_t)((uuid[8] & 0x3F) | 0x80);

    char* out = destination;
    for (size_t i = 0; i < kUUIDSize; i++) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            *out++ = '-';
        }
        mdnum_writeHexByte(out, uuid[i], true);
        out += 2;
    }
    *out = '\0';
}
