// The application object and its window back ends: stands in for
// NSApplication, NSApplicationMain and the loading of the main interface file.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/ui/Widgets.h"

namespace platform {

// The outlets of the loaded main window.
struct WindowOutlets {
    TextField* statusText = nullptr;
    ProgressIndicator* progressView = nullptr;
    ImageView* appIcon = nullptr;
    Button* quitButton = nullptr;
};

// A way of showing the installer: a GTK window, the terminal, or a test's fake.
class UIBackend {
public:
    virtual ~UIBackend() = default;
    // Builds the main window (hidden controls as the interface file says) and
    // answers its outlets, which live as long as the back end.
    virtual WindowOutlets loadMainWindow() = 0;
    // Puts the loaded window on screen (its hidden controls stay hidden).
    virtual void showMainWindow() {}
    // Shows the alert modally on the main thread and answers the response.
    virtual long runModalAlert(const AlertSpec& alert) = 0;
    virtual void activateIgnoringOtherApps(bool flag) = 0;
    virtual void requestUserAttention(int requestType) = 0;
    // Runs the event loop (draining the main queue) until quit().
    virtual void run() = 0;
    virtual void quit() = 0;
};

// The GTK 3 window built from the interface file; nullptr when GTK cannot
// open a display.
std::unique_ptr<UIBackend> makeGtkBackend(int* argc, char*** argv);
// The terminal: status line and progress bar drawn in place on `out` (a
// file descriptor, standard output by default); a one-button alert printed
// and answered at once, one that asks answered on the terminal, or with its
// last (no) button when standard input is no terminal.
std::unique_ptr<UIBackend> makeTerminalBackend(int outFd = 1);

// Lets the GLib default main context drain the main queue (also inside
// nested loops such as a modal dialog's) and marks the calling thread as the
// main thread. Idempotent; makeGtkBackend calls it.
void attachMainQueueToGLib();

class Application {
public:
    static Application& sharedApplication();

    // The back end in use; the application does not own it.
    void setBackend(UIBackend* backend) noexcept { backend_ = backend; }
    UIBackend* backend() const noexcept { return backend_; }

    // terminate: ends the run loop (run() then returns). Tests may replace
    // what terminate does.
    void terminate(const void* sender = nullptr);
    void setTerminateHandler(std::function<void()> handler) { terminateHandler_ = std::move(handler); }
    bool isTerminating() const noexcept { return terminating_; }
    // What applicationMain answers once the run is over: 0 unless a failure
    // said otherwise, so that a script can tell a failed run.
    void setExitStatus(int status) noexcept { exitStatus_ = status; }
    // While termination is deferred (NSTerminateLater), terminate() only
    // records the wish, so that closing the window cannot cut short work that
    // must finish; ending the deferral answers whether a wish was recorded,
    // and the caller then terminates.
    void setTerminationDeferred(bool deferred) noexcept {
        terminationDeferred_ = deferred;
        if (deferred) terminationRequested_ = false;
    }
    bool isTerminationRequested() const noexcept { return terminationRequested_; }
    int exitStatus() const noexcept { return exitStatus_; }
    // Tests run several flows in one process.
    void resetTerminatingForTesting() noexcept { terminating_ = false; }

    void activateIgnoringOtherApps(bool flag);
    void requestUserAttention(int requestType);
    long runModalAlert(const AlertSpec& alert);

private:
    UIBackend* backend_ = nullptr;
    std::function<void()> terminateHandler_;
    bool terminating_ = false;
    int exitStatus_ = 0;
    bool terminationDeferred_ = false;
    bool terminationRequested_ = false;
};

// NSApplicationMain: chooses the back end (the terminal when the command
// line has "--terminal" or no display can be opened; GTK otherwise),
// loads the main window, hands its outlets to `windowLoaded` (the window's
// awakeFromNib), runs the loop and answers the exit status (0).
int applicationMain(int argc, char** argv, const std::function<void(const WindowOutlets&)>& windowLoaded);

}  // namespace platform
