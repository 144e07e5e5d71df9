// The crash reporter facade over the flat interface.
#include "Mayday/Recording/Mayday.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "Mayday/Recording/MaydayC.h"
#include "Mayday/Recording/MaydayReportReader.h"
#include "Mayday/Recording/MaydayReportStore.h"
#include "Mayday/Recording/Monitors/MaydayMonitor.h"
#include "Mayday/Recording/Monitors/MaydayMonitor_AppState.h"
#include "Mayday/Recording/Monitors/MaydayMonitor_System.h"
#include "Mayday/Recording/Tools/MDJSONCodecObjC.h"
#include "Mayday/Recording/Tools/MDLogger.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "sentry/DataError.h"

using platform::Value;

namespace {

constexpr const char* kDomain = "Mayday";

// A C string for a string Value; null for nil and every other kind.
const char* textOrNull(const Value& value) { return value.isString() ? value.stringValue().c_str() : nullptr; }

std::string bundleNameFromInfo() {
    const Value name = platform::Bundle::mainBundle().objectForInfoDictionaryKey("CFBundleName");
    return name.isString() && !name.stringValue().empty() ? name.stringValue() : "Unknown";
}

}  // namespace

Mayday* Mayday::sharedInstance() {
    static Mayday* instance = [] {
        Mayday* made = new Mayday();
        if (made->init()) return made;
        delete made;
        return static_cast<Mayday*>(nullptr);
    }();
    return instance;
}

bool Mayday::init() {
    setBundleName(bundleNameFromInfo());
    const std::string caches = platform::userCachesDirectory();
    if (caches.empty()) {
        MDLOG_ERROR("Could not locate cache directory path.");
        MDLOG_ERROR("Failed to initialize crash handler. Crash reporting disabled.");
        return false;
    }
    setBasePath(caches + "/Mayday/" + bundleName_);
    setDeleteBehaviorAfterSendAll(2);
    setIntrospectMemory(true);
    setCatchZombies(false);
    setMaxReportCount(5);
    setMonitoring(MaydayMonitorTypeDefault);
    return true;
}

bool Mayday::install() {
    const MaydayMonitorFlags active = mayday_install(bundleName_.c_str(), basePath_.c_str());
    monitoring_ = active;
    if (active == MaydayMonitorTypeNone) {
        MDLOG_ERROR("Crash reporting is not active: nothing could be installed under %s", basePath_.c_str());
        return false;
    }
    return true;
}

// ---- Sending and reading.

namespace {

// Every readable stored report with its identifier.
void readAllReports(Mayday* mayday, Value* reports, std::vector<int64_t>* ids) {
    *reports = Value::array();
    const int count = mayday_reportCount();
    if (count <= 0) return;
    std::vector<int64_t> stored(static_cast<size_t>(count));
    const int listed = mayday_reportIDs(stored.data(), count);
    for (int i = 0; i < listed; i++) {
        Value report = mayday->reportWithID(stored[static_cast<size_t>(i)]);
        if (report.isNil()) continue;
        reports->addObject(report);
        if (ids) ids->push_back(stored[static_cast<size_t>(i)]);
    }
}

// Deletes the stored reports (`ids`, in the order of `handed`) whose
// dictionaries are among `delivered`.
void deleteDeliveredReports(const Value& handed, const std::vector<int64_t>& ids, const Value& delivered) {
    if (!delivered.isArray()) return;
    for (size_t i = 0; i < ids.size() && i < handed.count(); i++) {
        const Value report = handed[i];
        for (const Value& sent : delivered.arrayItems()) {
            if (!report.isSameContainer(sent)) continue;
            mayday_deleteReportWithID(ids[i]);
            break;
        }
    }
}

}  // namespace

void Mayday::sendAllReportsWithCompletion(MaydayReportFilterCompletion onCompletion) {
    Value reports;
    auto handed = std::make_shared<std::vector<int64_t>>();
    readAllReports(this, &reports, handed.get());
    MDLOG_INFO("Sending %d crash reports", static_cast<int>(reports.count()));
    const int behavior = deleteBehaviorAfterSendAll_;
    // A sink that answers with what reached its destination decides report
    // by report: the rest stays for the next attempt whatever the batch's outcome.
    const bool byDelivery = sink_ && sink_->completesWithDeliveredReports();
    sendReports(reports, [behavior, byDelivery, reports, handed, onCompletion](
                             Value filteredReports, bool completed, platform::OptionalError error) {
        if (error) MDLOGOBJ_ERROR("Failed to send reports: %@", *error);
        // Only what the sink was given: unreadable reports and those written
        // while the send ran stay for a later attempt.
        if (byDelivery) {
            if (behavior != 0) deleteDeliveredReports(reports, *handed, filteredReports);
        } else if ((behavior == 1 && completed) || behavior == 2) {
            for (int64_t reportID : *handed) mayday_deleteReportWithID(reportID);
        }
        if (onCompletion) onCompletion(std::move(filteredReports), completed, std::move(error));
    });
}

