// The prepared symbol index: each image's symbols sorted by address and the
// nearest-symbol lookup a binary search that answers as a scan of the whole
// table would.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "Mayday/Recording/Tools/MDDynamicLinker.h"
#include "Mayday/Recording/Tools/MDImageList.h"
#include "Mayday/Recording/Tools/MDSymbolIndex.h"

namespace {

using mddl::IndexedImage;

struct Entry {
    const char* name;
    uintptr_t address;
};

// Every indexed image of the live link map with its symbols in index order.
struct IndexedRecord {
    const IndexedImage* record;
    std::vector<Entry> symbols;
    mddl::Image image;
};

std::vector<IndexedRecord> indexedRecords() {
    std::vector<IndexedRecord> records;
    mddl::LinkMapWalk walk;
    uintptr_t map;
    mddl::LinkEntry entry;
    while (walk.next(&map, &entry)) {
        mddl::Image image;
        if (!mddl::describeImage(map, entry, walk.head().first, &image)) continue;
        const IndexedImage* record = mddl::indexedImage(&image);
        if (record == nullptr) continue;
        IndexedRecord item{record, {}, image};
        for (uint32_t i = 0; i < mddl::indexedSymbolCount(record); i++) {
            Entry symbol;
            mddl::indexedSymbolAt(record, i, &symbol.name, &symbol.address);
            item.symbols.push_back(symbol);
        }
        records.push_back(std::move(item));
    }
    return records;
}

// The rule, as a scan: the nearest symbol at or below, the later one on equal
// distance, replacing the incoming answer only when at least as near.
void linearNearest(const std::vector<Entry>& symbols, uintptr_t address, const char** name, uintptr_t* symbolAddress) {
    for (const Entry& symbol : symbols)
        if (symbol.address <= address && (*name == nullptr || address - symbol.address <= address - *symbolAddress)) {
            *name = symbol.name;
            *symbolAddress = symbol.address;
        }
}

class SymbolIndexTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { mddl_initialize(); }
};

TEST_F(SymbolIndexTest, EveryImageIsSortedByAddress) {
    const std::vector<IndexedRecord> records = indexedRecords();
    ASSERT_FALSE(records.empty());
    size_t total = 0;
    for (const IndexedRecord& item : records) {
        total += item.symbols.size();
        for (size_t i = 1; i < item.symbols.size(); i++)
            ASSERT_LE(item.symbols[i - 1].address, item.symbols[i].address) << i;
    }
    EXPECT_GT(total, 100u);  // the test program's own table alone has more
}

TEST_F(SymbolIndexTest, LookupEqualsAScanOverRandomAddresses) {
    std::mt19937_64 random(20261208);
    for (const IndexedRecord& item : indexedRecords()) {
        if (item.symbols.empty()) continue;
        const uintptr_t low = item.symbols.front().address;
        const uintptr_t high = item.symbols.back().address;
        std::uniform_int_distribution<uintptr_t> anywhere(low > 4096 ? low - 4096 : 0, high + 4096);
        std::uniform_int_distribution<size_t> pick(0, item.symbols.size() - 1);
        for (int round = 0; round < 3000; round++) {
            uintptr_t address = anywhere(random);
            if (round % 3 == 1) address = item.symbols[pick(random)].address;  // exactly on a symbol
            if (round % 3 == 2) address = item.symbols[pick(random)].address - 1;  // just below one
            // Half the rounds come with an answer already found elsewhere.
            const char* incomingName = nullptr;
            uintptr_t incomingAddress = 0;
            if (round % 2) {
                incomingName = "from-the-dynamic-table";
                incomingAddress = address - (uintptr_t)(random() % 256);
            }
            const char* expectedName = incomingName;
            uintptr_t expectedAddress = incomingAddress;
            linearNearest(item.symbols, address, &expectedName, &expectedAddress);
            const char* name = incomingName;
            uintptr_t symbolAddress = incomingAddress;
            mddl::nearestIndexedSymbol(item.record, address, &name, &symbolAddress);
            ASSERT_EQ(name, expectedName) << std::hex << address;
            ASSERT_EQ(symbolAddress, expectedAddress) << std::hex << address;
        }
    }
}

TEST_F(SymbolIndexTest, TheDynamicTableCopyAnswersAsTheMappedTable) {
    std::mt19937_64 random(8122026);
    int compared = 0;
    for (const IndexedRecord& item : indexedRecords()) {
        const char* probeName = nullptr;
        uintptr_t probeAddress = 0;
        if (!mddl::nearestIndexedDynamicName(item.record, item.image.start, &probeName, &probeAddress)) continue;
        std::uniform_int_distribution<uintptr_t> anywhere(item.image.start, item.image.end - 1);
        for (int round = 0; round < 2000; round++) {
            const uintptr_t address = anywhere(random);
            const char* expectedName = nullptr;
            uintptr_t expectedAddress = 0;
            mddl::nearestDynamicName(&item.image, address, &expectedName, &expectedAddress);
            const char* name = nullptr;
            uintptr_t symbolAddress = 0;
            ASSERT_TRUE(mddl::nearestIndexedDynamicName(item.record, address, &name, &symbolAddress));
            ASSERT_EQ(name == nullptr, expectedName == nullptr) << std::hex << address;
            if (name == nullptr) continue;
            ASSERT_STREQ(name, expectedName) << std::hex << address;
            ASSERT_EQ(symbolAddress, expectedAddress) << std::hex << address;
            compared++;
        }
    }
    EXPECT_GT(compared, 1000) << "libc and the C++ runtime have dynamic tables";
    const char* name = "kept";
    uintptr_t symbolAddress = 42;
    EXPECT_FALSE(mddl::nearestIndexedDynamicName(nullptr, 100, &name, &symbolAddress));
    EXPECT_STREQ(name, "kept");
}

TEST_F(SymbolIndexTest, NothingAtOrBelowAndNoRecordLeaveTheAnswerAlone) {
    const std::vector<IndexedRecord> records = indexedRecords();
    ASSERT_FALSE(records.empty());
    for (const IndexedRecord& item : records) {
        if (item.symbols.empty() || item.symbols.front().address == 0) continue;
        const char* name = nullptr;
        uintptr_t symbolAddress = 0;
        mddl::nearestIndexedSymbol(item.record, item.symbols.front().address - 1, &name, &symbolAddress);
        EXPECT_EQ(name, nullptr);
        EXPECT_EQ(symbolAddress, 0u);
    }
    const char* name = "kept";
    uintptr_t symbolAddress = 42;
    mddl::nearestIndexedSymbol(nullptr, 100, &name, &symbolAddress);
    EXPECT_STREQ(name, "kept");
    EXPECT_EQ(symbolAddress, 42u);
    EXPECT_EQ(mddl::indexedSymbolCount(nullptr), 0u);
}

}  // namespace
