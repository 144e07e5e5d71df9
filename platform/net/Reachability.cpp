// Reachability targets on Linux: name resolution plus a route check, and one
// shared thread reading the kernel's route/link/address announcements.
#include "platform/net/Reachability.h"

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/UniqueFd.h"

namespace platform {

namespace {

using FlagSource = std::function<std::optional<uint32_t>(const std::string& host)>;

std::mutex& flagSourceMutex() {
    static std::mutex* mutex = new std::mutex;  // leaked: checks may run while the process exits
    return *mutex;
}

std::shared_ptr<const FlagSource>& flagSourceSlot() {
    static auto* slot = new std::shared_ptr<const FlagSource>;
    return *slot;
}

std::shared_ptr<const FlagSource> currentFlagSource() {
    std::lock_guard<std::mutex> lock(flagSourceMutex());
    return flagSourceSlot();
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string lowerCased(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

sockaddr_storage storageOf(const void* address, size_t length) {
    sockaddr_storage storage{};
    std::memcpy(&storage, address, std::min(length, sizeof storage));
    return storage;
}

sockaddr_storage ipv4(uint32_t hostOrderAddress, uint16_t port) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    in.sin_addr.s_addr = htonl(hostOrderAddress);
    return storageOf(&in, sizeof in);
}

sockaddr_storage ipv6Loopback(uint16_t port) {
    sockaddr_in6 in6{};
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(port);
    in6.sin6_addr = in6addr_loopback;
    return storageOf(&in6, sizeof in6);
}

// Names the resolver must answer itself, without asking any server:
// "invalid" never exists and "localhost" is always this machine.
std::optional<std::vector<sockaddr_storage>> specialUseName(const std::string& host, uint16_t port) {
    const std::string name = lowerCased(endsWith(host, ".") ? host.substr(0, host.size() - 1) : host);
    if (name == "invalid" || endsWith(name, ".invalid")) return std::vector<sockaddr_storage>{};
    if (name == "localhost" || endsWith(name, ".localhost")) {
        return std::vector<sockaddr_storage>{ipv4(INADDR_LOOPBACK, port), ipv6Loopback(port)};
    }
    return std::nullopt;
}

struct AddrInfoDeleter {
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};

// The addresses of `host`; none when it does not resolve.
std::vector<sockaddr_storage> resolve(const std::string& host, uint16_t port) {
    if (auto special = specialUseName(host, port)) return *special;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0) return {};
    std::unique_ptr<addrinfo, AddrInfoDeleter> list(found);
    std::vector<sockaddr_storage> addresses;
    for (const addrinfo* entry = list.get(); entry; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET || entry->ai_family == AF_INET6) {
            addresses.push_back(storageOf(entry->ai_addr, entry->ai_addrlen));
        }
    }
    return addresses;
}

bool isLoopback(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(address);
        return (ntohl(in.sin_addr.s_addr) >> 24) == 127;
    }
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
    if (IN6_IS_ADDR_LOOPBACK(&in6.sin6_addr)) return true;
    return IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr) && in6.sin6_addr.s6_addr[12] == 127;
}

// Whether the kernel has a route to `address`: connect() on a UDP socket
// only looks the route up and sends nothing.
bool hasRoute(sockaddr_storage address) {
    if (isLoopback(address)) return true;
    if (address.ss_family == AF_INET) {
        auto& in = reinterpret_cast<sockaddr_in&>(address);
        // Connecting to 0.0.0.0 would mean this machine; the question it
        // stands for is whether anything off this machine is routed, so ask
        // for an address no network owns (TEST-NET-1), which only a default
        // or wide route covers.
        if (in.sin_addr.s_addr == htonl(INADDR_ANY)) in.sin_addr.s_addr = htonl(0xC0000201);  // 192.0.2.1
    }
    UniqueFd socket(::socket(address.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socket) return false;
    const socklen_t length = address.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    int result;
    do {
        result = ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), length);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

uint32_t flagsForAddresses(const std::vector<sockaddr_storage>& addresses) {
    for (const sockaddr_storage& address : addresses) {
        if (hasRoute(address)) return kReachabilityFlagReachable;
    }
    return 0;
}

class ChangeWatcher;

}  // namespace

// ------------------------------------------------------------------ the target

struct ReachabilityCore : std::enable_shared_from_this<ReachabilityCore> {
    using Callback = Reachability::Callback;

    ReachabilityCore(std::string targetText, bool byName, std::vector<sockaddr_storage> fixed, uint16_t portNumber)
        : target(std::move(targetText)), isName(byName), port(portNumber), fixedAddresses(std::move(fixed)) {}

    std::optional<uint32_t> readFlags();
    // From the watcher: queues a check on the global queue, or, when one is
    // already queued or running, asks it to check once more.
    void changeAnnounced();
    void runChecks();

    const std::string target;
    const bool isName;
    const uint16_t port;
    const std::vector<sockaddr_storage> fixedAddresses;

