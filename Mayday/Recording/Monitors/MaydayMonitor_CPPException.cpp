// The C++ exception monitor. Every throw passes through the interposed
// __cxa_throw, which calls recordThrow here while the monitor captures; the
// terminate handler reports the terminating thread's last throw.
//
// Not crash-path code in the signal-handler sense: the terminate handler runs
// on the thread that failed, in its ordinary context. What may allocate or
// lock (the rethrow, what(), snprintf) happens before the other threads are
// suspended; a suspended thread could be holding the allocator's lock.
#include "Mayday/Recording/Monitors/MaydayMonitor_CPPException.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <exception>
#include <typeinfo>

#include "Mayday/Recording/Monitors/MDID.h"
#include "Mayday/Recording/Tools/MDDynamicLinker.h"
#include "Mayday/Recording/Tools/MDMachineContext.h"
#include "Mayday/Recording/Tools/MDStackCursor.h"
#include "Mayday/Recording/Tools/MDThread.h"
#include "platform/foundation/Error.h"

// Defined next to the interposed __cxa_throw (platform/interpose/CxaThrow.cpp).
extern "C" void zel_interpose_setThrowObserver(void (*observer)(void));

// Each thread's last throw, so that a throw caught on another thread cannot
// replace the stack of the one that terminates. Initial-exec: the observer
// runs on every throw and must not go through the TLS resolver.
static thread_local MDStackCursor g_throwCursor __attribute__((tls_model("initial-exec")));
// Set while this thread runs the terminate handler: a terminate from inside
// the handling itself (a throwing what()) must not start over.
static thread_local bool g_isTerminating __attribute__((tls_model("initial-exec")));

