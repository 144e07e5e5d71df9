// The zombie monitor over the object runtime's replaceable dealloc.
//
// Crash path: mdzombie_classNameForAddress and addContextToEvent (fixed
// memory, relaxed atomics). The recording dealloc is ordinary code but on
// the path of every release: one indexed store, one class walk and, for
// NSExceptions only, two bounded copies through the crash-safe introspection.
#include "Mayday/Recording/Monitors/MaydayMonitor_Zombie.h"

#include <atomic>
#include <cstring>
#include <new>

#include "Mayday/Recording/Tools/MDLogger.h"
#include "Mayday/Recording/Tools/MDMemory.h"
#include "Mayday/Recording/Tools/MDObjC.h"
#include "platform/objc/Runtime.h"

namespace objc = platform::objc;

namespace {

constexpr uintptr_t kCacheMask = 0x7FFF;
constexpr size_t kCacheEntries = kCacheMask + 1;

struct Zombie {
    std::atomic<uintptr_t> object{0};
    std::atomic<const char*> className{nullptr};
};
static_assert(sizeof(Zombie) == 16, "cache entries are an address and a name pointer");
constexpr unsigned kCacheBytes = kCacheEntries * sizeof(Zombie);  // 0x80000

std::atomic<bool> g_isEnabled{false};
std::atomic<Zombie*> g_cache{nullptr};

objc::Class* g_nsExceptionClass = nullptr;
// Looked up on NSException itself: a subclass's own ivar list does not hold them.
int32_t g_nameOffset = -1;
int32_t g_reasonOffset = -1;

struct {
    std::atomic<uint64_t> address;
    char name[100];
    char reason[900];
} g_lastException;

std::atomic<objc::DeallocFunction> g_previousNSObjectDealloc{nullptr};
std::atomic<objc::DeallocFunction> g_previousNSProxyDealloc{nullptr};

size_t cacheIndex(uintptr_t address) { return (address >> 7) & kCacheMask; }

// Copies the text of the string object held by the ivar at `offset`; leaves
// `buffer` as it is when anything does not look right.
void copyStringIvar(const void* object, int32_t offset, char* buffer, int size) {
    if (offset < 0) return;
    const void* string = nullptr;
    if (!mdmem_copySafely(static_cast<const char*>(object) + offset, &string, sizeof(string))) return;
    if (!mdobjc_isValidObject(string) || mdobjc_objectClassType(string) != MDObjCClassTypeString) return;
    mdobjc_copyStringContents(string, buffer, size);
}

void recordDeallocation(void* object) {
    Zombie* cache = g_cache.load(std::memory_order_acquire);
    if (cache == nullptr) return;
    const objc::Class* cls = objc::objectClass(object);
    if (cls == nullptr) return;
    const uintptr_t address = reinterpret_cast<uintptr_t>(object);
    Zombie& entry = cache[cacheIndex(address)];
    entry.className.store(objc::className(cls), std::memory_order_relaxed);
    entry.object.store(address, std::memory_order_relaxed);

    for (; cls != nullptr; cls = cls->superclass) {
        if (cls != g_nsExceptionClass) continue;
        g_lastException.address.store(address, std::memory_order_relaxed);
        // A failed copy must not pair this address with the previous texts.
        g_lastException.name[0] = '\0';
        g_lastException.reason[0] = '\0';
        copyStringIvar(object, g_nameOffset, g_lastException.name, sizeof(g_lastException.name));
        copyStringIvar(object, g_reasonOffset, g_lastException.reason, sizeof(g_lastException.reason));
        break;
    }
}

void deallocNSObject(void* object) {
    recordDeallocation(object);
    if (const objc::DeallocFunction previous = g_previousNSObjectDealloc.load()) previous(object);
}

void deallocNSProxy(void* object) {
    recordDeallocation(object);
    if (const objc::DeallocFunction previous = g_previousNSProxyDealloc.load()) previous(object);
}

void install() {
    Zombie* cache = new (std::nothrow) Zombie[kCacheEntries]();
    if (cache == nullptr) {
        MDLOG_ERROR("Error: Could not allocate %u bytes of memory. MDZombie NOT installed!", kCacheBytes);
        return;
    }
    g_nsExceptionClass = objc::classNamed("NSException");
    g_nameOffset = objc::ivarOffset(g_nsExceptionClass, "name");
    g_reasonOffset = objc::ivarOffset(g_nsExceptionClass, "reason");
    g_lastException.address.store(0);
    g_lastException.name[0] = '\0';
    g_lastException.reason[0] = '\0';
    // Published before the deallocs are replaced: they find everything set up.
    g_cache.store(cache, std::memory_order_release);

    g_previousNSObjectDealloc.store(objc::replaceDealloc(objc::classNamed("NSObject"), deallocNSObject));
    g_previousNSProxyDealloc.store(objc::replaceDealloc(objc::classNamed("NSProxy"), deallocNSProxy));
}

void setEnabled(bool isEnabled) {
    // There is no way back: objects freed from now on go through the
    // recording dealloc, so a request to disable leaves it enabled.
    if (!isEnabled || g_isEnabled.exchange(true)) return;
    install();
}

bool isEnabled() { return g_isEnabled.load(); }

void addContextToEvent(Mayday_MonitorContext* eventContext) {
    if (!g_isEnabled.load()) return;
    eventContext->zombieException.address = g_lastException.address.load(std::memory_order_relaxed);
    eventContext->zombieException.name = g_lastException.name;
    eventContext->zombieException.reason = g_lastException.reason;
}

const MaydayMonitorAPI g_api = {setEnabled, isEnabled, addContextToEvent};

}  // namespace

const char* mdzombie_classNameForAddress(const void* address) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(address);
    if (value == 0) return nullptr;
    const Zombie* cache = g_cache.load(std::memory_order_acquire);
    if (cache == nullptr) return nullptr;
    const Zombie& entry = cache[cacheIndex(value)];
    if (entry.object.load(std::memory_order_relaxed) != value) return nullptr;
    return entry.className.load(std::memory_order_relaxed);
}

const MaydayMonitorAPI* mdcm_zombie_getAPI(void) { return &g_api; }
