// Symbolication of stack entries. Crash-path safe: no heap, no locks, no
// stdio; the answer cache is a fixed static table that only the thread
// holding it (claimed with a compare-and-swap) reads or writes.
#include "Mayday/Recording/Tools/MDSymbolicator.h"

#include <cstring>

#include "Mayday/Recording/Tools/MDDynamicLinker.h"
#include "Mayday/Recording/Tools/MDThread.h"

namespace {

constexpr int kCacheSlots = 1024;  // a power of two
constexpr int kCacheLimit = kCacheSlots * 3 / 4;

struct CachedAnswer {
    uintptr_t lookupAddress;
    unsigned generation;  // in use while it equals g_generation
    bool found;
    const char* imageName;
    uintptr_t imageAddress;
    const char* symbolName;
    uintptr_t symbolAddress;
};

CachedAnswer g_cache[kCacheSlots];
int g_cacheCount = 0;
// Advanced by each caching span, which frees every slot at once without
// touching the table (most of its pages are never written).
unsigned g_generation = 0;
MDThread g_cacheOwner = 0;  // 0: nobody caches

int slotFor(uintptr_t address) {
    // Code addresses share their low bits poorly; mix before masking.
    uint64_t h = (uint64_t)address * 0x9E3779B97F4A7C15ull;
    return (int)(h >> 54) & (kCacheSlots - 1);
}

// The slot holding `address`, or the free slot where it belongs.
CachedAnswer* findSlot(uintptr_t address) {
    for (int i = slotFor(address);; i = (i + 1) & (kCacheSlots - 1)) {
        CachedAnswer* slot = &g_cache[i];
        if (slot->generation != g_generation || slot->lookupAddress == address) return slot;
    }
}

bool ownsCache() {
    const MDThread owner = __atomic_load_n(&g_cacheOwner, __ATOMIC_ACQUIRE);
    return owner != 0 && owner == mdthread_self();
}

void fill(MDStackCursor* cursor, const CachedAnswer& answer) {
    cursor->stackEntry.imageName = answer.imageName;
    cursor->stackEntry.imageAddress = answer.imageAddress;
    cursor->stackEntry.symbolName = answer.symbolName;
    cursor->stackEntry.symbolAddress = answer.symbolAddress;
}

CachedAnswer lookUp(uintptr_t address) {
    CachedAnswer answer = {};
    answer.lookupAddress = address;
    Dl_info info;
    if (mddl_dladdr(address, &info)) {
        answer.found = true;
        answer.imageName = info.dli_fname;
        answer.imageAddress = (uintptr_t)info.dli_fbase;
        answer.symbolName = info.dli_sname;
        answer.symbolAddress = (uintptr_t)info.dli_saddr;
    }
    return answer;
}

}  // namespace

bool mdsymbolicator_symbolicate(MDStackCursor* cursor) {
    uintptr_t address = cursor->stackEntry.address;
    // A return address points after its call; one less lands inside the call
    // so that a call ending a function is not named after the next one. The
    // instruction of a fault is already the right address: a fault at the
    // first byte of a function must not be named after the function before.
    if (!cursor->stackEntry.isInstructionAddress && address > 0) {
        address -= 1;
    }
    if (!ownsCache()) {
        const CachedAnswer answer = lookUp(address);
        fill(cursor, answer);
        return answer.found;
    }
    CachedAnswer* slot = findSlot(address);
    if (slot->generation == g_generation) {
        fill(cursor, *slot);
        return slot->found;
    }
    const CachedAnswer answer = lookUp(address);
    if (g_cacheCount < kCacheLimit) {
        *slot = answer;
        slot->generation = g_generation;
        g_cacheCount++;
    }
    fill(cursor, answer);
    return answer.found;
}

bool mdsymbolicator_beginCaching(void) {
    const MDThread self = mdthread_self();
    MDThread expected = 0;
    if (!__atomic_compare_exchange_n(&g_cacheOwner, &expected, self, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
        return false;
    // Answers from an earlier report may name images that are gone since.
    if (++g_generation == 0) {
        memset(g_cache, 0, sizeof(g_cache));  // after 2^32 spans: no slot may look current
        g_generation = 1;
    }
    g_cacheCount = 0;
    return true;
}

void mdsymbolicator_endCaching(void) {
    MDThread expected = mdthread_self();
    __atomic_compare_exchange_n(&g_cacheOwner, &expected, (MDThread)0, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
}
