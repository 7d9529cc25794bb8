#include "table/device_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fake_clock.h"
#include "support/reading.h"

namespace {

constexpr std::time_t kStart = 1700000000;

class Table : public ::testing::Test {
protected:
    // One reading through the capture loop's path: update, then prune.
    void read(const char* mac, int32_t signal, int32_t seconds) {
        ASSERT_EQ(updateEntryList(readingOf(mac, signal, seconds), list, 0), 0);
        cleanEntryList(list, maxAge, static_cast<uint32_t>(FakeClock::now));
    }
    const Entry& only() {
        EXPECT_EQ(list.entries.size(), 1u);
        return list.entries.front();
    }
    std::vector<std::string> macs() {
        std::vector<std::string> result;
        for (const Entry& e : list.entries) result.push_back(e.mac);
        return result;
    }
    std::vector<int32_t> history() {
        const Entry& e = only();
        return std::vector<int32_t>(e.history, e.history + memberCount(e.history));
    }

    FakeClock clock{kStart};
    EntryList list;
    int maxAge = 0;
};

TEST_F(Table, CountsReadingsAndSaturatesAtOneThousand) {
    for (int i = 0; i < 11; ++i) read("aa", -60, 100);
    EXPECT_EQ(only().count, 11u);
    for (int i = 11; i < 1005; ++i) {
        FakeClock::now = kStart + i;
        read("aa", -60, 100);
    }
    EXPECT_EQ(only().count, 1000u);
    EXPECT_EQ(only().firstSeen, kStart);
    EXPECT_EQ(only().lastSeen, kStart + 1004);
}

struct BurstCase {
    const char* name;
    std::vector<int32_t> times;  // capture seconds of successive -60.. readings
    std::size_t historyLength;
};

class Burst : public Table, public ::testing::WithParamInterface<BurstCase> {};

TEST_P(Burst, ReadingsWithinTwoSecondsExtendTheHistory) {
    std::vector<int32_t> newestFirst;
    int32_t signal = -50;
    for (int32_t time : GetParam().times) {
        read("aa", signal, time);
        newestFirst.insert(newestFirst.begin(), signal--);
    }
    newestFirst.resize(GetParam().historyLength);
    EXPECT_EQ(history(), newestFirst);
}

INSTANTIATE_TEST_SUITE_P(Times, Burst,
                         ::testing::Values(BurstCase{"ten_eleven_thirteen", {10, 11, 13}, 3},
                                           BurstCase{"then_sixteen_restarts", {10, 11, 13, 16}, 1},
                                           BurstCase{"same_second", {5, 5, 5}, 3},
                                           BurstCase{"two_seconds_continue", {10, 12}, 2},
                                           BurstCase{"three_seconds_restart", {10, 13}, 1},
                                           BurstCase{"midnight_restarts", {86399, 0}, 1},
                                           BurstCase{"earlier_time_restarts", {50, 49}, 1},
                                           BurstCase{"first_reading_near_midnight_zero", {1}, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Table, HistoryHoldsFourteenValues) {
    // Equal positive values pass the filter, so only the 14-value cap shows.
    for (int i = 0; i < 16; ++i) read("aa", 5, 7);
    EXPECT_EQ(history(), std::vector<int32_t>(14, 5));
}

TEST_F(Table, SignalIsTheMeanPlusHalfTruncated) {
    struct Step {
        int32_t signal;
        int32_t expected;
    };
    // -60 alone gives -59; with -61 the mean -60.5 gives -60; with -62 the mean -61 gives -60.
    const Step steps[] = {{-60, -59}, {-61, -60}, {-62, -60}, {70, -27}};
    for (const Step& step : steps) {
        read("aa", step.signal, 10);
        EXPECT_EQ(only().signal, step.expected) << step.signal;
    }
}

TEST_F(Table, EightEqualNegativesEmptyTheHistoryAndKeepTheSignal) {
    for (int i = 1; i <= 7; ++i) {
        read("aa", -60, 10);
        EXPECT_EQ(only().signal, -59);
    }
    read("aa", -60, 10);
    EXPECT_TRUE(history().empty());
    EXPECT_EQ(only().signal, -59);
    read("aa", -60, 10);
    EXPECT_EQ(history(), std::vector<int32_t>{-60});
    EXPECT_EQ(only().signal, -59);
}

TEST_F(Table, ZeroReadingHidesOlderValuesAndKeepsTheSignal) {
    read("aa", -40, 10);
    read("aa", 0, 10);
    EXPECT_TRUE(history().empty());
    EXPECT_EQ(only().signal, -39);
    read("aa", -80, 10);
    EXPECT_EQ(history(), std::vector<int32_t>{-80});
    EXPECT_EQ(only().signal, -79);
}

TEST_F(Table, NewDeviceWithoutSignalHasZero) {
    read("aa", 0, 10);
    EXPECT_EQ(only().signal, 0);
    EXPECT_EQ(only().count, 1u);
}

TEST_F(Table, AddressesAreExactTextInOrderOfFirstAppearance) {
    for (const char* mac : {"aa:bb", "AA:BB", "cc", "aa:bb", "dd"}) read(mac, -1, 0);
    EXPECT_EQ(macs(), (std::vector<std::string>{"aa:bb", "AA:BB", "cc", "dd"}));
    EXPECT_EQ(list.entries[0].count, 2u);
}

struct PruneCase {
    const char* name;
    int maxAge;
    std::time_t now;  // clock at the pruning reading
    std::vector<std::string> survivors;
};

class Prune : public Table, public ::testing::WithParamInterface<PruneCase> {};

// "old" is stamped at kStart, "mid" at kStart + 5, then "new" is read at `now`.
TEST_P(Prune, DropsRecordsAtOrBelowTheCutOff) {
    maxAge = 0;
    read("old", -1, 0);
    FakeClock::now = kStart + 5;
    read("mid", -1, 0);
    maxAge = GetParam().maxAge;
    FakeClock::now = GetParam().now;
    read("new", -1, 0);
    EXPECT_EQ(macs(), GetParam().survivors);
}

INSTANTIATE_TEST_SUITE_P(
    Ages, Prune,
    ::testing::Values(PruneCase{"disabled", 0, kStart + 1000, {"old", "mid", "new"}},
                      PruneCase{"record_at_cut_off_dropped", 10, kStart + 10, {"mid", "new"}},
                      PruneCase{"one_second_older_kept", 10, kStart + 9, {"old", "mid", "new"}},
                      PruneCase{"age_one_keeps_current_second", 1, kStart + 5, {"mid", "new"}},
                      PruneCase{"negative_empties_all", -1, kStart + 5, {}},
                      PruneCase{
                          "age_beyond_epoch_wraps", static_cast<int>(kStart + 100), kStart + 5, {}},
                      PruneCase{"int_max_wraps", 2147483647, kStart + 5, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Table, PrunedAddressComesBackAsAFreshRecord) {
    maxAge = 10;
    for (int i = 0; i < 3; ++i) read("aa", -60, 10);
    FakeClock::now = kStart + 20;
    read("bb", -1, 0);
    EXPECT_EQ(macs(), std::vector<std::string>{"bb"});
    read("aa", -70, 30);
    EXPECT_EQ(list.entries[1].count, 1u);
    EXPECT_EQ(list.entries[1].firstSeen, kStart + 20);
    EXPECT_EQ(list.entries[1].signal, -69);
}

TEST_F(Table, ClockSetBackAndForthStillPrunesExactly) {
    maxAge = 100;
    read("aa", -1, 0);
    FakeClock::now = kStart - 500;  // clock set back: "bb" is stamped long before "aa"
    read("bb", -1, 0);
    FakeClock::now = kStart + 50;
    read("cc", -1, 0);
    EXPECT_EQ(macs(), (std::vector<std::string>{"aa", "cc"}));
}

TEST_F(Table, LargeCullGivesMemoryBackAndTheIndexStillFindsEveryRecord) {
    maxAge = 10;
    for (int i = 0; i < 20000; ++i) read(("old" + std::to_string(i)).c_str(), -1, 0);
    std::size_t grown = list.entries.capacity();
    FakeClock::now = kStart + 5;
    for (int i = 0; i < 50; ++i) read(("new" + std::to_string(i)).c_str(), -1, 0);
    FakeClock::now = kStart + 10;
    read("new0", -2, 0);
    EXPECT_EQ(list.entries.size(), 50u);
    EXPECT_LT(list.entries.capacity(), grown / 4);
    for (int i = 0; i < 50; ++i) read(("new" + std::to_string(i)).c_str(), -1, 0);
    EXPECT_EQ(list.entries.size(), 50u);
    EXPECT_EQ(list.entries[0].count, 3u);
    EXPECT_EQ(list.entries[49].count, 2u);
}

TEST_F(Table, LongAddressTextIsCutToSeventeen) {
    read("0123456789abcdefXYZ", -1, 0);
    EXPECT_STREQ(only().mac, "0123456789abcdefX");
}

}  // namespace
