// The application-state monitor and its state file.
//
// maydaystate_notifyAppCrash, saveState and addContextToEvent are crash-path
// code: no heap, no locks, no stdio; fixed static buffers, raw system calls
// and the JSON encoder only. Loading the file allocates and runs at
// initialisation only.
#include "Mayday/Recording/Monitors/MaydayMonitor_AppState.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>  // rename, RENAME_EXCHANGE
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <sys/syscall.h>
#include <unistd.h>

#include "Mayday/Recording/Tools/MDFileUtils.h"
#include "Mayday/Recording/Tools/MDJSONCodec.h"
#include "Mayday/Recording/Tools/MDLogger.h"
#include "Mayday/Recording/Tools/MDSysCall.h"

namespace {

constexpr int kFormatVersion = 1;
constexpr int kMaxStateFileSize = 50000;
constexpr char kTemporarySuffix[] = ".tmp";

constexpr char kKeyVersion[] = "version";
constexpr char kKeyCrashedLastLaunch[] = "crashedLastLaunch";
constexpr char kKeyActiveDurationSinceLastCrash[] = "activeDurationSinceLastCrash";
constexpr char kKeyBackgroundDurationSinceLastCrash[] = "backgroundDurationSinceLastCrash";
constexpr char kKeyLaunchesSinceLastCrash[] = "launchesSinceLastCrash";
constexpr char kKeySessionsSinceLastCrash[] = "sessionsSinceLastCrash";

std::atomic<bool> g_isEnabled{false};
MaydayState g_state;
// Both empty when no usable path was given: the statistics then live in memory only.
char g_stateFilePath[PATH_MAX];
char g_temporaryFilePath[PATH_MAX];

// clock_gettime rather than gettimeofday: the same reading, and on the
// async-signal-safe list.
double timeNow() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return (double)now.tv_sec + (double)(now.tv_nsec / 1000) / 1000000.0;
}

double timeSinceTransition() {
    return timeNow() - g_state.appStateTransitionTime;
}

// ---- Loading (initialisation only) ----

bool nameIs(const char* name, const char* key) {
    return name != nullptr && strcmp(name, key) == 0;
}

int onBooleanElement(const char* name, bool value, void* userData) {
    MaydayState* state = static_cast<MaydayState*>(userData);
    if (nameIs(name, kKeyCrashedLastLaunch)) state->crashedLastLaunch = value;
    return MDJSON_OK;
}

int onFloatingPointElement(const char* name, double value, void* userData) {
    MaydayState* state = static_cast<MaydayState*>(userData);
    if (nameIs(name, kKeyActiveDurationSinceLastCrash)) {
        state->activeDurationSinceLastCrash = value;
    } else if (nameIs(name, kKeyBackgroundDurationSinceLastCrash)) {
        state->backgroundDurationSinceLastCrash = value;
    }
    return MDJSON_OK;
}

int onIntegerElement(const char* name, int64_t value, void* userData) {
    MaydayState* state = static_cast<MaydayState*>(userData);
    if (nameIs(name, kKeyVersion)) {
        if (value != kFormatVersion) {
            MDLOG_ERROR("Expected version 1 but got %lld", (long long)value);
            return MDJSON_ERROR_INVALID_DATA;
        }
    } else if (nameIs(name, kKeyLaunchesSinceLastCrash)) {
        state->launchesSinceLastCrash = (int)value;
    } else if (nameIs(name, kKeySessionsSinceLastCrash)) {
        state->sessionsSinceLastCrash = (int)value;
    }
    // The encoder writes a whole-number duration such as 5.0 as "5".
    return onFloatingPointElement(name, (double)value, userData);
}

int onNullElement(const char*, void*) { return MDJSON_OK; }
int onStringElement(const char*, const char*, void*) { return MDJSON_OK; }
int onBeginContainer(const char*, void*) { return MDJSON_OK; }
int onEndContainer(void*) { return MDJSON_OK; }