    std::mutex mutex;
    Callback callback;
    std::optional<uint32_t> lastReported;
    bool checkQueued = false;
    bool checkAgain = false;
    std::shared_ptr<ChangeWatcher> watcher;  // set while scheduled
    std::vector<sockaddr_storage> resolved;
    bool hasResolved = false;
};

namespace {

// One thread for every scheduled target, reading a NETLINK_ROUTE socket
// subscribed to link, address and route changes. Owned by the scheduled
// targets; the last one to go ends it.
class ChangeWatcher {
public:
    static std::shared_ptr<ChangeWatcher> shared() {
        std::lock_guard<std::mutex> lock(registryMutex());
        std::shared_ptr<ChangeWatcher> watcher = registry().lock();
        if (!watcher) {
            watcher = std::make_shared<ChangeWatcher>();
            registry() = watcher;
        }
        return watcher;
    }

    static std::shared_ptr<ChangeWatcher> existing() {
        std::lock_guard<std::mutex> lock(registryMutex());
        return registry().lock();
    }

    // Throws std::system_error when the thread cannot be started.
    ChangeWatcher() {
        wake_ = UniqueFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
        if (!wake_) throw std::system_error(errno, std::generic_category(), "eventfd");
        netlink_ = openRouteSocket();
        thread_ = std::thread([this] { run(); });
    }

    ~ChangeWatcher() {
        stopping_.store(true);
        uint64_t one = 1;
        while (::write(wake_.get(), &one, sizeof one) < 0 && errno == EINTR) {
        }
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();  // not reached: the thread never holds an owner of a target
        } else {
            thread_.join();
        }
    }

    ChangeWatcher(const ChangeWatcher&) = delete;
    ChangeWatcher& operator=(const ChangeWatcher&) = delete;

    void add(const std::shared_ptr<ReachabilityCore>& core) {
        std::lock_guard<std::mutex> lock(mutex_);
        cores_.push_back({core.get(), core});
    }

    // Matched by address, so that no target is ever kept alive (and so
    // possibly destroyed) while the list is locked.
    void remove(const ReachabilityCore* core) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::erase_if(cores_, [core](const Entry& entry) { return entry.key == core || entry.core.expired(); });
    }

    void announceAll() {
        std::vector<Entry> cores;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            cores = cores_;
        }
        for (const Entry& entry : cores) {
            if (auto core = entry.core.lock()) core->changeAnnounced();
        }
    }

private:
    static std::mutex& registryMutex() {
        static std::mutex* mutex = new std::mutex;  // leaked: targets may go while the process exits
        return *mutex;
    }
    static std::weak_ptr<ChangeWatcher>& registry() {
        static auto* watcher = new std::weak_ptr<ChangeWatcher>;
        return *watcher;
    }

    // Without the socket (a sandbox may refuse it) targets still answer
    // their flags; they only miss the changes.
    static UniqueFd openRouteSocket() {
        UniqueFd socket(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE));
        if (socket) {
            sockaddr_nl local{};
            local.nl_family = AF_NETLINK;
            local.nl_groups =
                RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
            if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0) return socket;
        }
        logFormat("Reachability: network changes cannot be watched (%s)", std::strerror(errno));
        return UniqueFd();
    }

    // Reads everything queued; answers whether the kernel announced
    // anything (a lost message, ENOBUFS, counts as a change too).
    bool drainRouteSocket() {
        bool changed = false;
        alignas(nlmsghdr) char buffer[8192];
        for (;;) {
            sockaddr_nl sender{};
            socklen_t senderLength = sizeof sender;
            ssize_t got = ::recvfrom(netlink_.get(), buffer, sizeof buffer, MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&sender), &senderLength);
            if (got > 0) {
                if (sender.nl_pid == 0) changed = true;  // only the kernel's word counts
                continue;
            }
            if (got < 0 && errno == EINTR) continue;
            if (got < 0 && errno == ENOBUFS) {
                changed = true;
                continue;
            }
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return changed;
            logFormat("Reachability: reading network changes failed (%s)", std::strerror(errno));
            netlink_.reset();
            return changed;
        }
    }

    void run() {
        for (;;) {
            pollfd fds[2] = {{wake_.get(), POLLIN, 0}, {netlink_.get(), POLLIN, 0}};
            const nfds_t count = netlink_ ? 2 : 1;
            if (::poll(fds, count, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[0].revents != 0) {
                uint64_t value;
                while (::read(wake_.get(), &value, sizeof value) < 0 && errno == EINTR) {
                }
                if (stopping_.load()) return;
            }
            if (count == 2 && fds[1].revents != 0 && drainRouteSocket()) announceAll();
        }
    }

    UniqueFd wake_;
    UniqueFd netlink_;
    std::atomic<bool> stopping_{false};
    struct Entry {
        const ReachabilityCore* key;
        std::weak_ptr<ReachabilityCore> core;
    };

    std::mutex mutex_;
    std::vector<Entry> cores_;
    std::thread thread_;  // last: started once everything it reads exists
};

}  // namespace

