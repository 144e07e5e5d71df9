// The crash-reporting client the installer talks to. Until the crash
// recorder and sender exist these calls do nothing; the installer already
// makes them where reporting starts and where failures are recorded.
#pragma once

#include <string>

class Sentry {
public:
    // Sets up crash reporting for the DSN, once per process.
    static void installWithDsn(const std::string& dsn);
    // Records an error breadcrumb.
    static void logError(const std::string& message);
};