void Mayday::sendReports(Value reports, MaydayReportFilterCompletion onCompletion) {
    if (reports.count() == 0) {
        if (onCompletion) onCompletion(std::move(reports), true, std::nullopt);
        return;
    }
    if (!sink_) {
        if (onCompletion)
            onCompletion(std::move(reports), false, errorWithDomain(kDomain, 0, "No sink set. Crash reports not sent."));
        return;
    }
    sink_->filterReports(std::move(reports), std::move(onCompletion));
}

void Mayday::deleteAllReports() { mayday_deleteAllReports(); }

void Mayday::reportUserException(const Value& name, const Value& reason, const Value& language,
                                 const Value& lineOfCode, const Value& stackTrace, bool logAllThreads,
                                 bool terminateProgram) {
    std::optional<Value::Bytes> traceJSON;
    if (!stackTrace.isNil()) {
        platform::OptionalError error;
        traceJSON = MDJSONCodec::encode(stackTrace, 0, &error);
        if (!traceJSON || error) MDLOGOBJ_ERROR("Error encoding stack trace to JSON: %@", platform::describe(error));
        // The writer takes it as a C string.
        traceJSON = nullTerminated(traceJSON);
    }
    mayday_reportUserException(textOrNull(name), textOrNull(reason), textOrNull(language), textOrNull(lineOfCode),
                               traceJSON ? reinterpret_cast<const char*>(traceJSON->data()) : nullptr,
                               logAllThreads, terminateProgram);
}

std::optional<Value::Bytes> Mayday::loadCrashReportJSONWithID(int64_t reportID) {
    char* text = mayday_readReport(reportID);
    if (text == nullptr) return std::nullopt;
    Value::Bytes bytes(text, text + strlen(text));
    free(text);
    return bytes;
}

Value Mayday::reportWithID(int64_t reportID) {
    const std::optional<Value::Bytes> json = loadCrashReportJSONWithID(reportID);
    if (!json) return damagedReportWithID(reportID);
    platform::OptionalError error;
    Value report = MDJSONCodec::decode(*json,
                                       MDJSONDecodeOptionIgnoreNullInArray | MDJSONDecodeOptionIgnoreNullInObject |
                                           MDJSONDecodeOptionKeepPartialObject,
                                       &error);
    if (error)
        MDLOGOBJ_ERROR("Encountered error loading crash report %llx: %@", static_cast<unsigned long long>(reportID),
                       *error);
    if (report.isNil()) {
        MDLOG_ERROR("Could not load crash report");
        return Value();
    }
    doctorReport(report);
    return report;
}

Value Mayday::damagedReportWithID(int64_t reportID) {
    // A report cut short (the recorder was killed while writing it, the disk
    // filled up) still tells what happened as far as it goes: better sent
    // in part than kept unsendable until pruning drops it.
    char* raw = reportID > 0 ? mdcrs_readReport(reportID) : nullptr;
    if (raw == nullptr) return Value();
    const MaydayReadReport read = maydayDecodeStoredReport(raw);
    free(raw);
    // Without its own header section what was read is no report at all.
    if (!read.report["report"].isDictionary()) {
        MDLOGOBJ_ERROR("Crash report %llx is unreadable: %@", static_cast<unsigned long long>(reportID), read.problem);
        return Value();
    }
    MDLOGOBJ_WARN("Crash report %llx is damaged, using what could be read: %@",
                  static_cast<unsigned long long>(reportID), read.problem);
    return read.report;
}

Value Mayday::allReports() {
    Value reports;
    readAllReports(this, &reports, nullptr);
    return reports;
}

void Mayday::doctorReport(Value& report) { maydayDiagnoseReport(report); }

std::optional<Value::Bytes> Mayday::nullTerminated(const std::optional<Value::Bytes>& data) {
    if (!data) return std::nullopt;
    Value::Bytes copy = *data;
    copy.push_back(0);
    return copy;
}

// ---- Application state notifications.

void Mayday::applicationDidBecomeActive() { mayday_notifyAppActive(true); }
void Mayday::applicationWillResignActive() { mayday_notifyAppActive(false); }
void Mayday::applicationDidEnterBackground() { mayday_notifyAppInForeground(false); }
void Mayday::applicationWillEnterForeground() { mayday_notifyAppInForeground(true); }
void Mayday::applicationWillTerminate() { mayday_notifyAppTerminate(); }

// ---- Properties.

Value Mayday::userInfo() const {
    std::lock_guard<std::mutex> guard(userInfoLock_);
    return userInfo_;
}

void Mayday::setUserInfo(const Value& userInfo) {
    std::lock_guard<std::mutex> guard(userInfoLock_);
    std::optional<Value::Bytes> json;
    if (!userInfo.isNil()) {
        platform::OptionalError error;
        json = nullTerminated(MDJSONCodec::encode(userInfo, MDJSONEncodeOptionSorted, &error));
        if (!json || error) {
            MDLOGOBJ_ERROR("Could not serialize user info: %@", platform::describe(error));
            return;
        }
    }
    userInfo_ = userInfo;
    mayday_setUserInfoJSON(json ? reinterpret_cast<const char*>(json->data()) : nullptr);
}

void Mayday::setMonitoring(MaydayMonitorFlags monitoring) { monitoring_ = mayday_setMonitoring(monitoring); }

