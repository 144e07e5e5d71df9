// One installer per user and product at a time: two started together would
// download to the same file and clash in the package installer. The lock is a
// file lock (flock), so a killed installer never leaves it taken.
#pragma once

#include <memory>
#include <string>

class ZELInstanceLock {
public:
    // Takes the lock of `productKey` (the bundle identifier) or answers null
    // when another installer holds it. A lock that cannot even be made (no
    // caches directory) does not stop the install: it answers an empty lock.
    static std::unique_ptr<ZELInstanceLock> acquire(const std::string& productKey);
    ~ZELInstanceLock();
    ZELInstanceLock(const ZELInstanceLock&) = delete;
    ZELInstanceLock& operator=(const ZELInstanceLock&) = delete;

    // Where the lock of `productKey` lives.
    static std::string lockPath(const std::string& productKey);

private:
    explicit ZELInstanceLock(int fd) : fd_(fd) {}
    int fd_;
};