const MDJSONDecodeCallbacks kDecodeCallbacks = {
    onBooleanElement, onFloatingPointElement, onIntegerElement, onNullElement, onStringElement,
    onBeginContainer, onBeginContainer,       onEndContainer,   onEndContainer,
};

struct FreeDeleter {
    void operator()(char* data) const { free(data); }
};

// False on a first launch (no file) and on a file that does not decode;
// values decoded before a failure stay in the record.
bool loadState(const char* path) {
    const int fd = mdsys_open(path, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return false;
    close(fd);

    char* rawData = nullptr;
    int length = 0;
    if (!mdfu_readEntireFile(path, &rawData, &length, kMaxStateFileSize)) {
        MDLOG_ERROR("%s: Could not load file", path);
        return false;
    }
    const std::unique_ptr<char, FreeDeleter> data(rawData);

    char buffer[1000];
    int errorOffset = 0;
    const int result = mdjson_decode(data.get(), length, buffer, (int)sizeof(buffer), &kDecodeCallbacks, &g_state,
                                     &errorOffset);
    if (result != MDJSON_OK) {
        MDLOG_ERROR("%s, offset %d: %s", path, errorOffset, mdjson_stringForError(result));
        return false;
    }
    return true;
}

// ---- Saving (crash-path safe) ----

// The state is a few hundred bytes: it is gathered here and written in one
// call, and goes straight to the file only should it ever outgrow this.
struct FileSink {
    int fd;
    int error;  // errno of the write that failed, or 0
    char buffer[1024];
    int used;
};

bool drain(FileSink* sink) {
    if (sink->used > 0 && !mdsys_writeFully(sink->fd, sink->buffer, (size_t)sink->used)) {
        sink->error = errno;
        return false;
    }
    sink->used = 0;
    return true;
}

int addJSONData(const char* data, int length, void* userData) {
    FileSink* sink = static_cast<FileSink*>(userData);
    if (length <= 0) return MDJSON_OK;
    if (sink->used + length > (int)sizeof(sink->buffer)) {
        if (!drain(sink)) return MDJSON_ERROR_CANNOT_ADD_DATA;
        if (length > (int)sizeof(sink->buffer)) {
            if (!mdsys_writeFully(sink->fd, data, (size_t)length)) {
                sink->error = errno;
                return MDJSON_ERROR_CANNOT_ADD_DATA;
            }
            return MDJSON_OK;
        }
    }
    memcpy(sink->buffer + sink->used, data, (size_t)length);
    sink->used += length;
    return MDJSON_OK;
}

// Puts the new file in the old one's place. In a crash the two are swapped
// instead (the old state stays behind under the temporary name, which the
// next save removes first): replacing a file makes ext4 allocate and start
// writing the new one's blocks inside the rename, most of a millisecond.
bool installTemporaryFile(bool inCrash) {
    if (inCrash && syscall(SYS_renameat2, AT_FDCWD, g_temporaryFilePath, AT_FDCWD, g_stateFilePath,
                           RENAME_EXCHANGE) == 0)
        return true;
    return rename(g_temporaryFilePath, g_stateFilePath) == 0;
}

int encodeState(FileSink* sink) {
    MDJSONEncodeContext context;
    mdjson_beginEncode(&context, true, addJSONData, sink);
    int result = mdjson_beginObject(&context, nullptr);
    if (result == MDJSON_OK) result = mdjson_addIntegerElement(&context, kKeyVersion, kFormatVersion);
    // What this launch was is what the next one reads as its last launch.
    if (result == MDJSON_OK)
        result = mdjson_addBooleanElement(&context, kKeyCrashedLastLaunch, g_state.crashedThisLaunch);
    if (result == MDJSON_OK)
        result = mdjson_addFloatingPointElement(&context, kKeyActiveDurationSinceLastCrash,
                                                g_state.activeDurationSinceLastCrash);
    if (result == MDJSON_OK)
        result = mdjson_addFloatingPointElement(&context, kKeyBackgroundDurationSinceLastCrash,
                                                g_state.backgroundDurationSinceLastCrash);
    if (result == MDJSON_OK)
        result = mdjson_addIntegerElement(&context, kKeyLaunchesSinceLastCrash, g_state.launchesSinceLastCrash);
    if (result == MDJSON_OK)
        result = mdjson_addIntegerElement(&context, kKeySessionsSinceLastCrash, g_state.sessionsSinceLastCrash);
    if (result == MDJSON_OK) result = mdjson_endEncode(&context);
    return result;
}

// Writes the whole state to the temporary file, then renames it over the
// state file: the old file stays until a complete new one replaces it.
// `syncToDisk` is false only in a crash: the process is about to end and the
// page cache outlives it, and a flush there (a millisecond or more) would
// hold up the crash report. Without the flush, a full disk is still caught
// by write(2) and close(2) on the file systems that delay allocation
// (they allocate at the rename that replaces a file).
bool saveState(bool syncToDisk = true) {
    if (g_stateFilePath[0] == '\0') return false;

    // A save cut short earlier may have left its temporary file; start afresh.
    unlink(g_temporaryFilePath);
    const int fd = mdsys_open(g_temporaryFilePath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        MDLOG_ERROR("Could not open file %s for writing: %s", g_temporaryFilePath, mdsys_errorText(errno));
        return false;
    }

    FileSink sink;
    sink.fd = fd;
    sink.error = 0;
    sink.used = 0;
    int result = encodeState(&sink);
    if (result == MDJSON_OK && !drain(&sink)) result = MDJSON_ERROR_CANNOT_ADD_DATA;
    bool succeeded = result == MDJSON_OK;
    if (!succeeded) {
        if (sink.error != 0) {
            MDLOG_ERROR("%s: %s: %s", g_temporaryFilePath, mdjson_stringForError(result),
                        mdsys_errorText(sink.error));
        } else {
            MDLOG_ERROR("%s: %s", g_temporaryFilePath, mdjson_stringForError(result));
        }
    } else if (syncToDisk && fsync(fd) != 0) {
        // Some file systems report a full disk only here.
        MDLOG_ERROR("Could not write file %s: %s", g_temporaryFilePath, mdsys_errorText(errno));
        succeeded = false;
    }
    if (close(fd) != 0 && succeeded) {
        MDLOG_ERROR("Could not write file %s: %s", g_temporaryFilePath, mdsys_errorText(errno));
        succeeded = false;
    }
    if (succeeded && !installTemporaryFile(!syncToDisk)) {
        MDLOG_ERROR("Could not replace %s: %s", g_stateFilePath, mdsys_errorText(errno));
        succeeded = false;
    }
    if (!succeeded) unlink(g_temporaryFilePath);
    return succeeded;
}

// ---- Monitor ----

void startLaunch() {
    g_state.sessionsSinceLaunch = 1;
    g_state.activeDurationSinceLaunch = 0;
    g_state.backgroundDurationSinceLaunch = 0;
    if (g_state.crashedLastLaunch) {
        g_state.activeDurationSinceLastCrash = 0;
        g_state.backgroundDurationSinceLastCrash = 0;
        g_state.launchesSinceLastCrash = 0;
        g_state.sessionsSinceLastCrash = 0;
    }
    g_state.crashedThisLaunch = false;
    g_state.launchesSinceLastCrash++;
    g_state.sessionsSinceLastCrash++;
    g_state.applicationIsInForeground = true;
    saveState();
}

void setEnabled(bool isEnabled) {
    if (g_isEnabled.exchange(isEnabled) == isEnabled) return;
    if (isEnabled) startLaunch();
}

bool isEnabled() {
    return g_isEnabled.load();
}

void addContextToEvent(Mayday_MonitorContext* eventContext) {
    if (!g_isEnabled.load()) return;
    auto& out = eventContext->appState;
    out.applicationIsActive = g_state.applicationIsActive;
    out.applicationIsInForeground = g_state.applicationIsInForeground;
    out.appStateTransitionTime = g_state.appStateTransitionTime;
    out.activeDurationSinceLastCrash = g_state.activeDurationSinceLastCrash;
    out.backgroundDurationSinceLastCrash = g_state.backgroundDurationSinceLastCrash;
    out.activeDurationSinceLaunch = g_state.activeDurationSinceLaunch;
    out.backgroundDurationSinceLaunch = g_state.backgroundDurationSinceLaunch;
    out.crashedLastLaunch = g_state.crashedLastLaunch;
    out.crashedThisLaunch = g_state.crashedThisLaunch;
    out.launchesSinceLastCrash = g_state.launchesSinceLastCrash;
    out.sessionsSinceLastCrash = g_state.sessionsSinceLastCrash;
    out.sessionsSinceLaunch = g_state.sessionsSinceLaunch;
}

const MaydayMonitorAPI kAPI = {setEnabled, isEnabled, addContextToEvent};

}  // namespace

