#include "platform/foundation/UncaughtException.h"

#include <atomic>
#include <cstdlib>
#include <cxxabi.h>

namespace platform {

namespace {

std::atomic<UncaughtExceptionHandler> g_handler{nullptr};
std::atomic<std::terminate_handler> g_previousTerminate{nullptr};
std::atomic<bool> g_installed{false};

[[noreturn]] void onTerminate() {
    // Rethrowing with no current exception would call terminate again.
    if (abi::__cxa_current_exception_type() != nullptr) {
        try {
            throw;
        } catch (const InvalidArgumentException& exception) {
            if (const UncaughtExceptionHandler handler = g_handler.load()) handler(exception);
            abort();
        } catch (...) {
            // Not ours: still current for the previous handler after this block.
        }
    }
    if (const std::terminate_handler previous = g_previousTerminate.load()) previous();
    abort();
}

}  // namespace

UncaughtExceptionHandler getUncaughtExceptionHandler() { return g_handler.load(); }

void setUncaughtExceptionHandler(UncaughtExceptionHandler handler) { g_handler.store(handler); }

namespace detail {

void installUncaughtExceptionTerminateHandler() {
    if (g_installed.exchange(true)) return;
    g_previousTerminate.store(std::set_terminate(onTerminate));
}

}  // namespace detail

}  // namespace platform
