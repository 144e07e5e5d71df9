// Reachability monitor and the one-shot reachable operation, over
// platform::Reachability. Queued blocks and the platform callback hold the
// monitor weakly: one that has gone is simply not told any more.
#include "sentry/MDReachabilityMayday.h"

#include <arpa/inet.h>

#include <optional>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/URL.h"
#include "platform/net/Reachability.h"

namespace {

constexpr uint16_t kDefaultPort = 80;

sockaddr_in ipv4Address(uint32_t hostOrderAddress) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(hostOrderAddress);
    return address;
}

void applyOnMainQueue(const std::weak_ptr<MDReachabilityMayday>& weakMonitor, uint32_t flags) {
    platform::DispatchQueue::main().async([weakMonitor, flags] {
        if (std::shared_ptr<MDReachabilityMayday> monitor = weakMonitor.lock()) {
            monitor->onReachabilityFlagsChanged(flags);
        }
    });
}

}  // namespace

struct MDReachabilityMayday::Impl {
    std::shared_ptr<platform::Reachability> reachability;
};

MDReachabilityMayday::MDReachabilityMayday() = default;

MDReachabilityMayday::~MDReachabilityMayday() {
    if (impl_ && impl_->reachability) {
        impl_->reachability->setCallback(nullptr);
        impl_->reachability->unschedule();
    }
}

std::shared_ptr<MDReachabilityMayday> MDReachabilityMayday::reachabilityToHost(const std::string& hostOrURL) {
    const std::string host = extractHostName(hostOrURL);
    if (host.empty()) return reachabilityWithAddress(ipv4Address(INADDR_ANY));
    uint16_t port = kDefaultPort;
    if (std::optional<platform::URL> url = platform::URL::URLWithString(hostOrURL)) {
        if (!url->host().empty() && url->port() && *url->port() > 0 && *url->port() <= 65535) {
            port = static_cast<uint16_t>(*url->port());
        }
    }
    return reachabilityWithReachabilityRef(platform::Reachability::createWithName(host, port));
}

std::shared_ptr<MDReachabilityMayday> MDReachabilityMayday::reachabilityToLocalNetwork() {
    return reachabilityWithAddress(ipv4Address(0xA9FE0000));  // 169.254.0.0, the link-local network
}

std::shared_ptr<MDReachabilityMayday> MDReachabilityMayday::reachabilityWithAddress(const sockaddr_in& address) {
    return reachabilityWithReachabilityRef(platform::Reachability::createWithAddress(address));
}

std::shared_ptr<MDReachabilityMayday> MDReachabilityMayday::reachabilityWithReachabilityRef(
    std::shared_ptr<platform::Reachability> reachability) {
    if (!reachability) return nullptr;
    std::shared_ptr<MDReachabilityMayday> monitor(new MDReachabilityMayday());
    const std::weak_ptr<MDReachabilityMayday> weakMonitor = monitor;
    reachability->setCallback([weakMonitor](uint32_t flags) { applyOnMainQueue(weakMonitor, flags); });
    if (!reachability->schedule()) {
        reachability->setCallback(nullptr);
        return nullptr;
    }
    // The first read may resolve the name: off the main queue.
    const std::weak_ptr<platform::Reachability> weakReachability = reachability;
    platform::DispatchQueue::global().async([weakMonitor, weakReachability] {
        std::shared_ptr<platform::Reachability> target = weakReachability.lock();
        if (!target || weakMonitor.expired()) return;
        if (std::optional<uint32_t> flags = target->flags()) applyOnMainQueue(weakMonitor, *flags);
    });
    monitor->impl_ = std::make_unique<Impl>(Impl{std::move(reachability)});
    return monitor;
}

std::string MDReachabilityMayday::extractHostName(const std::string& hostOrURL) {
    if (hostOrURL.empty()) return {};
    std::optional<platform::URL> url = platform::URL::URLWithString(hostOrURL);
    if (url && !url->host().empty()) return url->host();
    return hostOrURL;
}

bool MDReachabilityMayday::isReachableWithFlags(uint32_t flags) {
    using namespace platform;
    if ((flags & kReachabilityFlagReachable) == 0) return false;
    if ((flags & kReachabilityFlagConnectionRequired) == 0) return true;
    // A connection is needed: fine when it is made on its own, without the user.
    return (flags & kReachabilityFlagInterventionRequired) == 0 &&
           (flags & (kReachabilityFlagConnectionOnTraffic | kReachabilityFlagConnectionOnDemand)) != 0;
}

void MDReachabilityMayday::setOnReachabilityChanged(std::function<void(MDReachabilityMayday&)> block) {
    onReachabilityChanged_ = std::move(block);
}

void MDReachabilityMayday::onReachabilityFlagsChanged(uint32_t flags) {
    if (flags == flags_) return;
    // The callback may drop the last owner of this monitor, or replace the
    // callback itself: keep both alive until it returns.
    const std::shared_ptr<MDReachabilityMayday> keepAlive = weak_from_this().lock();
    flags_ = flags;
    reachable_ = isReachableWithFlags(flags);
    const std::function<void(MDReachabilityMayday&)> block = onReachabilityChanged_;
    if (block) block(*this);
}

bool MDReachabilityMayday::updateFlags() {
    if (!impl_ || !impl_->reachability) return false;
    const std::optional<uint32_t> flags = impl_->reachability->flags();
    if (!flags) return false;
    onReachabilityFlagsChanged(*flags);
    return true;
}

// ---------------------------------------------------------- reachable operation

std::shared_ptr<MDReachableOperationMayday> MDReachableOperationMayday::operationWithHost(const std::string& host,
                                                                                          bool allowWWAN,
                                                                                          std::function<void()> block) {
    auto operation = std::make_shared<MDReachableOperationMayday>();
    operation->block_ = std::move(block);
    operation->reachability_ = MDReachabilityMayday::reachabilityToHost(host);
    if (!operation->reachability_) return operation;  // never runs: nothing to watch
    const std::weak_ptr<MDReachableOperationMayday> weakOperation = operation;
    operation->reachability_->setOnReachabilityChanged([weakOperation, allowWWAN](MDReachabilityMayday& monitor) {
        const std::shared_ptr<MDReachableOperationMayday> self = weakOperation.lock();
        if (!self || !monitor.reachable() || (!allowWWAN && monitor.WWANOnly())) return;
        // Taken out first, so that it runs once even if it throws or re-enters.
        const std::function<void()> run = std::move(self->block_);
        self->block_ = nullptr;
        if (run) run();
        self->reachability_.reset();  // no more callbacks
    });
    return operation;
}

void MDReachableOperationMayday::cancel() {
    block_ = nullptr;
    reachability_.reset();
}
