// Crash tests in a forked child: the child reports through a pipe with
// async-signal-safe writes, the parent collects the report and how the child
// ended (killed after 10 s).
#pragma once

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace zeltest {

struct ChildEnd {
    bool exited = false;
    int exitStatus = -1;
    int signal = 0;
    bool timedOut = false;
    std::string output;
};

inline int g_reportFd = -1;

// Async-signal-safe output: text and hexadecimal numbers to `fd`, and the
// same to the parent through the report pipe.
inline void putTo(int fd, const char* text) {
    ssize_t ignored = write(fd, text, strlen(text));
    (void)ignored;
}
inline void putHexTo(int fd, uint64_t value) {
    char buffer[20];
    int n = 0;
    buffer[n++] = '0';
    buffer[n++] = 'x';
    char digits[16];
    int d = 0;
    do {
        digits[d++] = "0123456789abcdef"[value & 0xF];
        value >>= 4;
    } while (value);
    while (d) buffer[n++] = digits[--d];
    buffer[n] = 0;
    putTo(fd, buffer);
}
inline void put(const char* text) { putTo(g_reportFd, text); }
inline void putHex(uint64_t value) { putHexTo(g_reportFd, value); }

// Runs `body` in a forked child (killed after 10 s) and collects what it reported.
template <typename Body> ChildEnd runInChild(Body body) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        g_reportFd = fds[1];
        body();
        _exit(0);
    }
    close(fds[1]);
    ChildEnd end;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            end.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        struct pollfd p = {fds[0], POLLIN, 0};
        if (poll(&p, 1, (int)left.count()) <= 0) continue;
        char buffer[512];
        const ssize_t n = read(fds[0], buffer, sizeof(buffer));
        if (n <= 0) break;
        end.output.append(buffer, (size_t)n);
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) {
        end.exited = true;
        end.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        end.signal = WTERMSIG(status);
    }
    return end;
}

}  // namespace zeltest
