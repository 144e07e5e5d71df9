// The record that carries one event from the monitor that caught it to the
// report writer. Crash-path data: monitors keep static instances (the
// user-reported monitor one on its stack); every text is a borrowed pointer
// into storage that outlives the event.
#pragma once

#include <cstdint>

#include "Mayday/Recording/Monitors/MaydayMonitorType.h"

struct MDMachineContext;
struct MDStackCursor;

typedef struct Mayday_MonitorContext {
    const char* eventID;
    bool requiresAsyncSafety;
    bool handlingCrash;               // declared; no monitor sets it
    bool crashedDuringCrashHandling;  // selects the recrash report
    bool registersAreValid;
    bool isStackOverflow;             // declared; always false
    struct MDMachineContext* offendingMachineContext;
    uint64_t faultAddress;
    MaydayMonitorFlags crashType;
    const char* exceptionName;
    const char* crashReason;
    struct MDStackCursor* stackCursor;

    struct {
        int type;
        int64_t code;
        int64_t subcode;
    } mach;

    const char* nsexceptionName;
    const char* cppExceptionName;

    struct {
        const void* userContext;
        int signum;
        int sigcode;
    } signal;

    struct {
        const char* name;
        const char* language;
        const char* lineOfCode;
        const char* customStackTrace;
    } userException;

    struct {
        double activeDurationSinceLastCrash;
        double backgroundDurationSinceLastCrash;
        int launchesSinceLastCrash;
        int sessionsSinceLastCrash;
        double activeDurationSinceLaunch;
        double backgroundDurationSinceLaunch;
        int sessionsSinceLaunch;
        bool crashedLastLaunch;
        bool crashedThisLaunch;
        double appStateTransitionTime;
        bool applicationIsActive;
        bool applicationIsInForeground;
    } appState;

    struct {
        const char* systemName;
        const char* systemVersion;
        const char* machine;
        const char* model;
        const char* kernelVersion;
        const char* osVersion;
        bool isJailbroken;
        const char* bootTime;
        const char* appStartTime;
        const char* executablePath;
        const char* executableName;
        const char* bundleID;
        const char* bundleName;
        const char* bundleVersion;
        const char* bundleShortVersion;
        const char* appID;
        const char* cpuArchitecture;
        int cpuType;
        int cpuSubType;
        int binaryCPUType;
        int binaryCPUSubType;
        const char* timezone;
        const char* processName;
        int processID;
        int parentProcessID;
        const char* deviceAppHash;
        const char* buildType;
        uint64_t storageSize;
        uint64_t memorySize;
        uint64_t freeMemory;
        uint64_t usableMemory;
    } system;

    struct {
        uint64_t address;
        const char* name;
        const char* reason;
    } zombieException;

    const char* consoleLogPath;  // null when the console log is not attached
} Mayday_MonitorContext;
