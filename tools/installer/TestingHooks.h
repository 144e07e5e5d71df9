// Ways for the test suite to stop the installer at a chosen step or to make a
// step fail the way the system could, set through the environment:
//
//   ZEL_INSTALLER_TESTING_STOP_AFTER=<step>  the process is killed right after <step>
//   ZEL_INSTALLER_TESTING_FAIL=<step>        <step> fails
//
// Nobody else sets them; they only let a user break their own install.
#pragma once

namespace installer::testing {

// Kills the process (SIGKILL, nothing cleaned up) when asked to stop after `step`.
void stopPoint(const char* step);

// Whether `step` is to fail.
bool failureInjected(const char* step);

}  // namespace installer::testing
