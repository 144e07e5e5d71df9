// What the terminal tests read back from their pipes and pseudo-terminals.
#pragma once

#include <string>
#include <unistd.h>

namespace zeltest {

// Everything readable on `fd` now (the descriptor is non-blocking).
inline std::string readAvailable(int fd) {
    std::string out;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        out.append(buffer, static_cast<size_t>(n));
    }
    return out;
}

}  // namespace zeltest
