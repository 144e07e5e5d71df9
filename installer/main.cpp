// The web installer: one window that fetches the update feed, downloads the
// package, installs it for the current user and launches the product.
#include <memory>

#include "installer/ZELInstallerWindow.h"
#include "installer/ZELRunFolder.h"
#include "platform/ui/Application.h"

int main(int argc, char** argv) {
    // A stopped installer leaves no partial or downloaded package behind.
    ZELRunFolder::removeOnTermination();
    std::shared_ptr<ZELInstallerWindow> window;  // lives for the whole run
    const int status = platform::applicationMain(argc, argv, [&window](const platform::WindowOutlets& outlets) {
        window = std::make_shared<ZELInstallerWindow>(outlets);
        window->awakeFromNib();
    });
    ZELRunFolder::remove();
    return status;
}
