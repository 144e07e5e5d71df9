// The installation base: its report fields in plain memory for the crash
// callback, validation, installing the recorder, and sending through the
// pre-filters and the sink.
#include "Mayday/Installations/MaydayInstallation.h"

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

#include "Mayday/Recording/Mayday.h"
#include "Mayday/Recording/Tools/MDLogger.h"
#include "Mayday/Reporting/Filters/MaydayReportFilterAlert.h"
#include "sentry/DataError.h"

using platform::Value;
using Record = MaydayInstReportField::Record;

// Read at crash time: plain memory and lock-free atomics only.
struct MaydayInstallation::CrashHandlerData {
    std::atomic<MaydayReportWriteCallback> onCrash;
    std::atomic<int32_t> fieldCount;
    int32_t padding;
    std::atomic<const Record*> fields[kMaydayInstallationMaxReportFields];
};

static_assert(sizeof(std::atomic<MaydayReportWriteCallback>) == 8 && sizeof(std::atomic<const Record*>) == 8);
static_assert(std::atomic<MaydayReportWriteCallback>::is_always_lock_free && std::atomic<int32_t>::is_always_lock_free);

std::atomic<MaydayInstallation::CrashHandlerData*> MaydayInstallation::installed_{nullptr};

namespace {

// Installing and releasing change the recorder's callback together with the
// process-wide data it reads, so one installation's swap never interleaves
// with another's.
std::mutex& facadeLock() {
    static std::mutex lock;
    return lock;
}

}  // namespace

MaydayInstallation::CrashHandlerData* MaydayInstallation::makeCrashHandlerData() {
    // Never freed, since a crash report being written may still be reading
    // it; held here so that it stays reachable rather than leaked.
    static auto* kept = new std::vector<std::unique_ptr<CrashHandlerData>>();
    std::lock_guard<std::mutex> guard(facadeLock());
    kept->push_back(std::make_unique<CrashHandlerData>());
    return kept->back().get();
}

MaydayInstallation::MaydayInstallation(std::vector<std::string> requiredProperties)
    : requiredProperties_(std::move(requiredProperties)),
      prependedFilters_(MaydayReportFilterPipeline::filterWithFilters({})),
      crashHandlerData_(makeCrashHandlerData()) {
    static_assert(sizeof(CrashHandlerData) == 4016, "callback, padded count, one pointer per field");
}

MaydayInstallation::~MaydayInstallation() {
    std::lock_guard<std::mutex> guard(facadeLock());
    CrashHandlerData* ours = crashHandlerData_;
    if (!installed_.compare_exchange_strong(ours, nullptr)) return;
    if (Mayday* mayday = Mayday::sharedInstance()) mayday->setOnCrash(nullptr);
}

// ---- Report fields.

std::shared_ptr<MaydayInstReportField> MaydayInstallation::reportFieldForProperty(const std::string& propertyName) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto found = fields_.find(propertyName);
    if (found != fields_.end()) return found->second;

    const int index = nextFieldIndex_++;
    auto field = MaydayInstReportField::fieldWithIndex(index);
    if (index < kMaydayInstallationMaxReportFields) {
        field->attachToSlot(&crashHandlerData_->fields[index]);
        // The count goes up only once the slot it covers is set.
        crashHandlerData_->fieldCount.store(nextFieldIndex_, std::memory_order_release);
    } else if (!toldTableFull_) {
        toldTableFull_ = true;
        MDLOG_ERROR("Report field table full (%d fields): \"%s\" and later fields are never written to reports",
                    kMaydayInstallationMaxReportFields, propertyName.c_str());
    }
    fields_.emplace(propertyName, field);
    return field;
}

void MaydayInstallation::reportFieldForPropertySetKey(const std::string& propertyName, const Value& key) {
    reportFieldForProperty(propertyName)->setKey(key);
}

void MaydayInstallation::reportFieldForPropertySetValue(const std::string& propertyName, const Value& value) {
    reportFieldForProperty(propertyName)->setValue(value);
}

std::string MaydayInstallation::makeKeyPath(const std::string& key) {
    if (key.empty() || key.front() == '/') return key;
    return "user/" + key;
}

Value MaydayInstallation::makeKeyPaths(const Value& keys) {
    if (!keys.isArray() || keys.count() == 0) return keys;
    Value paths = Value::array();
    for (const Value& key : keys.arrayItems()) paths.addObject(key.isString() ? Value(makeKeyPath(key.stringValue())) : key);
    return paths;
}

// ---- Validation.

