// Retried system calls and error text. Crash-path code: system calls and a
// table read only.
#include "Mayday/Recording/Tools/MDSysCall.h"

#include <cstring>
#include <fcntl.h>
#include <unistd.h>

const char* mdsys_errorText(int error) {
    const char* text = strerrordesc_np(error);
    return text ? text : "Unknown error";
}

ssize_t mdsys_read(int fd, void* buffer, size_t length) {
    return mdsys_retry([&] { return read(fd, buffer, length); });
}

ssize_t mdsys_write(int fd, const void* bytes, size_t length) {
    return mdsys_retry([&] { return write(fd, bytes, length); });
}

int mdsys_open(const char* path, int flags, mode_t mode) {
    return mdsys_retry([&] { return open(path, flags, mode); });
}

size_t mdsys_readFully(int fd, void* buffer, size_t length, int* error) {
    char* const bytes = static_cast<char*>(buffer);
    size_t done = 0;
    *error = 0;
    while (done < length) {
        const ssize_t count = mdsys_read(fd, bytes + done, length - done);
        if (count < 0) {
            *error = errno;
            break;
        }
        if (count == 0) break;
        done += static_cast<size_t>(count);
    }
    return done;
}

bool mdsys_writeFully(int fd, const void* bytes, size_t length) {
    const char* next = static_cast<const char*>(bytes);
    while (length > 0) {
        const ssize_t written = mdsys_write(fd, next, length);
        if (written < 0) return false;
        next += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}