std::optional<uint32_t> ReachabilityCore::readFlags() {
    if (std::shared_ptr<const FlagSource> source = currentFlagSource()) return (*source)(target);
    if (!isName) return flagsForAddresses(fixedAddresses);
    std::vector<sockaddr_storage> addresses;
    if (MainLoop::isMainThread()) {
        // Resolving may wait for a name server: never on the main thread.
        std::lock_guard<std::mutex> lock(mutex);
        if (!hasResolved) return std::nullopt;
        addresses = resolved;
    } else {
        addresses = resolve(target, port);
        std::lock_guard<std::mutex> lock(mutex);
        resolved = addresses;
        hasResolved = true;
    }
    return flagsForAddresses(addresses);
}

void ReachabilityCore::changeAnnounced() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!watcher) return;
        if (checkQueued) {
            checkAgain = true;
            return;
        }
        checkQueued = true;
    }
    std::weak_ptr<ReachabilityCore> weak = weak_from_this();
    DispatchQueue::global().async([weak] {
        if (std::shared_ptr<ReachabilityCore> core = weak.lock()) core->runChecks();
    });
}

void ReachabilityCore::runChecks() {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            checkAgain = false;
            if (!watcher) {
                checkQueued = false;
                return;
            }
        }
        const std::optional<uint32_t> now = readFlags();
        Callback report;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (now && now != lastReported && watcher) {
                lastReported = now;
                report = callback;
            }
        }
        if (report) report(*now);
        std::lock_guard<std::mutex> lock(mutex);
        if (!checkAgain) {
            checkQueued = false;
            return;
        }
    }
}

Reachability::Reachability(std::shared_ptr<ReachabilityCore> core) : core_(std::move(core)) {}

Reachability::~Reachability() {
    unschedule();
    // Whatever the callback holds goes here, not on the thread that happens
    // to drop the state last (possibly the watcher's own).
    setCallback(nullptr);
}

std::shared_ptr<Reachability> Reachability::createWithName(const std::string& host, uint16_t port) {
    if (host.empty()) return nullptr;
    auto core = std::make_shared<ReachabilityCore>(host, true, std::vector<sockaddr_storage>{}, port);
    return std::shared_ptr<Reachability>(new Reachability(std::move(core)));
}

std::shared_ptr<Reachability> Reachability::createWithAddress(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    sockaddr_in withFamily = address;
    withFamily.sin_family = AF_INET;
    if (withFamily.sin_port == 0) withFamily.sin_port = htons(80);
    std::vector<sockaddr_storage> fixed{storageOf(&withFamily, sizeof withFamily)};
    auto core = std::make_shared<ReachabilityCore>(text, false, std::move(fixed), ntohs(withFamily.sin_port));
    return std::shared_ptr<Reachability>(new Reachability(std::move(core)));
}

const std::string& Reachability::target() const noexcept { return core_->target; }

std::optional<uint32_t> Reachability::flags() { return core_->readFlags(); }

void Reachability::setCallback(Callback callback) {
    std::lock_guard<std::mutex> lock(core_->mutex);
    core_->callback = std::move(callback);
}

bool Reachability::schedule() {
    {
        std::lock_guard<std::mutex> lock(core_->mutex);
        if (core_->watcher) return true;
    }
    std::shared_ptr<ChangeWatcher> watcher;
    try {
        watcher = ChangeWatcher::shared();
    } catch (const std::system_error& error) {
        logFormat("Reachability: cannot watch network changes: %s", error.what());
        return false;
    }
    watcher->add(core_);
    std::lock_guard<std::mutex> lock(core_->mutex);
    core_->watcher = std::move(watcher);
    return true;
}

void Reachability::unschedule() {
    std::shared_ptr<ChangeWatcher> watcher;
    {
        std::lock_guard<std::mutex> lock(core_->mutex);
        watcher = std::move(core_->watcher);
        core_->watcher = nullptr;
    }
    // Released outside the lock: the last target to go joins the thread.
    if (watcher) watcher->remove(core_.get());
}

bool Reachability::isScheduled() const {
    std::lock_guard<std::mutex> lock(core_->mutex);
    return core_->watcher != nullptr;
}

void setReachabilityFlagSourceForTesting(std::function<std::optional<uint32_t>(const std::string& host)> source) {
    std::shared_ptr<const FlagSource> slot;
    if (source) slot = std::make_shared<const FlagSource>(std::move(source));
    std::lock_guard<std::mutex> lock(flagSourceMutex());
    flagSourceSlot() = std::move(slot);
}

void announceReachabilityChangeForTesting() {
    if (std::shared_ptr<ChangeWatcher> watcher = ChangeWatcher::existing()) watcher->announceAll();
}

}  // namespace platform
