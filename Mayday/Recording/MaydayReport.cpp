// The crash report document. Crash-path code: the encoder writes into a
// buffered writer over a stack buffer; no heap, no locks, no stdio.
#include "Mayday/Recording/MaydayReport.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "Mayday/Recording/MaydayCachedData.h"
#include "Mayday/Recording/MaydayReportMemory.h"
#include "Mayday/Recording/MaydayReportThreads.h"
#include "Mayday/Recording/MaydayReportWriter.h"
#include "Mayday/Recording/Tools/MDDynamicLinker.h"
#include "Mayday/Recording/Tools/MDFileUtils.h"
#include "Mayday/Recording/Tools/MDLogger.h"
#include "Mayday/Recording/Tools/MDMach.h"
#include "Mayday/Recording/Tools/MDMachineContext.h"
#include "Mayday/Recording/Tools/MDNumberText.h"
#include "Mayday/Recording/Tools/MDSignalInfo.h"
#include "Mayday/Recording/Tools/MDSysCall.h"

namespace {

constexpr const char* kReportVersion = "3.2.0";
// On the signal stack: big enough that a report of a hundred threads takes
// a dozen writes rather than hundreds.
constexpr int kWriteBufferSize = 16384;
// The old-report path: the report path cut to this, its last five
// characters replaced by ".old" (no cut for the store's own paths, which
// leave room for it).
constexpr int kOldPathCut = MAYDAYREPORT_MAX_PATH_LENGTH - 10;

// Read by a crash inside the writer, on the same thread: a signal fence
// orders the writes against that handler.
char g_pathBeingWritten[MAYDAYREPORT_MAX_PATH_LENGTH];
// Its file: a crash inside the writer writes out what the buffer still held
// before the file is embedded.
MDBufferedWriter* g_fileBeingWritten = nullptr;
char g_oldReportPath[MAYDAYREPORT_MAX_PATH_LENGTH];

void copyText(char* destination, const char* source, int capacity) {
    int i = 0;
    if (source != nullptr)
        for (; i < capacity - 1 && source[i] != '\0'; i++) destination[i] = source[i];
    destination[i] = '\0';
}

// One report being written: the file, the encoder and the element writers.
struct Document {
    char buffer[kWriteBufferSize];
    MDBufferedWriter file;
    MDJSONEncodeContext encoder;
    MaydayReportWriter writer;

    // Starts on a file that is already open (or opens `path` when `fd` is
    // negative); false when there is no file to write.
    bool open(const char* path, int fd) {
        if (fd < 0) {
            if (!mdfu_openBufferedWriter(&file, path, buffer, sizeof(buffer))) return false;
        } else {
            file.buffer = buffer;
            file.bufferLength = sizeof(buffer);
            file.position = 0;
            file.fd = fd;
        }
        mdccd_pauseUpdates();
        maydayreport_beginSettingsRead();
        maydayreport_prepareReportWriter(&writer, &encoder);
        mdjson_beginEncode(&encoder, true, maydayreport_addJSONDataToWriter, &file);
        writer.beginObject(&writer, nullptr);
        return true;
    }

    void flush() { mdfu_flushBufferedWriter(&file); }

