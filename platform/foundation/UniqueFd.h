// An owned file descriptor, closed when its owner goes (RAII for every
// descriptor the program opens off the crash path).
#pragma once

#include <cerrno>
#include <unistd.h>
#include <utility>

namespace platform {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    // Gives up ownership, e.g. to a DIR stream that closes it.
    int release() noexcept { return std::exchange(fd_, -1); }
    // Closes now; false when close() reports a failure (for a written file
    // it can carry a delayed write error; EINTR still closed it).
    bool close() noexcept {
        if (fd_ < 0) return true;
        return ::close(std::exchange(fd_, -1)) == 0 || errno == EINTR;
    }
    void reset() noexcept { close(); }

private:
    int fd_ = -1;
};

}  // namespace platform