void maydaystate_initialize(const char* stateFilePath) {
    g_stateFilePath[0] = '\0';
    g_temporaryFilePath[0] = '\0';
    memset(&g_state, 0, sizeof(g_state));

    if (stateFilePath == nullptr) {
        MDLOG_ERROR("%s", "No state file path: the application state is kept in memory only");
        return;
    }
    const size_t length = strlen(stateFilePath);
    if (length + sizeof(kTemporarySuffix) > sizeof(g_temporaryFilePath)) {
        MDLOG_ERROR("State file path too long (%zu bytes): the application state is kept in memory only", length);
        return;
    }
    memcpy(g_stateFilePath, stateFilePath, length + 1);
    memcpy(g_temporaryFilePath, stateFilePath, length);
    memcpy(g_temporaryFilePath + length, kTemporarySuffix, sizeof(kTemporarySuffix));
    loadState(g_stateFilePath);
}

void maydaystate_notifyAppActive(bool isActive) {
    if (!g_isEnabled.load()) return;
    g_state.applicationIsActive = isActive;
    if (isActive) {
        g_state.appStateTransitionTime = timeNow();
    } else {
        const double duration = timeSinceTransition();
        g_state.activeDurationSinceLaunch += duration;
        g_state.activeDurationSinceLastCrash += duration;
    }
}

