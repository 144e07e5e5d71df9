#include "TestingHooks.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace installer::testing {

namespace {

bool named(const char* variable, const char* step) {
    const char* value = std::getenv(variable);
    return value && std::strcmp(value, step) == 0;
}

}  // namespace

void stopPoint(const char* step) {
    if (!named("ZEL_INSTALLER_TESTING_STOP_AFTER", step)) return;
    std::fprintf(stderr, "installer: stopping after %s\n", step);
    std::fflush(stderr);
    std::raise(SIGKILL);
}

bool failureInjected(const char* step) { return named("ZEL_INSTALLER_TESTING_FAIL", step); }

}  // namespace installer::testing