void Mayday::setDeadlockWatchdogInterval(double seconds) {
    deadlockWatchdogInterval_ = seconds;
    mayday_setDeadlockWatchdogInterval(seconds);
}

void Mayday::setOnCrash(MaydayReportWriteCallback onCrash) {
    onCrash_ = onCrash;
    mayday_setOnCrash(onCrash);
}

void Mayday::setIntrospectMemory(bool introspectMemory) {
    introspectMemory_ = introspectMemory;
    mayday_setIntrospectMemory(introspectMemory);
}

void Mayday::setCatchZombies(bool catchZombies) {
    catchZombies_ = catchZombies;
    // Asking for no zombie tracking takes the monitor out of the selection
    // (once running it stays, as releases already go through it).
    setMonitoring(catchZombies ? (monitoring_ | MaydayMonitorTypeZombie)
                               : (monitoring_ & ~static_cast<MaydayMonitorFlags>(MaydayMonitorTypeZombie)));
}

void Mayday::setDoNotIntrospectClasses(const Value& classNames) {
    doNotIntrospectClasses_ = classNames;
    std::vector<const char*> names;
    for (const Value& name : classNames.arrayItems())
        if (name.isString()) names.push_back(name.stringValue().c_str());
    mayday_setDoNotIntrospectClasses(names.data(), static_cast<int>(names.size()));
}

void Mayday::setMaxReportCount(int maxReportCount) {
    maxReportCount_ = maxReportCount;
    mayday_setMaxReportCount(maxReportCount);
}

void Mayday::setAddConsoleLogToReport(bool shouldAdd) {
    addConsoleLogToReport_ = shouldAdd;
    mayday_setAddConsoleLogToReport(shouldAdd);
}

void Mayday::setPrintPreviousLog(bool shouldPrint) {
    printPreviousLog_ = shouldPrint;
    mayday_setPrintPreviousLog(shouldPrint);
}

// ---- Read-only state.

double Mayday::activeDurationSinceLastCrash() const { return maydaystate_currentState()->activeDurationSinceLastCrash; }
double Mayday::backgroundDurationSinceLastCrash() const {
    return maydaystate_currentState()->backgroundDurationSinceLastCrash;
}
int Mayday::launchesSinceLastCrash() const { return maydaystate_currentState()->launchesSinceLastCrash; }
int Mayday::sessionsSinceLastCrash() const { return maydaystate_currentState()->sessionsSinceLastCrash; }
double Mayday::activeDurationSinceLaunch() const { return maydaystate_currentState()->activeDurationSinceLaunch; }
double Mayday::backgroundDurationSinceLaunch() const {
    return maydaystate_currentState()->backgroundDurationSinceLaunch;
}
int Mayday::sessionsSinceLaunch() const { return maydaystate_currentState()->sessionsSinceLaunch; }
bool Mayday::crashedLastLaunch() const { return maydaystate_currentState()->crashedLastLaunch; }
int Mayday::reportCount() const { return mayday_reportCount(); }

Value Mayday::systemInfo() const {
    Mayday_MonitorContext context = {};
    const MaydayMonitorAPI* system = mdcm_system_getAPI();
    if (system != nullptr && system->addContextToEvent != nullptr) system->addContextToEvent(&context);
    const auto& s = context.system;
    Value info = Value::dictionary();
    const auto text = [&info](const char* key, const char* value) {
        if (value != nullptr) info.setObject(Value(value), key);
    };
    text("systemName", s.systemName);
    text("systemVersion", s.systemVersion);
    text("machine", s.machine);
    text("model", s.model);
    text("kernelVersion", s.kernelVersion);
    text("osVersion", s.osVersion);
    info.setObject(Value(s.isJailbroken), "isJailbroken");
    text("bootTime", s.bootTime);
    text("appStartTime", s.appStartTime);
    text("executablePath", s.executablePath);
    text("executableName", s.executableName);
    text("bundleID", s.bundleID);
    text("bundleName", s.bundleName);
    text("bundleVersion", s.bundleVersion);
    text("bundleShortVersion", s.bundleShortVersion);
    text("appID", s.appID);
    text("cpuArchitecture", s.cpuArchitecture);
    info.setObject(Value(s.cpuType), "cpuType");
    info.setObject(Value(s.cpuSubType), "cpuSubType");
    info.setObject(Value(s.binaryCPUType), "binaryCPUType");
    info.setObject(Value(s.binaryCPUSubType), "binaryCPUSubType");
    text("timezone", s.timezone);
    text("processName", s.processName);
    info.setObject(Value(s.processID), "processID");
    info.setObject(Value(s.parentProcessID), "parentProcessID");
    text("deviceAppHash", s.deviceAppHash);
    text("buildType", s.buildType);
    info.setObject(Value(static_cast<unsigned long long>(s.storageSize)), "storageSize");
    info.setObject(Value(static_cast<unsigned long long>(s.memorySize)), "memorySize");
    info.setObject(Value(static_cast<unsigned long long>(s.freeMemory)), "freeMemory");
    info.setObject(Value(static_cast<unsigned long long>(s.usableMemory)), "usableMemory");
    return info;
}