void maydaystate_notifyAppInForeground(bool isInForeground) {
    if (!g_isEnabled.load()) return;
    g_state.applicationIsInForeground = isInForeground;
    if (isInForeground) {
        // The transition time stays: the became-active notice that follows sets it.
        const double duration = timeSinceTransition();
        g_state.backgroundDurationSinceLaunch += duration;
        g_state.backgroundDurationSinceLastCrash += duration;
        g_state.sessionsSinceLastCrash++;
        g_state.sessionsSinceLaunch++;
    } else {
        g_state.appStateTransitionTime = timeNow();
        saveState();
    }
}

void maydaystate_notifyAppTerminate(void) {
    if (!g_isEnabled.load()) return;
    g_state.backgroundDurationSinceLastCrash += timeSinceTransition();
    saveState();
}

void maydaystate_notifyAppCrash(void) {
    if (!g_isEnabled.load()) return;
    const double duration = timeSinceTransition();
    if (g_state.applicationIsActive) {
        g_state.activeDurationSinceLaunch += duration;
        g_state.activeDurationSinceLastCrash += duration;
    } else if (!g_state.applicationIsInForeground) {
        g_state.backgroundDurationSinceLaunch += duration;
        g_state.backgroundDurationSinceLastCrash += duration;
    }
    g_state.crashedThisLaunch = true;
    saveState(false);
}

const MaydayState* maydaystate_currentState(void) {
    return &g_state;
}

const MaydayMonitorAPI* mdcm_appstate_getAPI(void) {
    return &kAPI;
}