namespace {

constexpr int kDescriptionSize = 1000;

std::atomic<bool> g_isEnabled{false};
std::atomic<std::terminate_handler> g_previousTerminateHandler{nullptr};
char g_eventID[37];
char g_description[kDescriptionSize];
Mayday_MonitorContext g_monitorContext;

// Called by __cxa_throw itself: skips this frame and the interposer's, so the
// walk starts in the throwing function.
__attribute__((noinline)) void recordThrow(void) {
    mdsc_initSelfThread(&g_throwCursor, 2);
    // Keeps the call a real call (a tail call would shift the skipped frames).
    __asm__ volatile("" ::: "memory");
}

void setCapturing(bool isCapturing) { zel_interpose_setThrowObserver(isCapturing ? recordThrow : nullptr); }

enum class Thrown { described, undescribed, platformException };

// Rethrows the current exception (there must be one) and describes the
// value into `buffer`. Not async-signal-safe: snprintf, what().
Thrown describeCurrentException(char* buffer, size_t size) {
    buffer[0] = '\0';
    try {
        throw;
    } catch (const platform::InvalidArgumentException&) {
        // First, so that its subclasses are left to the NSException path too.
        return Thrown::platformException;
    } catch (const std::exception& exception) {
        const char* what = exception.what();
        snprintf(buffer, size, "%s", what ? what : "");
    } catch (char value) {
        snprintf(buffer, size, "%d", value);
    } catch (short value) {
        snprintf(buffer, size, "%d", value);
    } catch (int value) {
        snprintf(buffer, size, "%d", value);
    } catch (long value) {
        snprintf(buffer, size, "%ld", value);
    } catch (long long value) {
        snprintf(buffer, size, "%lld", value);
    } catch (unsigned char value) {
        snprintf(buffer, size, "%u", value);
    } catch (unsigned short value) {
        snprintf(buffer, size, "%u", value);
    } catch (unsigned int value) {
        snprintf(buffer, size, "%u", value);
    } catch (unsigned long value) {
        snprintf(buffer, size, "%lu", value);
    } catch (unsigned long long value) {
        snprintf(buffer, size, "%llu", value);
    } catch (float value) {
        snprintf(buffer, size, "%f", static_cast<double>(value));
    } catch (double value) {
        snprintf(buffer, size, "%f", value);
    } catch (long double value) {
        snprintf(buffer, size, "%Lf", value);
    } catch (char* value) {
        snprintf(buffer, size, "%s", value ? value : "(null)");
    } catch (const char* value) {
        // `throw "text"` throws a const char*, which catch (char*) misses.
        snprintf(buffer, size, "%s", value ? value : "(null)");
    } catch (...) {
        return Thrown::undescribed;
    }
    return Thrown::described;
}

[[noreturn]] void callPreviousTerminateHandler() {
    const std::terminate_handler previous = g_previousTerminateHandler.load();
    if (previous) previous();
    // A terminate handler must not return.
    abort();
}

void handleTerminate() {
    // Reached again from inside the handling itself: nothing more is safe.
    if (g_isTerminating) abort();
    // Reached through a handler that chained to ours after we were removed.
    if (!g_isEnabled.load()) callPreviousTerminateHandler();
    g_isTerminating = true;
    mdcm_beginCrashHandling();

    // Everything that can allocate or lock comes before the suspension.
    const std::type_info* type = abi::__cxa_current_exception_type();
    Thrown thrown = Thrown::undescribed;
    g_description[0] = '\0';
    if (type != nullptr) {
        // The rethrow must not pass for a new throw of this thread.
        setCapturing(false);
        thrown = describeCurrentException(g_description, sizeof(g_description));
        setCapturing(g_isEnabled.load());
        if (thrown == Thrown::platformException) {
            // The NSException path reports it; nothing here has changed.
            mdcm_endCrashHandling();
            g_isTerminating = false;
            callPreviousTerminateHandler();
        }
    }
    // Without a current exception (std::terminate called directly), or with
    // no throw recorded on this thread, the terminating stack itself is the
    // best there is; this handler's own frame is left out.
    MDStackCursor ownStack;
    MDStackCursor* stackCursor = &g_throwCursor;
    if (type == nullptr || g_throwCursor.advanceCursor == nullptr) {
        mdsc_initSelfThread(&ownStack, 1);
        stackCursor = &ownStack;
    }

    mdmc_suspendEnvironment();
    mdcm_notifyFatalExceptionCaptured(false);

    MDMC_NEW_CONTEXT(machineContext);
    mdmc_fillContextForThread(mdthread_self(), machineContext, true);

    Mayday_MonitorContext* context = &g_monitorContext;
    memset(context, 0, sizeof(*context));
    context->crashType = MaydayMonitorTypeCPPException;
    context->eventID = g_eventID;
    context->offendingMachineContext = machineContext;
    context->registersAreValid = false;
    context->stackCursor = stackCursor;
    // Mangled as the runtime has it ("St13runtime_error"); the report's
    // fix-up demangles it.
    context->cppExceptionName = type != nullptr ? type->name() : nullptr;
    context->exceptionName = context->cppExceptionName;
    context->crashReason = thrown == Thrown::described ? g_description : nullptr;

    // The dispatch removes every monitor, which puts the previous handler back.
    mdcm_dispatchEvent(context);
    mdmc_resumeEnvironment();
    mdcm_endCrashHandling();
    callPreviousTerminateHandler();
}

void setEnabled(bool isEnabled) {
    if (isEnabled == g_isEnabled.load()) return;
    g_isEnabled.store(isEnabled);
    if (isEnabled) {
        mdid_newEventID(g_eventID);
        // Done here so the terminate path never has to load or install anything.
        mdmc_installSuspendHandler();
        mddl_initialize();
        const std::terminate_handler previous = std::set_terminate(handleTerminate);
        if (previous != handleTerminate) g_previousTerminateHandler.store(previous);
    } else if (std::get_terminate() == handleTerminate) {
        // A handler installed after ours is the latest word: kept.
        std::set_terminate(g_previousTerminateHandler.load());
    }
    setCapturing(isEnabled);
}

bool isEnabled(void) { return g_isEnabled.load(); }

const MaydayMonitorAPI g_api = {&setEnabled, &isEnabled, nullptr};

}  // namespace

const MaydayMonitorAPI* mdcm_cppexception_getAPI(void) { return &g_api; }
