// The crash reporter as the rest of the program sees it: one shared object
// holding the configuration, installing the recorder, reporting exceptions
// from application code, and reading, sending and deleting stored reports.
//
// Not for the crash path. Setters are meant for start-up (only setUserInfo
// is synchronised); the send operations call their completions exactly once.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Mayday/Recording/MaydayReportWriter.h"
#include "Mayday/Recording/Monitors/MaydayMonitorType.h"
#include "Mayday/Reporting/Filters/MaydayReportFilter.h"
#include "platform/foundation/Value.h"

class Mayday {
public:
    // Made once (thread-safe); null when no base path could be found.
    static Mayday* sharedInstance();

    // Installs the recorder under basePath(); true when monitors are active.
    // False (logged) when the report directory cannot be made or the base
    // path does not fit the recorder's path buffers.
    bool install();

    // Every readable stored report to the sink; afterwards the reports that
    // were handed to it are deleted as deleteBehaviorAfterSendAll says. A
    // sink that completesWithDeliveredReports() gets exactly the handed
    // reports it completes with deleted, whatever the batch's outcome
    // (none with behaviour 0).
    void sendAllReportsWithCompletion(MaydayReportFilterCompletion onCompletion);
    void sendReports(platform::Value reports, MaydayReportFilterCompletion onCompletion);
    void deleteAllReports();

    // name, reason, language and lineOfCode are strings or nil; stackTrace
    // an array (or nil) encoded as JSON for the report.
    void reportUserException(const platform::Value& name, const platform::Value& reason,
                             const platform::Value& language, const platform::Value& lineOfCode,
                             const platform::Value& stackTrace, bool logAllThreads, bool terminateProgram);

    // The stored report decoded and diagnosed, or nil.
    platform::Value reportWithID(int64_t reportID);
    // What a report the fix-up cannot take still holds (cut short, say), or nil.
    platform::Value damagedReportWithID(int64_t reportID);
    // Its fixed-up JSON text, or nothing.
    std::optional<platform::Value::Bytes> loadCrashReportJSONWithID(int64_t reportID);
    // Every readable stored report, in the store's order.
    platform::Value allReports();
    // Adds "diagnosis" to the report's "crash" (and its recrash report's).
    void doctorReport(platform::Value& report);
    // A copy with one zero byte appended.
    static std::optional<platform::Value::Bytes> nullTerminated(const std::optional<platform::Value::Bytes>& data);

    void applicationDidBecomeActive();
    void applicationWillResignActive();
    void applicationDidEnterBackground();
    void applicationWillEnterForeground();
    void applicationWillTerminate();

    // ---- Properties.
    const std::string& bundleName() const { return bundleName_; }
    void setBundleName(const std::string& bundleName) { bundleName_ = bundleName; }
    const std::string& basePath() const { return basePath_; }
    void setBasePath(const std::string& basePath) { basePath_ = basePath; }
    platform::Value userInfo() const;
    // Encoded as JSON (sorted keys) for the report writer; a dictionary that
    // cannot be encoded changes nothing.
    void setUserInfo(const platform::Value& userInfo);
    // 0 never delete, 1 after a completed send, 2 after every send attempt.
    int deleteBehaviorAfterSendAll() const { return deleteBehaviorAfterSendAll_; }
    void setDeleteBehaviorAfterSendAll(int behavior) { deleteBehaviorAfterSendAll_ = behavior; }
    // The monitors really active once installed.
    MaydayMonitorFlags monitoring() const { return monitoring_; }
    void setMonitoring(MaydayMonitorFlags monitoring);
    double deadlockWatchdogInterval() const { return deadlockWatchdogInterval_; }
    void setDeadlockWatchdogInterval(double seconds);
    MaydayReportWriteCallback onCrash() const { return onCrash_; }
    void setOnCrash(MaydayReportWriteCallback onCrash);
    bool introspectMemory() const { return introspectMemory_; }
    void setIntrospectMemory(bool introspectMemory);
    bool catchZombies() const { return catchZombies_; }
    void setCatchZombies(bool catchZombies);
    platform::Value doNotIntrospectClasses() const { return doNotIntrospectClasses_; }
    void setDoNotIntrospectClasses(const platform::Value& classNames);
    int maxReportCount() const { return maxReportCount_; }
    void setMaxReportCount(int maxReportCount);
    std::shared_ptr<MaydayReportFilter> sink() const { return sink_; }
    void setSink(std::shared_ptr<MaydayReportFilter> sink) { sink_ = std::move(sink); }
    bool addConsoleLogToReport() const { return addConsoleLogToReport_; }
    void setAddConsoleLogToReport(bool shouldAdd);
    bool printPreviousLog() const { return printPreviousLog_; }
    void setPrintPreviousLog(bool shouldPrint);
    int demangleLanguages() const { return demangleLanguages_; }
    void setDemangleLanguages(int languages) { demangleLanguages_ = languages; }

    // ---- Read-only state.
    double activeDurationSinceLastCrash() const;
    double backgroundDurationSinceLastCrash() const;
    int launchesSinceLastCrash() const;
    int sessionsSinceLastCrash() const;
    double activeDurationSinceLaunch() const;
    double backgroundDurationSinceLaunch() const;
    int sessionsSinceLaunch() const;
    bool crashedLastLaunch() const;
    int reportCount() const;
    platform::Value systemInfo() const;

    Mayday(const Mayday&) = delete;
    Mayday& operator=(const Mayday&) = delete;

private:
    Mayday() = default;
    bool init();

    std::string bundleName_;
    std::string basePath_;
    mutable std::mutex userInfoLock_;
    platform::Value userInfo_;
    int deleteBehaviorAfterSendAll_ = 2;
    MaydayMonitorFlags monitoring_ = MaydayMonitorTypeNone;
    double deadlockWatchdogInterval_ = 0;
    MaydayReportWriteCallback onCrash_ = nullptr;
    bool introspectMemory_ = false;
    bool catchZombies_ = false;
    platform::Value doNotIntrospectClasses_;
    int maxReportCount_ = 5;
    std::shared_ptr<MaydayReportFilter> sink_;
    bool addConsoleLogToReport_ = false;
    bool printPreviousLog_ = false;
    int demangleLanguages_ = 0;
};
