#include "platform/foundation/Error.h"

#include <cstring>
#include <execinfo.h>

#include "platform/foundation/UncaughtException.h"
#include "platform/objc/Runtime.h"

namespace platform {

namespace {

// In place before main, so that whoever replaces the terminate handler later
// keeps this one as its previous.
struct InstallTerminateHandler {
    InstallTerminateHandler() { detail::installUncaughtExceptionTerminateHandler(); }
} g_installTerminateHandler;

constexpr int kMaxCallStackDepth = 512;

}  // namespace

// The runtime object lives in a heap of its own that gives the object back
// when it is released; the heap (with the name and reason strings) goes
// right after.
struct InvalidArgumentException::Shared {
    objc::ObjectHeap heap{true};
    void* object;
    std::vector<uintptr_t> callStack;

    Shared(const std::string& name, const std::string& reason) : object(heap.makeException(name, reason)) {}
    ~Shared() { objc::release(object); }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;
};

std::string Error::description() const {
    return "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" + localizedDescription + "\"";
}

std::string describe(const OptionalError& error) { return error ? error->description() : "(null)"; }

Error posixError(int err, const std::string& what) {
    char buf[256];
    // GNU strerror_r may return a static string instead of filling buf.
    const char* text = strerror_r(err, buf, sizeof buf);
    std::string description = what.empty() ? std::string(text) : what + ": " + text;
    return Error(kPOSIXErrorDomain, err, std::move(description));
}

InvalidArgumentException::InvalidArgumentException(std::string reason, std::string name)
    : name_(std::move(name)), reason_(std::move(reason)) {
    // Taken here, not in a helper, so that the list starts at the return
    // into the raising function: the entries before it are this
    // constructor's (and a sanitizer's backtrace interceptor's, when there is one).
    void* frames[kMaxCallStackDepth];
    const int depth = backtrace(frames, kMaxCallStackDepth);
    void* const intoRaiser = __builtin_return_address(0);
    int first = 1;
    for (int i = 1; i < depth && i <= 3; i++) {
        if (frames[i] == intoRaiser) {
            first = i;
            break;
        }
    }
    auto shared = std::make_shared<Shared>(name_, reason_);
    for (int i = first; i < depth; i++) shared->callStack.push_back(reinterpret_cast<uintptr_t>(frames[i]));
    shared_ = std::move(shared);
}

const void* InvalidArgumentException::object() const noexcept { return shared_ ? shared_->object : nullptr; }

const std::vector<uintptr_t>& InvalidArgumentException::callStackReturnAddresses() const noexcept {
    static const std::vector<uintptr_t> kNone;
    return shared_ ? shared_->callStack : kNone;
}

}  // namespace platform