Value MaydayInstallation::valueForProperty(const std::string& propertyName) const {
    throw std::out_of_range(propertyName);
}

platform::OptionalError MaydayInstallation::validateProperties() const {
    std::string message;
    for (const std::string& name : requiredProperties_) {
        const char* reason = nullptr;
        try {
            if (valueForProperty(name).isNil()) reason = "is nil";
        } catch (const std::out_of_range&) {
            reason = "property not found";
        }
        if (reason == nullptr) continue;
        if (!message.empty()) message += ", ";
        message += platform::format("%@ (%@)", name, reason);
    }
    if (message.empty()) return std::nullopt;
    return errorWithDomain(className(), 0, "Installation properties failed validation: %@", message);
}

// ---- The crash callback.

MaydayReportWriteCallback MaydayInstallation::onCrash() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return crashHandlerData_->onCrash.load(std::memory_order_acquire);
}

void MaydayInstallation::setOnCrash(MaydayReportWriteCallback onCrash) {
    std::lock_guard<std::mutex> guard(mutex_);
    crashHandlerData_->onCrash.store(onCrash, std::memory_order_release);
}

void MaydayInstallation::writeReportFields(const MaydayReportWriter* writer) {
    const CrashHandlerData* data = installed_.load(std::memory_order_acquire);
    if (data == nullptr) return;
    int32_t count = data->fieldCount.load(std::memory_order_acquire);
    if (count > kMaydayInstallationMaxReportFields) count = kMaydayInstallationMaxReportFields;
    for (int32_t i = 0; i < count; i++) {
        const Record* record = data->fields[i].load(std::memory_order_acquire);
        if (record != nullptr && record->key != nullptr && record->value != nullptr)
            writer->addJSONElement(writer, record->key, record->value, true);
    }
    const MaydayReportWriteCallback onCrash = data->onCrash.load(std::memory_order_acquire);
    if (onCrash != nullptr) onCrash(writer);
}

void MaydayInstallation::install() {
    Mayday* mayday = Mayday::sharedInstance();
    if (mayday == nullptr) {
        MDLOG_ERROR("No crash recorder: the installation cannot be installed");
        return;
    }
    std::lock_guard<std::mutex> guard(facadeLock());
    installed_.store(crashHandlerData_, std::memory_order_release);
    mayday->setOnCrash(writeReportFields);
    mayday->install();
}

// ---- Sending.

void MaydayInstallation::sendAllReportsWithCompletion(MaydayReportFilterCompletion onCompletion) {
    if (platform::OptionalError error = validateProperties()) {
        mdfilter_callCompletion(onCompletion, Value(), false, std::move(error));
        return;
    }
    std::shared_ptr<MaydayReportFilter> finalFilter = sink();
    if (!finalFilter) {
        mdfilter_callCompletion(onCompletion, Value(), false,
                                errorWithDomain(className(), 0,
                                                "Sink was nil (subclasses must implement method \"sink\")"));
        return;
    }
    Mayday* mayday = Mayday::sharedInstance();
    if (mayday == nullptr) {
        mdfilter_callCompletion(onCompletion, Value(), false,
                                errorWithDomain(className(), 0, "No crash recorder: reports cannot be read"));
        return;
    }
    mayday->setSink(MaydayReportFilterPipeline::filterWithFilters({prependedFilters_, std::move(finalFilter)}));
    mayday->sendAllReportsWithCompletion(std::move(onCompletion));
}

void MaydayInstallation::addPreFilter(std::shared_ptr<MaydayReportFilter> filter) {
    prependedFilters_->addFilter(std::move(filter));
}

std::shared_ptr<MaydayReportFilter> MaydayInstallation::sink() { return nullptr; }

void MaydayInstallation::addConditionalAlertWithTitle(const std::string& title, const std::string& message,
                                                      const std::string& yesAnswer, const std::string& noAnswer) {
    addPreFilter(MaydayReportFilterAlert::filterWithTitle(title, message, yesAnswer, noAnswer));
    // Reports the user declines to send go too.
    Mayday* mayday = Mayday::sharedInstance();
    if (mayday != nullptr && mayday->deleteBehaviorAfterSendAll() == 1) mayday->setDeleteBehaviorAfterSendAll(2);
}

void MaydayInstallation::addUnconditionalAlertWithTitle(const std::string& title, const std::string& message,
                                                        const std::string& dismissButtonText) {
    // One button only tells the user: dismissing it lets the reports go on.
    addPreFilter(MaydayReportFilterAlert::filterWithTitle(title, message, dismissButtonText, ""));
}
