// Work queues: stand in for libdispatch (main queue, serial queues, global
// queues, dispatch_once via std::call_once).
//
// The main queue is drained by the thread that runs the main loop: the
// plain loop of MainLoop below, or the GLib loop once attachMainQueueToGLib()
// (platform/ui) hooks the queue's wake-up descriptor into it. Blocks run one
// at a time, in the order they were queued.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace platform {

class DispatchQueue {
public:
    enum class Priority { High, Default, Low, Background };

    virtual ~DispatchQueue() = default;
    // Queues `block`; returns at once.
    virtual void async(std::function<void()> block) = 0;
    // Queues `block` and waits until it has run. Calling it on the queue's
    // own thread runs the block directly (no deadlock).
    virtual void sync(std::function<void()> block) = 0;
    virtual const std::string& label() const = 0;
    // Whether the calling thread is the one running this queue's blocks.
    virtual bool isCurrent() const = 0;

    // The main queue.
    static DispatchQueue& main();
    // A serial queue with a thread of its own, started lazily and ended
    // when the queue is destroyed (after the queued blocks have run).
    static std::shared_ptr<DispatchQueue> serial(std::string label);
    // The process-wide concurrent queue of a priority. Background runs its
    // blocks on threads at the lowest scheduling priority (nice 19).
    static DispatchQueue& global(Priority priority = Priority::Default);
};

// dispatch_after: queues `block` on `queue` once `delay` has passed (on a
// timer thread shared by the process). The queue must outlive the delay:
// the main and global queues always do.
void dispatchAfter(std::chrono::milliseconds delay, DispatchQueue& queue, std::function<void()> block);

// The main loop of a program without a window, and the driver tests use.
class MainLoop {
public:
    // Marks the calling thread as the main thread (the thread that drains
    // the main queue). Called by run() and runUntil(); call it early in
    // main() when the queue is drained by another loop.
    static void adoptCurrentThreadAsMain();
    static bool isMainThread();

    // Drains the main queue until quit() is called.
    static void run();
    // Makes run() return after the block now running (thread-safe).
    static void quit();
    // Drains the main queue until `done` answers true (checked after every
    // block) or `timeout` passes. Answers whether `done` became true.
    static bool runUntil(const std::function<bool()>& done,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Runs every block queued on the main queue now, without waiting.
    // Answers how many ran.
    static size_t drainPending();

    // For a foreign event loop: a descriptor that becomes readable when the
    // main queue has work; drainPending() clears it.
    static int wakeDescriptor();
};

}  // namespace platform
