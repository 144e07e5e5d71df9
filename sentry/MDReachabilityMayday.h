// Whether a host can be reached, and a one-shot operation that runs a block
// once it can: stands in for a reachability monitor over the platform's
// reachability service (platform/net/Reachability.h on Linux).
//
// Flags are the reachability bits: 0x2 reachable, 0x4 connection required,
// 0x8 connection on traffic, 0x10 intervention required, 0x20 connection on
// demand. Changes are applied on the main queue only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include <netinet/in.h>

namespace platform {
class Reachability;
}

class MDReachabilityMayday : public std::enable_shared_from_this<MDReachabilityMayday> {
public:
    // Null when the platform monitor cannot be made or started.
    static std::shared_ptr<MDReachabilityMayday> reachabilityToHost(const std::string& hostOrURL);
    static std::shared_ptr<MDReachabilityMayday> reachabilityToLocalNetwork();
    static std::shared_ptr<MDReachabilityMayday> reachabilityWithAddress(const sockaddr_in& address);
    // Registers for changes of `reachability`, schedules it and reads its
    // first flags on the global queue (applied on the main queue).
    static std::shared_ptr<MDReachabilityMayday> reachabilityWithReachabilityRef(
        std::shared_ptr<platform::Reachability> reachability);
    virtual ~MDReachabilityMayday();

    // The host of a URL text, or the text itself when it has none; empty for empty.
    static std::string extractHostName(const std::string& hostOrURL);
    static bool isReachableWithFlags(uint32_t flags);

    // Not filled by the factories.
    const std::string& hostname() const noexcept { return hostname_; }
    void setHostname(std::string hostname) { hostname_ = std::move(hostname); }
    uint32_t flags() const noexcept { return flags_; }
    bool reachable() const noexcept { return reachable_; }
    bool WWANOnly() const noexcept { return false; }

    // Called on the main queue after each change, with this monitor.
    void setOnReachabilityChanged(std::function<void(MDReachabilityMayday&)> block);
    // Main queue: applies new flags (nothing when they equal the stored ones).
    void onReachabilityFlagsChanged(uint32_t flags);
    // Reads the flags now and applies them; false when they cannot be read.
    bool updateFlags();

protected:
    MDReachabilityMayday();

private:
    struct Impl;
    std::string hostname_;
    uint32_t flags_ = 0;
    bool reachable_ = false;
    std::function<void(MDReachabilityMayday&)> onReachabilityChanged_;
    std::unique_ptr<Impl> impl_;
    friend struct Impl;
};

// Runs `block` once, on the main queue, the first time the host is
// reachable; then drops its monitor. Dropping the operation (or cancel())
// before that means the block never runs.
class MDReachableOperationMayday : public std::enable_shared_from_this<MDReachableOperationMayday> {
public:
    static std::shared_ptr<MDReachableOperationMayday> operationWithHost(const std::string& host, bool allowWWAN,
                                                                         std::function<void()> block);
    const std::shared_ptr<MDReachabilityMayday>& reachability() const noexcept { return reachability_; }
    void cancel();

private:
    std::shared_ptr<MDReachabilityMayday> reachability_;
    std::function<void()> block_;
};
