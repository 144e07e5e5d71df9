// The install half of the installation manager.
#include <cstdlib>

#include "installer/ZELAppUtils.h"
#include "installer/ZELInstallationManager.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Log.h"
#include "platform/process/Task.h"

using platform::DispatchQueue;
using platform::OptionalError;

platform::Error ZELInstallError() {
    std::string description =
        platform::Bundle::mainBundle().localizedString("Installation could not be completed.", "", "");
    return platform::Error("some_domain", 100, description);
}

void ZELInstallationManager::startInstallWithCompletion(InstallCompletion completion) {
    installCompletion_ = std::move(completion);
    const auto& darwin = feedData_->platforms().darwin();
    ZELAppUtils::checkandCloseApplicationWithBundleID(darwin.bundleId(), darwin.product());
    runInstaller();
}

std::vector<std::string> ZELInstallationManager::installerArguments() const {
    const char* overridePath = std::getenv(kInstallerPathVariable);
    std::string program = overridePath && *overridePath ? overridePath : kDefaultInstallerPath;
    return {program, "-dumplog", "-verbose", "-pkg", getInstallerPath(), "-target", "CurrentUserHomeDirectory"};
}

void ZELInstallationManager::runInstaller() {
    auto self = shared_from_this();
    DispatchQueue::global(DispatchQueue::Priority::Background).async([self] {
        long long status = runShellWithArgs(self->installerArguments());
        if (status == 0) {
            self->removeInstallerIfExists();
            self->reportInstallCompletionWithError(std::nullopt);
        } else {
            self->reportInstallCompletionWithError(ZELInstallError());
        }
    });
}

long long ZELInstallationManager::runShellWithArgs(const std::vector<std::string>& args) {
    platform::Task task;
    task.setLaunchPath("/usr/bin/env");
    task.setArguments(args);
    platform::Error error;
    if (!task.launch(&error)) {
        platform::logFormat("Could not run the package installer: %@", error);
        return -1;
    }
    task.waitUntilExit();
    return task.terminationStatus();
}

void ZELInstallationManager::reportInstallCompletionWithError(OptionalError error) {
    auto self = shared_from_this();
    DispatchQueue::main().async([self, error = std::move(error)] {
        if (!self->installCompletion_) return;
        auto completion = std::move(self->installCompletion_);
        self->installCompletion_ = nullptr;
        completion(error);
    });
}
