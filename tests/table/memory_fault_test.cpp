// The table when memory runs out: this binary's allocator fails on demand, and every change
// must either succeed or leave the table as it was, never crash or leave it half changed.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "capture/capture_loop.h"
#include "log.h"
#include "report/scheduler.h"
#include "support/fake_clock.h"
#include "support/reading.h"
#include "table/device_table.h"

namespace {

// Allocations that succeed from now on, then how many fail (below 0: all); the tests here run
// on one thread.
std::atomic<long> allowance{0};
std::atomic<long> failures{0};

void* allocate(std::size_t size) {
    if (allowance > 0) {
        --allowance;
    } else if (failures != 0) {
        if (failures > 0) --failures;
        return nullptr;
    }
    return std::malloc(size ? size : 1);
}

void* allocateOrThrow(std::size_t size) {
    if (void* memory = allocate(size)) return memory;
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) {
    return allocateOrThrow(size);
}
void* operator new[](std::size_t size) {
    return allocateOrThrow(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete[](void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
    std::free(memory);
}

namespace {

std::string macOf(int i) {
    char text[18];
    std::snprintf(text, sizeof text, "02:00:00:%02x:%02x:%02x", (i >> 16) & 0xff, (i >> 8) & 0xff,
                  i & 0xff);
    return text;
}

// Every record once, as the reports see them, and each one found again by its address.
std::vector<std::string> consistentMacs(EntryList& list) {
    std::vector<std::string> macs;
    for (const Entry& entry : entriesOf(list)) macs.push_back(entry.mac);
    EXPECT_EQ(macs.size(), entryCount(list));
    return macs;
}

struct FaultCase {
    const char* name;
    int records;        // in the table before the fault
    int keptByPruning;  // records heard again just before a prune that drops the rest (-1: none)
    long allowance;     // allocations that succeed before the faults
    long failures;      // allocations that then fail (-1: all)
    bool linked;        // the table keeps device links beside its blocks
};

class MemoryFault : public ::testing::TestWithParam<FaultCase> {
protected:
    // Runs `change` with the allocator of the case (or failing all), then lets it be again.
    int underFault(int (*change)(EntryList&, const std::string&), EntryList& list,
                   const std::string& mac, bool allFail = false) {
        allowance = allFail ? 0 : GetParam().allowance;
        failures = allFail ? -1 : GetParam().failures;
        int result = change(list, mac);
        failures = 0;
        return result;
    }
    static int update(EntryList& list, const std::string& mac) {
        return updateEntryList(readingOf(mac.c_str(), -50, 2), list, 0);
    }
    static int prune(EntryList& list, const std::string&) {
        return cleanEntryList(list, 50, static_cast<uint32_t>(FakeClock::now));
    }
};

// Fills the table, then makes memory run out for one prune (or one new address), and checks
// that the table is whole, that existing addresses still count on the same record, and that it
// grows again once memory is back.
TEST_P(MemoryFault, LeavesTheTableWholeAndUsable) {
    SteadyFakeClocks clock(1700000000);
    EntryList list(0, GetParam().linked);
    for (int i = 0; i < GetParam().records; ++i) {
        ASSERT_EQ(updateEntryList(readingOf(macOf(i).c_str(), -50, 1), list, 0), 0);
    }
    std::vector<std::string> before = consistentMacs(list);
    if (GetParam().keptByPruning >= 0) {
        FakeClock::now += 100;
        for (int i = 0; i < GetParam().keptByPruning; ++i) {
            ASSERT_EQ(updateEntryList(readingOf(macOf(i).c_str(), -50, 1), list, 0), 0);
        }
        EXPECT_EQ(underFault(prune, list, ""), 0);
        before.resize(GetParam().keptByPruning);
        EXPECT_LT(entryCapacity(list), std::size_t(GetParam().records));
    } else {
        int result = underFault(update, list, "new");
        if (result == 0) before.push_back("new");
        EXPECT_TRUE(result == 0 || result == -1);
    }
    EXPECT_EQ(consistentMacs(list), before);
    if (!before.empty()) {  // a known address never gets a second record
        int result = underFault(update, list, before[0], true);
        EXPECT_TRUE(result == 0 || result == -1);
        EXPECT_EQ(consistentMacs(list), before);
    }
    ASSERT_EQ(updateEntryList(readingOf("after", -50, 1), list, 0), 0);
    before.push_back("after");
    EXPECT_EQ(consistentMacs(list), before);
}

constexpr int kFullBlock = static_cast<int>(kBlockRecords);

// A new address past a full block takes a slot in the list of blocks (and its links, in a table
// that keeps them), then a larger index:
// the first try, the try after the old index was let go, and getting the old one back.
INSTANTIATE_TEST_SUITE_P(
    Allocations, MemoryFault,
    ::testing::Values(FaultCase{"prune_handing_back_blocks", 5 * kFullBlock, 10, 0, -1, false},
                      FaultCase{"prune_to_nothing", 5 * kFullBlock, 0, 0, -1, false},
                      FaultCase{"prune_with_a_smaller_index", 5 * kFullBlock, 10, 1, -1, false},
                      FaultCase{"new_address_without_memory", 100, -1, 0, -1, false},
                      FaultCase{"new_block_listed", kFullBlock, -1, 0, -1, false},
                      FaultCase{"larger_index_second_try", kFullBlock, -1, 1, 1, false},
                      FaultCase{"larger_index_old_one_back", kFullBlock, -1, 1, 2, false},
                      FaultCase{"larger_index_lost", kFullBlock, -1, 1, -1, false},
                      FaultCase{"new_block_links", kFullBlock, -1, 0, -1, true},
                      FaultCase{"new_block_links_listed", kFullBlock, -1, 1, -1, true}),
    [](const auto& info) { return std::string(info.param.name); });

int uploads = 0;
CommandResult countUpload(const std::string&, int, const CommandFiles&) {
    ++uploads;
    return {CommandResult::kExited, 0};
}

struct ConsoleCase {
    long allowance;  // allocations that succeed before the faults
    long failures;   // allocations that then fail (-1: all)
    bool report;     // the report thread's table, before the document due, not the capture's
};

class ConsoleFault : public ::testing::TestWithParam<ConsoleCase> {};

// A console table whose text cannot be made costs one line, and the work goes on: at trace
// level 4 the capture loop's reading is counted; on the report thread the document due in the
// same turn goes.
TEST_P(ConsoleFault, TheWorkGoesOnAndOneLineSaysSo) {
    SteadyFakeClocks clock(1700000000);
    EntryList list;
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(updateEntryList(readingOf(macOf(i).c_str(), -50, 1), list, 0), 0);
    const CaptureSettings settings{kTraceTables, 0, 0, Privacy{}, {}, false};
    ReportLoop loop{&list, ReportSettings{}, ReportState{}, ReportTimers{}, 1, 1, true, false};
    loop.settings.endpoint = "http://127.0.0.1:9/";
    loop.state.run = countUpload;
    uploads = 0;
    const Reading again = readingOf(macOf(1).c_str(), -50, 2);
    FakeClock::now += 5;
    ::testing::internal::CaptureStdout();
    allowance = GetParam().allowance;
    failures = GetParam().failures;
    bool thrown = false;
    try {
        GetParam().report ? reportTurn(loop) : storeReading(again, list, settings);
    } catch (...) {
        thrown = true;
    }
    failures = 0;
    EXPECT_FALSE(thrown);
    std::string output = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(GetParam().report ? uploads : entriesOf(list).at(1).count, GetParam().report ? 1 : 2);
    const std::string line = "Console table not printed: std::bad_alloc\n";
    EXPECT_NE(output.find(line), std::string::npos);
    EXPECT_EQ(output.find(line), output.rfind(line));
}

INSTANTIATE_TEST_SUITE_P(Allocations, ConsoleFault,
                         ::testing::Values(ConsoleCase{0, -1, false}, ConsoleCase{2, -1, false},
                                           ConsoleCase{6, -1, false}, ConsoleCase{0, 1, true}));

}  // namespace
