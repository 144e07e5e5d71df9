// The one object an application configures for crash reporting end to end:
// it installs the recorder, adds named values of its own to every crash
// report, and, when asked to send, runs the stored reports through its
// pre-filters and its sink. Concrete installations name their required
// properties, map their properties to report fields and supply sink().
//
// Report field values must reach a report written inside a crashed
// process: they are serialised to JSON when set and published as plain
// records that the crash-time callback only reads. A record, once
// published, stays valid for the life of the process (a crash on another
// thread may be reading it while a new value is set).
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Mayday/Recording/MaydayReportWriter.h"
#include "Mayday/Reporting/Filters/MaydayReportFilter.h"
#include "Mayday/Reporting/Filters/MaydayReportFilterBasic.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

// The most report fields an installation holds; asking for more gives a
// field that is never written into reports (logged once).
inline constexpr int kMaydayInstallationMaxReportFields = 500;

// One named value destined for the report ("user/<key>" unless the key
// starts with "/").
class MaydayInstReportField {
public:
    static std::shared_ptr<MaydayInstReportField> fieldWithIndex(int index);
    explicit MaydayInstReportField(int index);

    int index() const noexcept { return index_; }
    const platform::Value& key() const noexcept { return key_; }
    const platform::Value& value() const noexcept { return value_; }
    void setKey(const platform::Value& key);
    // Encoded as pretty JSON with sorted keys; a value that does not encode
    // is logged ("Could not set value %@ for property %@: %@") and changes nothing.
    void setValue(const platform::Value& value);

    // The crash-time record: key text and value JSON text, each null when unset.
    struct Record {
        const char* key;
        const char* value;
    };
    const Record* field() const noexcept;

private:
    friend class MaydayInstallation;
    struct State;
    // Makes `slot` (an entry of the installation's table) follow the
    // published record from now on.
    void attachToSlot(std::atomic<const Record*>* slot);

    int index_;
    platform::Value key_;
    platform::Value value_;
    std::shared_ptr<State> state_;
};

class MaydayInstallation {
public:
    virtual ~MaydayInstallation();
    MaydayInstallation(const MaydayInstallation&) = delete;
    MaydayInstallation& operator=(const MaydayInstallation&) = delete;

    // The field of a property, made on first use.
    std::shared_ptr<MaydayInstReportField> reportFieldForProperty(const std::string& propertyName);
    void reportFieldForPropertySetKey(const std::string& propertyName, const platform::Value& key);
    void reportFieldForPropertySetValue(const std::string& propertyName, const platform::Value& value);

    static std::string makeKeyPath(const std::string& key);
    static platform::Value makeKeyPaths(const platform::Value& keys);

    // Nothing when every required property is set (valueForProperty).
    platform::OptionalError validateProperties() const;

    MaydayReportWriteCallback onCrash() const;
    void setOnCrash(MaydayReportWriteCallback onCrash);

    // Installs the recorder with this installation's crash callback.
    void install();
    void sendAllReportsWithCompletion(MaydayReportFilterCompletion onCompletion);
    void addPreFilter(std::shared_ptr<MaydayReportFilter> filter);
    // The final filter; none in the base.
    virtual std::shared_ptr<MaydayReportFilter> sink();
    void addConditionalAlertWithTitle(const std::string& title, const std::string& message,
                                      const std::string& yesAnswer, const std::string& noAnswer);
    void addUnconditionalAlertWithTitle(const std::string& title, const std::string& message,
                                        const std::string& dismissButtonText);

    const std::vector<std::string>& requiredProperties() const noexcept { return requiredProperties_; }
    const std::shared_ptr<MaydayReportFilterPipeline>& prependedFilters() const noexcept { return prependedFilters_; }

protected:
    explicit MaydayInstallation(std::vector<std::string> requiredProperties);
    // Key-value coding for validation: the value of a property by name,
    // nil when unset; throws std::out_of_range for a name that is no property.
    virtual platform::Value valueForProperty(const std::string& propertyName) const;
    // The class name for error domains ("MaydayInstallationSentry").
    virtual std::string className() const = 0;

private:
    struct CrashHandlerData;
    // The recorder's user-section callback: copies the fields of the
    // installed crash handler data into the report, then calls onCrash.
    static void writeReportFields(const MaydayReportWriter* writer);
    // The crash handler data of the installation installed last, or null.
    static std::atomic<CrashHandlerData*> installed_;
    // New crash handler data, kept reachable for the process's life.
    static CrashHandlerData* makeCrashHandlerData();

    std::vector<std::string> requiredProperties_;
    std::shared_ptr<MaydayReportFilterPipeline> prependedFilters_;
    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<MaydayInstReportField>> fields_;
    int nextFieldIndex_ = 0;
    bool toldTableFull_ = false;
    CrashHandlerData* crashHandlerData_;  // plain memory the crash callback reads; kept for the process's life
};
