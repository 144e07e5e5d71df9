// Host reachability: stands in for the platform's reachability service
// (a target made from a host name or an IPv4 address, its flags read now,
// a callback on changes while the target is scheduled).
//
// On Linux the flags come from a route check: the host is resolved (never on
// the main thread), and a UDP socket is connect()ed to each address, which
// sends nothing and fails when the kernel has no route there. Loopback
// addresses always count as reachable. Changes of links, addresses and
// routes announced by the kernel (a NETLINK_ROUTE socket read on one thread
// shared by every scheduled target) make each target check again.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace platform {

// The flag bits a check yields (only "reachable" on Linux; the others are
// the service's bits, for those who read them).
inline constexpr uint32_t kReachabilityFlagReachable = 0x2;
inline constexpr uint32_t kReachabilityFlagConnectionRequired = 0x4;
inline constexpr uint32_t kReachabilityFlagConnectionOnTraffic = 0x8;
inline constexpr uint32_t kReachabilityFlagInterventionRequired = 0x10;
inline constexpr uint32_t kReachabilityFlagConnectionOnDemand = 0x20;

struct ReachabilityCore;  // the state checks and the change watcher share

class Reachability {
public:
    // Called with the new flags on a thread of the default global queue,
    // each time a check after a change yields flags other than the ones it
    // last reported. A call already under way when the callback is replaced
    // or the target unscheduled may still finish: hold what it uses weakly.
    using Callback = std::function<void(uint32_t flags)>;

    // A target for a host name (resolved when checked; `port` is the one the
    // route check connects to). Null for an empty name.
    static std::shared_ptr<Reachability> createWithName(const std::string& host, uint16_t port = 80);
    // A target for an IPv4 address; 0.0.0.0 asks whether there is a route
    // off this machine at all.
    static std::shared_ptr<Reachability> createWithAddress(const sockaddr_in& address);
    ~Reachability();
    Reachability(const Reachability&) = delete;
    Reachability& operator=(const Reachability&) = delete;

    // The host name, or the address as dotted text.
    const std::string& target() const noexcept;

    // Checks now. Off the main thread a name is resolved again (blocking);
    // on the main thread the addresses of the last resolution are used, and
    // nothing is answered before there has been one.
    std::optional<uint32_t> flags();

    void setCallback(Callback callback);
    // Starts watching for changes; false when the watcher cannot be started.
    bool schedule();
    void unschedule();
    bool isScheduled() const;

private:
    explicit Reachability(std::shared_ptr<ReachabilityCore> core);
    std::shared_ptr<ReachabilityCore> core_;
};

// Tests: replaces the whole check (resolution and route) by `source`, called
// with target(); nothing answered means the flags cannot be read. An empty
// function restores the real check.
void setReachabilityFlagSourceForTesting(std::function<std::optional<uint32_t>(const std::string& host)> source);
// Tests: makes every scheduled target check again, as a change announced by
// the kernel does.
void announceReachabilityChangeForTesting();

}  // namespace platform
