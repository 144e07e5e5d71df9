// The application-state monitor: launch, session and usage-time statistics
// kept across launches in a small JSON file ("CrashState.json"), added to
// every event. It catches nothing itself.
//
// The file is replaced whole: the new state is written to "<path>.tmp" beside
// it and renamed over it, so a crash or a full disk during a save leaves the
// previous state in place.
//
// Crash-path safe (may run in a crashed process, in a signal handler or with
// the other threads suspended): maydaystate_notifyAppCrash and the monitor's
// addContextToEvent. They use no heap, no locks and no stdio: the save goes
// through the JSON encoder straight to a raw descriptor (open, write, fsync,
// close, rename, unlink). Everything else runs on the application's main
// thread; nothing is locked.
#pragma once

#include "Mayday/Recording/Monitors/MaydayMonitor.h"

typedef struct {
    // Since the last crash (carried across launches in the state file).
    double activeDurationSinceLastCrash;      // seconds
    double backgroundDurationSinceLastCrash;  // seconds
    int launchesSinceLastCrash;               // this launch included
    int sessionsSinceLastCrash;               // launches and returns to the foreground

    // This launch.
    double activeDurationSinceLaunch;
    double backgroundDurationSinceLaunch;
    int sessionsSinceLaunch;

    bool crashedLastLaunch;  // an event was recorded during the previous launch
    bool crashedThisLaunch;  // an event has been recorded in this launch

    double appStateTransitionTime;  // seconds since the epoch of the last active/background change
    bool applicationIsActive;
    bool applicationIsInForeground;
} MaydayState;

// Copies `stateFilePath`, zeroes the record and loads the file. A null path,
// or one whose "<path>.tmp" and terminator take more than PATH_MAX bytes, is
// refused with a log line: the statistics are then kept in memory only.
void maydaystate_initialize(const char* stateFilePath);

// Became active (true) or resigned active (false). No save.
void maydaystate_notifyAppActive(bool isActive);
// Entered the foreground (true, no save) or the background (false, saves).
void maydaystate_notifyAppInForeground(bool isInForeground);
// The application is terminating: saves.
void maydaystate_notifyAppTerminate(void);
// An event was captured: accounts the time since the last transition, marks
// this launch as crashed and saves. Crash-path safe.
void maydaystate_notifyAppCrash(void);

const MaydayState* maydaystate_currentState(void);

// The monitor's operation record for the frame's table.
const MaydayMonitorAPI* mdcm_appstate_getAPI(void);