    void close() {
        writer.endContainer(&writer);
        mdjson_endEncode(&encoder);
        mdfu_closeBufferedWriter(&file);
        maydayreport_endSettingsRead();
        mdccd_resumeUpdates();
    }
};

void writeReportInfo(const MaydayReportWriter* writer, const Mayday_MonitorContext* context, const char* type) {
    writer->beginObject(writer, "report");
    writer->addStringElement(writer, "version", kReportVersion);
    writer->addStringElement(writer, "id", context->eventID);
    writer->addStringElement(writer, "process_name", context->system.processName);
    writer->addIntegerElement(writer, "timestamp", static_cast<int64_t>(time(nullptr)));
    writer->addStringElement(writer, "type", type);
    writer->endContainer(writer);
}

// The whole build id in lower-case hex: what symbol servers index ELF files by.
void writeBuildID(const MaydayReportWriter* writer, const MDBinaryImage& image) {
    if (image.buildID == nullptr || image.buildIDLength == 0) return;
    char text[2 * 64 + 1];
    uint32_t length = image.buildIDLength <= 64 ? image.buildIDLength : 64;
    for (uint32_t i = 0; i < length; i++) mdnum_writeHexByte(text + 2 * i, image.buildID[i], false);
    text[2 * length] = '\0';
    writer->addStringElement(writer, "build_id", text);
}

void writeBinaryImages(const MaydayReportWriter* writer) {
    writer->beginArray(writer, "binary_images");
    const int count = static_cast<int>(mddl_imageCount());
    for (int i = 0; i < count; i++) {
        MDBinaryImage image;
        memset(&image, 0, sizeof(image));
        if (!mddl_binaryImage(i, &image)) continue;
        writer->beginObject(writer, nullptr);
        writer->addUIntegerElement(writer, "image_addr", image.address);
        writer->addUIntegerElement(writer, "image_vmaddr", image.vmAddress);
        writer->addUIntegerElement(writer, "image_size", image.size);
        writer->addStringElement(writer, "name", image.name);
        writer->addUUIDElement(writer, "uuid", image.uuid);
        writeBuildID(writer, image);
        writer->addIntegerElement(writer, "cpu_type", image.cpuType);
        writer->addIntegerElement(writer, "cpu_subtype", image.cpuSubType);
        writer->addUIntegerElement(writer, "major_version", image.majorVersion);
        writer->addUIntegerElement(writer, "minor_version", image.minorVersion);
        writer->addUIntegerElement(writer, "revision_version", image.revisionVersion);
        writer->endContainer(writer);
    }
    writer->endContainer(writer);
}

void writeProcessState(const MaydayReportWriter* writer, const Mayday_MonitorContext* context) {
    writer->beginObject(writer, "process");
    if (context->zombieException.address != 0) {
        writer->beginObject(writer, "last_dealloced_nsexception");
        writer->addUIntegerElement(writer, "address", context->zombieException.address);
        writer->addStringElement(writer, "name", context->zombieException.name);
        writer->addStringElement(writer, "reason", context->zombieException.reason);
        maydayreport_writeReferencedObject(writer, context->zombieException.reason);
        writer->endContainer(writer);
    }
    writer->endContainer(writer);
}

void writeApplicationStats(const MaydayReportWriter* writer, const Mayday_MonitorContext* context) {
    writer->beginObject(writer, "application_stats");
    writer->addBooleanElement(writer, "application_active", context->appState.applicationIsActive);
    writer->addBooleanElement(writer, "application_in_foreground", context->appState.applicationIsInForeground);
    writer->addIntegerElement(writer, "launches_since_last_crash", context->appState.launchesSinceLastCrash);
    writer->addIntegerElement(writer, "sessions_since_last_crash", context->appState.sessionsSinceLastCrash);
    writer->addFloatingPointElement(writer, "active_time_since_last_crash",
                                    context->appState.activeDurationSinceLastCrash);
    writer->addFloatingPointElement(writer, "background_time_since_last_crash",
                                    context->appState.backgroundDurationSinceLastCrash);
    writer->addIntegerElement(writer, "sessions_since_launch", context->appState.sessionsSinceLaunch);
    writer->addFloatingPointElement(writer, "active_time_since_launch", context->appState.activeDurationSinceLaunch);
    writer->addFloatingPointElement(writer, "background_time_since_launch",
                                    context->appState.backgroundDurationSinceLaunch);
    writer->endContainer(writer);
}

void writeSystemInfo(const MaydayReportWriter* writer, const Mayday_MonitorContext* context) {
    const auto& system = context->system;
    writer->beginObject(writer, "system");
    writer->addStringElement(writer, "system_name", system.systemName);
    writer->addStringElement(writer, "system_version", system.systemVersion);
    writer->addStringElement(writer, "machine", system.machine);
    writer->addStringElement(writer, "model", system.model);
    writer->addStringElement(writer, "kernel_version", system.kernelVersion);
    writer->addStringElement(writer, "os_version", system.osVersion);
    writer->addBooleanElement(writer, "jailbroken", system.isJailbroken);
    writer->addStringElement(writer, "boot_time", system.bootTime);
    writer->addStringElement(writer, "app_start_time", system.appStartTime);
    writer->addStringElement(writer, "CFBundleExecutablePath", system.executablePath);
    writer->addStringElement(writer, "CFBundleExecutable", system.executableName);
    writer->addStringElement(writer, "CFBundleIdentifier", system.bundleID);
    writer->addStringElement(writer, "CFBundleName", system.bundleName);
    writer->addStringElement(writer, "CFBundleVersion", system.bundleVersion);
    writer->addStringElement(writer, "CFBundleShortVersionString", system.bundleShortVersion);
    writer->addStringElement(writer, "app_uuid", system.appID);
    writer->addStringElement(writer, "cpu_arch", system.cpuArchitecture);
    writer->addIntegerElement(writer, "cpu_type", system.cpuType);
    writer->addIntegerElement(writer, "cpu_subtype", system.cpuSubType);
    writer->addIntegerElement(writer, "binary_cpu_type", system.binaryCPUType);
    writer->addIntegerElement(writer, "binary_cpu_subtype", system.binaryCPUSubType);
    writer->addStringElement(writer, "time_zone", system.timezone);
    writer->addStringElement(writer, "process_name", system.processName);
    writer->addIntegerElement(writer, "process_id", system.processID);
    writer->addIntegerElement(writer, "parent_process_id", system.parentProcessID);
    writer->addStringElement(writer, "device_app_hash", system.deviceAppHash);
    writer->addStringElement(writer, "build_type", system.buildType);
    writer->addIntegerElement(writer, "storage", static_cast<int64_t>(system.storageSize));
    writer->beginObject(writer, "memory");
    writer->addUIntegerElement(writer, "size", system.memorySize);
    writer->addUIntegerElement(writer, "usable", system.usableMemory);
    writer->addUIntegerElement(writer, "free", system.freeMemory);
    writer->endContainer(writer);
    writeApplicationStats(writer, context);
    writer->endContainer(writer);
}

void writeTypeSpecificError(const MaydayReportWriter* writer, const Mayday_MonitorContext* context) {
    switch (context->crashType) {
    case MaydayMonitorTypeMainThreadDeadlock:
        writer->addStringElement(writer, "type", "deadlock");
        break;
    case MaydayMonitorTypeMachException:
        writer->addStringElement(writer, "type", "mach");
        break;
    case MaydayMonitorTypeCPPException:
        writer->addStringElement(writer, "type", "cpp_exception");
        writer->beginObject(writer, "cpp_exception");
        writer->addStringElement(writer, "name", context->cppExceptionName);
        writer->endContainer(writer);
        break;
    case MaydayMonitorTypeNSException:
        writer->addStringElement(writer, "type", "nsexception");
        writer->beginObject(writer, "nsexception");
        writer->addStringElement(writer, "name", context->nsexceptionName);
        maydayreport_writeReferencedObject(writer, context->crashReason);
        writer->endContainer(writer);
        break;
    case MaydayMonitorTypeSignal:
        writer->addStringElement(writer, "type", "signal");
        break;
    case MaydayMonitorTypeUserReported:
        writer->addStringElement(writer, "type", "user");
        writer->beginObject(writer, "user_reported");
        writer->addStringElement(writer, "name", context->userException.name);
        if (context->userException.language != nullptr)
            writer->addStringElement(writer, "language", context->userException.language);
        if (context->userException.lineOfCode != nullptr)
            writer->addStringElement(writer, "line_of_code", context->userException.lineOfCode);
        if (context->userException.customStackTrace != nullptr)
            writer->addJSONElement(writer, "backtrace", context->userException.customStackTrace, true);
        writer->endContainer(writer);
        break;
    case MaydayMonitorTypeSystem:
    case MaydayMonitorTypeApplicationState:
    case MaydayMonitorTypeZombie:
        MDLOG_ERROR("Crash monitor type 0x%x shouldn't be able to cause events!", context->crashType);
        break;
    default:
        break;
    }
}

void writeError(const MaydayReportWriter* writer, const Mayday_MonitorContext* context) {
    writer->beginObject(writer, "error");

    writer->beginObject(writer, "mach");
    writer->addUIntegerElement(writer, "exception", static_cast<uint32_t>(context->mach.type));
    const char* exceptionName = mdmach_exceptionName(context->mach.type);
    if (exceptionName != nullptr) writer->addStringElement(writer, "exception_name", exceptionName);
    writer->addUIntegerElement(writer, "code", static_cast<uint32_t>(context->mach.code));
    const char* codeName = context->mach.code != 0 ? mdmach_kernelReturnCodeName(context->mach.code) : nullptr;
    if (codeName != nullptr) writer->addStringElement(writer, "code_name", codeName);
    writer->addUIntegerElement(writer, "subcode", static_cast<uint32_t>(context->mach.subcode));
    writer->endContainer(writer);

    // Linux codes can be negative (SI_TKILL is -6): written as unsigned 32 bits.
    writer->beginObject(writer, "signal");
    writer->addUIntegerElement(writer, "signal", static_cast<uint32_t>(context->signal.signum));
    const char* signalName = mdsignal_signalName(context->signal.signum);
    if (signalName != nullptr) writer->addStringElement(writer, "name", signalName);
    writer->addUIntegerElement(writer, "code", static_cast<uint32_t>(context->signal.sigcode));
    const char* signalCodeName = mdsignal_signalCodeName(context->signal.signum, context->signal.sigcode);
    if (signalCodeName != nullptr) writer->addStringElement(writer, "code_name", signalCodeName);
    writer->endContainer(writer);

    writer->addUIntegerElement(writer, "address", context->faultAddress);
    if (context->crashReason != nullptr) writer->addStringElement(writer, "reason", context->crashReason);
    writeTypeSpecificError(writer, context);
    writer->endContainer(writer);
}

// True when `json` decodes as one object: only then can its members become
// the members of "user" with the callback's after them.
int checkUserInfo(const char* json, int length) {
    MDJSONEncodeContext dryRun;
    mdjson_beginEncode(&dryRun, false, [](const char*, int, void*) { return static_cast<int>(MDJSON_OK); }, nullptr);
    mdjson_beginObject(&dryRun, nullptr);
    const int result = mdjson_addJSONElement(&dryRun, "user", json, length, false);
    if (result != MDJSON_OK) return result;
    return dryRun.containerLevel == 2 && dryRun.isObject[2] ? MDJSON_OK : MDJSON_ERROR_INVALID_DATA;
}

// "user": the user information's members (or, when it does not decode as
// an object, its error object's), then whatever the callback adds. However
// the user information is made, "user" stays one object inside the report.
void writeUserSection(Document* document) {
    const MaydayReportWriter* writer = &document->writer;
    MDJSONEncodeContext* encoder = &document->encoder;
    const int levelBefore = encoder->containerLevel;
    const char* userInfo = maydayreport_userInfoJSON();
    if (userInfo != nullptr) {
        const int length = static_cast<int>(strlen(userInfo));
        const int check = checkUserInfo(userInfo, length);
        if (check == MDJSON_OK) {
            mdjson_addJSONElement(encoder, "user", userInfo, length, false);
            // Only a failing file can leave it otherwise.
            while (encoder->containerLevel > levelBefore + 1) mdjson_endContainer(encoder);
        } else {
            char message[100];
            maydayreport_invalidJSONText(check, message, sizeof(message));
            writer->beginObject(writer, "user");
            writer->addStringElement(writer, "error", message);
            writer->addStringElement(writer, "json_data", userInfo);
        }
    }
    if (encoder->containerLevel == levelBefore) writer->beginObject(writer, "user");
    document->flush();
    const MaydayReportWriteCallback callback = maydayreport_userSectionWriteCallback();
    if (callback != nullptr) {
        callback(writer);
        // Containers the callback left open are closed with "user".
        while (encoder->containerLevel > levelBefore + 1) mdjson_endContainer(encoder);
    }
    writer->endContainer(writer);
    document->flush();
}

void writeStandard(const Mayday_MonitorContext* context, const char* path, int fd) {
    MDLOG_INFO("Writing crash report to %s", path);
    Document document;
    if (!document.open(path, fd)) return;
    copyText(g_pathBeingWritten, path, sizeof(g_pathBeingWritten));
    g_fileBeingWritten = &document.file;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    const MaydayReportWriter* writer = &document.writer;
    const bool snapshot = mddl_beginSnapshot();

    writeReportInfo(writer, context, "standard");
    document.flush();
    writeBinaryImages(writer);
    document.flush();
    writeProcessState(writer, context);
    document.flush();
    writeSystemInfo(writer, context);
    document.flush();
    writer->beginObject(writer, "crash");
    writeError(writer, context);
    document.flush();
    maydayreport_writeAllThreads(writer, "threads", context, maydayreport_introspectMemory());
    document.flush();
    writer->endContainer(writer);
    writeUserSection(&document);
    writer->beginObject(writer, "debug");
    if (context->consoleLogPath != nullptr) writer->addTextFileLinesElement(writer, "console_log", context->consoleLogPath);
    writer->endContainer(writer);
    document.close();
    if (snapshot) mddl_endSnapshot();

    std::atomic_signal_fence(std::memory_order_seq_cst);
    g_fileBeingWritten = nullptr;
    g_pathBeingWritten[0] = '\0';
}

// The minimal document, after an embedded earlier report when there is one.
void writeMinimal(Document* document, const Mayday_MonitorContext* context) {
    const MaydayReportWriter* writer = &document->writer;
    writeReportInfo(writer, context, "minimal");
    document->flush();
    writer->beginObject(writer, "crash");
    writeError(writer, context);
    document->flush();
    const MDMachineContext* offending = context->offendingMachineContext;
    if (offending != nullptr) {
        const int index = mdmc_indexOfThread(offending, mdmc_contextThread(offending));
        maydayreport_writeThread(writer, "crashed_thread", context, offending, index, false);
    }
    document->flush();
    writer->endContainer(writer);
    document->close();
}

}  // namespace

