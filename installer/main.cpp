// The web installer: one window that fetches the update feed, downloads the
// package, installs it for the current user and launches the product.
#include <memory>

#include "installer/ZELInstallerWindow.h"
#include "platform/ui/Application.h"

int main(int argc, char** argv) {
    std::shared_ptr<ZELInstallerWindow> window;  // lives for the whole run
    return platform::applicationMain(argc, argv, [&window](const platform::WindowOutlets& outlets) {
        window = std::make_shared<ZELInstallerWindow>(outlets);
        window->awakeFromNib();
    });
}
