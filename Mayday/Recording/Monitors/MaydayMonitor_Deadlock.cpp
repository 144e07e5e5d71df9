// The main-thread deadlock monitor over the main queue of the dispatch layer.
//
// Crash path (handleDeadlock from the suspension to the abort, and
// disabling from a crash's dispatch): no heap, no locks, no stdio; the event
// context is static, the machine context and cursor live on the watchdog
// thread's stack.
#include "Mayday/Recording/Monitors/MaydayMonitor_Deadlock.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "Mayday/Recording/Monitors/MDID.h"
#include "Mayday/Recording/Tools/MDDynamicLinker.h"
#include "Mayday/Recording/Tools/MDLogger.h"
#include "Mayday/Recording/Tools/MDMachineContext.h"
#include "Mayday/Recording/Tools/MDStackCursor.h"
#include "Mayday/Recording/Tools/MDSysCall.h"
#include "Mayday/Recording/Tools/MDThread.h"
#include "platform/dispatch/Dispatch.h"

namespace {

constexpr int kMaxStackDepth = 100;
constexpr double kIdleSeconds = 5;
// Keeps the wait's deadline representable; a longer interval ticks at this.
constexpr double kMaxWaitSeconds = 1e7;
const char kThreadName[] = "Mayday Deadlock Detection Thread";

std::atomic<bool> g_isEnabled{false};
std::atomic<double> g_watchdogInterval{0};
std::atomic<MDThread> g_mainThread{0};
bool g_lazyLoadsDone = false;
Mayday_MonitorContext g_monitorContext;

static_assert(std::atomic<double>::is_always_lock_free, "the interval is read on every tick");

class DeadlockMonitor : public std::enable_shared_from_this<DeadlockMonitor> {
public:
    // A monitor whose watchdog thread runs (and holds it), or null when the
    // thread could not be started.
    static std::shared_ptr<DeadlockMonitor> start() {
        auto monitor = std::make_shared<DeadlockMonitor>();
        try {
            std::thread([monitor] { monitor->runMonitor(); }).detach();
        } catch (const std::system_error& error) {
            MDLOG_ERROR("pthread_create: %s", mdsys_errorText(error.code().value()));
            return nullptr;
        }
        return monitor;
    }

    // The thread ends after its current wait, which this cuts short.
    void cancel() {
        m_isCancelled.store(true);
        // While suspended the watchdog may be parked holding the mutex; the
        // process is ending then and the flag is enough.
        if (mdmc_isEnvironmentSuspended()) return;
        // Taking the mutex orders the flag before the waiter's check: no lost wake-up.
        { std::lock_guard<std::mutex> lock(m_mutex); }
        m_wake.notify_all();
    }

private:
    void runMonitor() {
        const MDThread self = mdthread_self();
        mdthread_setName(self, kThreadName);
        for (;;) {
            const double interval = g_watchdogInterval.load();
            const bool isWatching = interval > 0;
            waitFor(isWatching ? interval : kIdleSeconds);
            if (m_isCancelled.load()) break;
            if (!isWatching) continue;
            if (m_awaitingResponse.load())
                handleDeadlock();
            else
                watchdogPulse();
        }
        // Frees the place in the name registry for the next watchdog.
        mdthread_forgetName(self);
    }

    void waitFor(double seconds) {
        const auto timeout = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(std::min(seconds, kMaxWaitSeconds)));
        std::unique_lock<std::mutex> lock(m_mutex);
        m_wake.wait_for(lock, timeout, [this] { return m_isCancelled.load(); });
    }

    // The block holds the monitor, so a cancelled one still gets its answer.
    void watchdogPulse() {
        m_awaitingResponse.store(true);
        platform::DispatchQueue::main().async([self = shared_from_this()] { self->watchdogAnswer(); });
    }

    void watchdogAnswer() { m_awaitingResponse.store(false); }

    void handleDeadlock() {
        // Made before the suspension: it reads the random source.
        char eventID[37];
        mdid_newEventID(eventID);

        mdcm_beginCrashHandling();
        mdmc_suspendEnvironment();
        if (m_isCancelled.load()) {
            // Disabled while this tick was on its way: nothing to report.
            mdmc_resumeEnvironment();
            mdcm_endCrashHandling();
            return;
        }
        mdcm_notifyFatalExceptionCaptured(false);

        MDMC_NEW_CONTEXT(machineContext);
        mdmc_fillContextForThread(g_mainThread.load(), machineContext, false);
        // The hung thread did not crash, but the report lists every thread.
        mdmc_fillThreadList(machineContext);
        MDStackCursor stackCursor;
        mdsc_initWithMachineContext(&stackCursor, kMaxStackDepth, machineContext);

        Mayday_MonitorContext* context = &g_monitorContext;
        memset(context, 0, sizeof(*context));
        context->crashType = MaydayMonitorTypeMainThreadDeadlock;
        context->eventID = eventID;
        context->registersAreValid = false;
        context->offendingMachineContext = machineContext;
        context->stackCursor = &stackCursor;

        mdcm_dispatchEvent(context);
        mdmc_resumeEnvironment();
        mdcm_endCrashHandling();
        abort();
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::atomic<bool> m_isCancelled{false};
    std::atomic<bool> m_awaitingResponse{false};
};

// Touched by setEnabled only, which the frame calls on one thread at a time.
std::shared_ptr<DeadlockMonitor> g_currentMonitor;
// Where a monitor disabled on the crash path stays, so nothing is freed there.
std::shared_ptr<DeadlockMonitor> g_monitorKeptAtCrash;

// What the report would otherwise load on the crash path: the parking
// handler (given back whenever no monitor is active) and, once, the image
// list and symbol tables.
void prepareCrashPath() {
    mdmc_installSuspendHandler();
    if (g_lazyLoadsDone) return;
    g_lazyLoadsDone = true;
    mddl_initialize();
}

void setEnabled(bool isEnabled) {
    if (isEnabled == g_isEnabled.load()) return;
    g_isEnabled.store(isEnabled);
    if (g_currentMonitor) g_currentMonitor->cancel();
    if (isEnabled) {
        prepareCrashPath();
        // The main thread's kernel id is the process id; taken at every
        // enabling so a forked child watches its own.
        g_mainThread.store((MDThread)getpid());
        g_currentMonitor = DeadlockMonitor::start();
    } else if (mdmc_isEnvironmentSuspended()) {
        g_monitorKeptAtCrash = std::move(g_currentMonitor);
    } else {
        g_currentMonitor.reset();
    }
}

bool isEnabled() { return g_isEnabled.load(); }

const MaydayMonitorAPI g_api = {setEnabled, isEnabled, nullptr};

}  // namespace

const MaydayMonitorAPI* mdcm_deadlock_getAPI(void) { return &g_api; }

void mdcm_setDeadlockWatchdogInterval(double seconds) { g_watchdogInterval.store(seconds); }
