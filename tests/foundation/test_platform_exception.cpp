// The platform exception as a runtime object, the terminate path that hands
// an uncaught one to the uncaught-exception handler, and the runtime's
// replaceable dealloc. Uncaught exceptions run in forked children.
#include <gtest/gtest.h>

#include <csignal>
#include <stdexcept>
#include <unistd.h>
#include <vector>

#include "CrashChild.h"
#include "platform/foundation/UncaughtException.h"
#include "platform/objc/Runtime.h"

namespace objc = platform::objc;

namespace {

__attribute__((noinline)) platform::InvalidArgumentException makeInHere() {
    return platform::InvalidArgumentException("r", "N");
}

std::vector<const void*> g_deallocated;
void recordingDealloc(void* object) {
    g_deallocated.push_back(object);
    objc::deallocForClass(objc::classNamed("NSObject"))(object);
}

TEST(PlatformException, IsAnNSExceptionObjectReleasedWithItsLastCopy) {
    objc::Class* nsException = objc::classNamed("NSException");
    ASSERT_EQ(objc::replaceDealloc(nsException, recordingDealloc), nullptr);
    const void* object;
    {
        std::vector<platform::InvalidArgumentException> copies{makeInHere()};
        copies.push_back(copies[0]);
        object = copies[1].object();
        EXPECT_EQ(objc::objectClass(object), nsException);
        const uintptr_t first = copies[0].callStackReturnAddresses().at(0);
        const uintptr_t start = reinterpret_cast<uintptr_t>(&makeInHere);
        // Inside it (an instrumented build makes it some hundred bytes longer).
        EXPECT_TRUE(first > start && first < start + 4096) << std::hex << first << " " << start;
        copies.erase(copies.begin());
        EXPECT_TRUE(g_deallocated.empty());
    }
    EXPECT_EQ(g_deallocated, std::vector<const void*>{object});
    EXPECT_EQ(objc::replaceDealloc(nsException, nullptr), recordingDealloc);
}

TEST(PlatformException, DeallocIsFoundUpTheChainAndReleaseFreesOrMarks) {
    objc::Class* root = objc::defineClass("DeallocLessRoot", nullptr, {{"isa", "#", 8}});
    objc::Class* proxied = objc::defineClass("DeallocProxied", objc::classNamed("NSProxy"), {});
    EXPECT_EQ(objc::deallocForClass(root), nullptr);
    EXPECT_EQ(objc::deallocForClass(proxied), objc::defaultDealloc);

    objc::ObjectHeap keeping;
    void* marked = keeping.makeObject(proxied);
    void* untouched = keeping.makeObject(root);
    objc::release(marked);
    objc::release(untouched);
    EXPECT_EQ(objc::objectClass(marked), nullptr);
    EXPECT_EQ(objc::objectClass(untouched), root);
    objc::ObjectHeap freeing(true);
    void* freed = freeing.makeObject(proxied);
    objc::release(freed);
    EXPECT_FALSE(freeing.freeBlock(freed));  // already given back
}

// The noexcept frame keeps the test framework from catching what `body` throws.
void uncaught(void (*body)()) noexcept { body(); }

class SubclassedException : public platform::InvalidArgumentException {
public:
    SubclassedException() : InvalidArgumentException("sub", "SubName") {}
};

TEST(PlatformException, UncaughtOnesGoToTheHandlerOthersToThePreviousTerminate) {
    // Standard error goes to the pipe too: the previous (default) handler writes there.
    const auto run = [](void (*body)()) {
        return zeltest::runInChild([body] {
            platform::setUncaughtExceptionHandler(
                [](const platform::InvalidArgumentException& exception) { zeltest::put(exception.name().c_str()); });
            dup2(zeltest::g_reportFd, STDERR_FILENO);
            uncaught(body);
        });
    };
    zeltest::ChildEnd end = run([] { throw SubclassedException(); });
    EXPECT_EQ(end.signal, SIGABRT);
    EXPECT_EQ(end.output, "SubName");
    end = run([] { throw std::runtime_error("plain"); });
    EXPECT_EQ(end.signal, SIGABRT);
    EXPECT_EQ(end.output.find("terminate called after throwing an instance of 'std::runtime_error'"), 0u)
        << end.output;
    end = run([] { std::terminate(); });
    EXPECT_EQ(end.signal, SIGABRT);
    EXPECT_EQ(end.output.find("terminate called without an active exception"), 0u) << end.output;
}

}  // namespace
