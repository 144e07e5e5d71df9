// Report fields. Every change publishes a new record whose texts never
// change, with one pointer store; records and texts are never freed, since
// a crash on another thread may be copying any of them into its report.
#include <deque>

#include "Mayday/Installations/MaydayInstallation.h"
#include "Mayday/Recording/Tools/MDCString.h"
#include "Mayday/Recording/Tools/MDJSONCodecObjC.h"
#include "Mayday/Recording/Tools/MDLogger.h"

using platform::Value;
using Record = MaydayInstReportField::Record;

static_assert(std::atomic<const Record*>::is_always_lock_free, "the crash path reads the records without locks");

namespace {

// Everything ever published, for the life of the process.
class PublishedRecords {
public:
    static PublishedRecords& shared() {
        static PublishedRecords* records = new PublishedRecords();  // never destroyed: crash readers
        return *records;
    }

    const Record* make(const std::shared_ptr<MDCString>& key, const std::shared_ptr<MDCString>& value) {
        std::lock_guard<std::mutex> guard(lock_);
        if (key) texts_.push_back(key);
        if (value) texts_.push_back(value);
        records_.push_back(Record{key ? key->bytes() : nullptr, value ? value->bytes() : nullptr});
        return &records_.back();  // a deque keeps its elements in place
    }

private:
    std::mutex lock_;
    std::deque<Record> records_;
    std::vector<std::shared_ptr<MDCString>> texts_;
};

constexpr Record kEmptyRecord = {nullptr, nullptr};

}  // namespace

struct MaydayInstReportField::State {
    std::mutex lock;  // one change at a time; never taken on the crash path
    std::shared_ptr<MDCString> keyBacking;
    std::shared_ptr<MDCString> valueBacking;
    std::atomic<const Record*> current{&kEmptyRecord};
    std::atomic<const Record*>* slot = nullptr;

    // With `lock` held.
    void publish() {
        const Record* record = PublishedRecords::shared().make(keyBacking, valueBacking);
        current.store(record, std::memory_order_release);
        if (slot) slot->store(record, std::memory_order_release);
    }
};

std::shared_ptr<MaydayInstReportField> MaydayInstReportField::fieldWithIndex(int index) {
    return std::make_shared<MaydayInstReportField>(index);
}

MaydayInstReportField::MaydayInstReportField(int index) : index_(index), state_(std::make_shared<State>()) {}

const Record* MaydayInstReportField::field() const noexcept { return state_->current.load(std::memory_order_acquire); }

void MaydayInstReportField::attachToSlot(std::atomic<const Record*>* slot) {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->slot = slot;
    slot->store(state_->current.load(std::memory_order_relaxed), std::memory_order_release);
}

void MaydayInstReportField::setKey(const Value& key) {
    std::lock_guard<std::mutex> guard(state_->lock);
    key_ = key;
    state_->keyBacking = key.isString() ? MDCString::stringWithString(key.stringValue()) : nullptr;
    state_->publish();
}

void MaydayInstReportField::setValue(const Value& value) {
    std::lock_guard<std::mutex> guard(state_->lock);
    if (value.isNil()) {
        value_ = Value();
        state_->valueBacking = nullptr;
        state_->publish();
        return;
    }
    platform::OptionalError error;
    const std::optional<Value::Bytes> json =
        MDJSONCodec::encode(value, MDJSONEncodeOptionPretty | MDJSONEncodeOptionSorted, &error);
    if (!json || error) {
        MDLOGOBJ_ERROR("Could not set value %@ for property %@: %@", value, key_, platform::describe(error));
        return;
    }
    Value::Bytes text = *json;
    // The crash-time embedding reads a number to the first byte after it: a
    // number that ends the text would be taken as cut short.
    if (value.isNumber()) text.push_back('\n');
    value_ = value;
    state_->valueBacking = MDCString::stringWithData(text);
    state_->publish();
}
