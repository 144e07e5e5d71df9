// The application object, NSAlert's modal run and NSApplicationMain.
#include "platform/ui/Application.h"

#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Log.h"

namespace platform {

namespace {

constexpr const char* kTerminalOption = "--terminal";

// NSAlert shows an "OK" button when none was added.
AlertSpec withDefaultButton(const AlertSpec& alert) {
    AlertSpec copy = alert;
    if (copy.buttons.empty()) copy.buttons.push_back("OK");
    return copy;
}

}  // namespace

Application& Application::sharedApplication() {
    static Application application;
    return application;
}

void Application::terminate(const void*) {
    if (terminationDeferred_) {
        terminationRequested_ = true;
        return;
    }
    terminating_ = true;
    if (terminateHandler_) {
        auto handler = terminateHandler_;  // the handler may replace itself
        handler();
    } else if (backend_) {
        backend_->quit();
    } else {
        MainLoop::quit();
    }
}

void Application::activateIgnoringOtherApps(bool flag) {
    if (backend_) backend_->activateIgnoringOtherApps(flag);
}

void Application::requestUserAttention(int requestType) {
    if (backend_) backend_->requestUserAttention(requestType);
}

long Application::runModalAlert(const AlertSpec& alert) {
    const AlertSpec shown = withDefaultButton(alert);
    if (backend_) return backend_->runModalAlert(shown);
    // No window to show it in: the log keeps what the user would have seen,
    // and a question nobody can answer takes its last (no) answer.
    const size_t answer = shown.buttons.size() - 1;
    systemLog("Alert: " + shown.messageText + (shown.informativeText.empty() ? "" : " - " + shown.informativeText) +
              " [" + shown.buttons[answer] + "]");
    return shown.responseForButton(answer);
}

Alert Alert::legacyAlert(const std::string& messageText, const std::string& defaultButton,
                         const std::string& alternateButton, const std::string& otherButton,
                         const std::string& informativeText) {
    Alert alert;
    alert.setMessageText(messageText);
    alert.setInformativeText(informativeText);
    alert.addButtonWithTitle(defaultButton.empty() ? "OK" : defaultButton);
    if (!alternateButton.empty()) alert.addButtonWithTitle(alternateButton);
    if (!otherButton.empty()) alert.addButtonWithTitle(otherButton);
    alert.contents_.legacyResponses = true;
    return alert;
}

long Alert::runModal() {
    return Application::sharedApplication().runModalAlert(contents_);
}

int applicationMain(int argc, char** argv, const std::function<void(const WindowOutlets&)>& windowLoaded) {
    // GTK sees the command line without our own option.
    bool terminal = false;
    std::vector<char*> arguments;
    for (int i = 0; i < argc; ++i) {
        if (i > 0 && argv[i] && std::strcmp(argv[i], kTerminalOption) == 0) {
            terminal = true;
        } else {
            arguments.push_back(argv[i]);
        }
    }
    arguments.push_back(nullptr);
    int count = static_cast<int>(arguments.size()) - 1;
    char** vector = arguments.data();

    std::unique_ptr<UIBackend> backend;
    if (!terminal) backend = makeGtkBackend(&count, &vector);
    if (!backend) {
        MainLoop::adoptCurrentThreadAsMain();
        backend = makeTerminalBackend(STDOUT_FILENO);
    }

    Application& application = Application::sharedApplication();
    application.setBackend(backend.get());
    const WindowOutlets outlets = backend->loadMainWindow();
    if (windowLoaded) windowLoaded(outlets);
    backend->showMainWindow();
    backend->run();
    application.setBackend(nullptr);
    return application.exitStatus();
}

}  // namespace platform