void maydayreport_writeStandardReport(const Mayday_MonitorContext* monitorContext, const char* path) {
    writeStandard(monitorContext, path, -1);
}

void maydayreport_writeStandardReportToFile(const Mayday_MonitorContext* monitorContext, const char* path, int fd) {
    writeStandard(monitorContext, path, fd);
}

void maydayreport_writeRecrashReport(const Mayday_MonitorContext* monitorContext, const char* path) {
    copyText(g_oldReportPath, path, kOldPathCut + 1);
    const int length = static_cast<int>(strlen(g_oldReportPath));
    if (length >= 5) {
        copyText(g_oldReportPath + length - 5, ".old", 5);
    } else {
        g_oldReportPath[0] = '\0';
    }
    MDLOG_INFO("Writing recrash report to %s", path);
    if (g_fileBeingWritten != nullptr && strcmp(path, g_pathBeingWritten) == 0) {
        mdfu_flushBufferedWriter(g_fileBeingWritten);
        g_fileBeingWritten = nullptr;
    }
    bool haveOldReport = true;
    if (rename(path, g_oldReportPath) != 0) {
        MDLOG_ERROR("Could not rename %s to %s: %s", path, g_oldReportPath, mdsys_errorText(errno));
        haveOldReport = false;
    }
    Document document;
    if (!document.open(path, -1)) return;
    if (haveOldReport) {
        const int result = mdjson_addJSONFromFile(&document.encoder, "recrash_report", g_oldReportPath, true);
        document.flush();
        // An unfinished report ends early: that is what is embedded here.
        if (result == MDJSON_OK || result == MDJSON_ERROR_INCOMPLETE) {
            if (unlink(g_oldReportPath) != 0)
                MDLOG_ERROR("Could not remove %s: %s", g_oldReportPath, mdsys_errorText(errno));
        } else {
            MDLOG_ERROR("Could not embed %s, kept: %s", g_oldReportPath, mdjson_stringForError(result));
        }
    }
    writeMinimal(&document, monitorContext);
}

void maydayreport_writeMinimalReportToFile(const Mayday_MonitorContext* monitorContext, const char* path, int fd) {
    MDLOG_INFO("Writing recrash report to %s", path);
    Document document;
    if (!document.open(path, fd)) return;
    writeMinimal(&document, monitorContext);
}

const char* maydayreport_reportPathBeingWritten(void) { return g_pathBeingWritten; }
