// The zombie monitor over the object runtime. Enabling it is for good, so
// every case runs in a forked child, which reports failed checks.
#include "Mayday/Recording/Monitors/MaydayMonitor_Zombie.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/mman.h>

#include "CrashChild.h"
#include "platform/foundation/Error.h"
#include "platform/objc/Runtime.h"

namespace objc = platform::objc;

namespace {

void check(bool condition, const char* what) {
    if (!condition) zeltest::put(what);
}

bool named(const void* address, const char* name) {
    const char* found = mdzombie_classNameForAddress(address);
    return found != nullptr && strcmp(found, name) == 0;
}

TEST(ZombieMonitor, ReleasedObjectsAreNamedByTheirAddress) {
    const zeltest::ChildEnd end = zeltest::runInChild([] {
        objc::Class* thing = objc::defineClass("ZombieThing", objc::classNamed("NSObject"), {});
        objc::Class* proxy = objc::defineClass("ZombieProxy", objc::classNamed("NSProxy"), {});
        mdcm_zombie_getAPI()->setEnabled(true);
        objc::ObjectHeap heap;
        void* object = heap.makeObject(thing);
        void* proxied = heap.makeObject(proxy);
        objc::release(object);
        objc::release(proxied);
        check(named(object, "ZombieThing") && named(proxied, "ZombieProxy"), "not named;");
        check(!mdzombie_classNameForAddress(heap.makeObject(thing)) && !mdzombie_classNameForAddress(nullptr),
              "live object or 0 named;");

        // Bits 7 to 21 pick the entry: objects 4 MB apart share one, and so
        // do objects in the same 128 bytes; 2 MB apart they do not.
        const uintptr_t region = reinterpret_cast<uintptr_t>(
            mmap(nullptr, 0x1000000, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        char* first = reinterpret_cast<char*>((region + 0x3FFFFF) & ~uintptr_t(0x3FFFFF));
        char* const objects[] = {first, first + 0x200000, first + 0x40, first + 0x400000};
        for (char* fake : objects) {
            memcpy(fake, &thing, sizeof(thing));
            objc::release(fake);
        }
        check(!mdzombie_classNameForAddress(objects[0]) && named(objects[1], "ZombieThing") &&
                  !mdzombie_classNameForAddress(objects[2]) && named(objects[3], "ZombieThing"),
              "wrong entries;");

        mdcm_selectMonitors(MaydayMonitorTypeNone);
        void* later = heap.makeObject(thing);
        objc::release(later);
        check(mdcm_activeMonitorTypes() == MaydayMonitorTypeZombie && named(later, "ZombieThing"), "removed;");
    });
    EXPECT_TRUE(end.exited) << end.signal;
    EXPECT_EQ(end.output, "");
}

// What a dispatched event carries: "name/reason@address".
Mayday_MonitorContext g_seen;
std::string lastException() {
    Mayday_MonitorContext context = {};
    mdcm_dispatchEvent(&context);
    const auto& last = g_seen.zombieException;
    return std::string(last.name ? last.name : "") + "/" + (last.reason ? last.reason : "") + "@" +
           std::to_string(last.address);
}
std::string at(const void* address) { return "@" + std::to_string(reinterpret_cast<uintptr_t>(address)); }

TEST(ZombieMonitor, TheLastFreedExceptionIsAddedToEveryEvent) {
    const zeltest::ChildEnd end = zeltest::runInChild([] {
        mdcm_setEventHandler([](Mayday_MonitorContext* context) { g_seen = *context; });
        mdcm_selectMonitors(MaydayMonitorTypeZombie);
        check(lastException() == "/@0", "one before any was freed;");
        const void* address;
        {
            const platform::InvalidArgumentException exception("bad key");
            address = exception.object();
        }
        check(lastException() == "NSInvalidArgumentException/bad key" + at(address), "platform exception;");

        // A subclass with ivars of its own: its own texts, and never another's.
        objc::Class* subclass = objc::defineClass("ZombieException", objc::classNamed("NSException"),
                                                  {{"detail", "@", 8}, {"code", "q", 8}});
        objc::ObjectHeap heap;
        void* raised = heap.makeObject(subclass);
        const void* texts[] = {heap.makeString("SubName"), heap.makeString("sub reason")};
        objc::setIvar(raised, "name", &texts[0], sizeof(void*));
        objc::setIvar(raised, "reason", &texts[1], sizeof(void*));
        objc::release(raised);
        check(lastException() == "SubName/sub reason" + at(raised), "subclass;");
        void* bare = heap.makeObject(subclass);
        objc::release(bare);
        check(lastException() == "/" + at(bare), "previous texts kept;");
    });
    EXPECT_TRUE(end.exited) << end.signal;
    EXPECT_EQ(end.output, "");
}

}  // namespace
