// System calls for the crash recorder that go on when a signal interrupts
// them, and the text of error numbers.
//
// Crash-path safe: plain system calls and a table read; no heap, no locks,
// no stdio, no locale. errno is left as the last call set it.
#pragma once

#include <cerrno>
#include <cstddef>
#include <sys/types.h>

// The system's text for an error number ("No such file or directory"),
// untranslated, or "Unknown error". strerror may go through the locale
// machinery (and so allocate or lock); this is a table read.
const char* mdsys_errorText(int error);

// Repeats `call` while it fails with EINTR; answers its last result. For
// calls that answer a negative number on failure.
template <typename Call>
auto mdsys_retry(Call call) -> decltype(call()) {
    decltype(call()) result;
    do {
        result = call();
    } while (result < 0 && errno == EINTR);
    return result;
}

// read(2), write(2) and open(2), repeated while a signal interrupts them.
ssize_t mdsys_read(int fd, void* buffer, size_t length);
ssize_t mdsys_write(int fd, const void* bytes, size_t length);
int mdsys_open(const char* path, int flags, mode_t mode);

// Reads until `length` bytes, the end of the file or an error, and answers
// the bytes read. `error` receives the error number that stopped it, or 0.
size_t mdsys_readFully(int fd, void* buffer, size_t length, int* error);
// Writes all `length` bytes, going on after partial writes. False (errno
// set) when a write fails; what was written before stays written.
bool mdsys_writeFully(int fd, const void* bytes, size_t length);
