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
    Entry only() {
        std::vector<Entry> entries = entriesOf(list);
        EXPECT_EQ(entries.size(), 1u);
        return entries.empty() ? Entry{} : entries.front();
    }
    Entry at(std::size_t i) { return entriesOf(list).at(i); }
    std::vector<std::string> macs() {
        std::vector<std::string> result;
        for (const Entry& e : entriesOf(list)) result.push_back(e.mac);
        return result;
    }
    std::vector<int32_t> history() {
        Entry e = only();
        return std::vector<int32_t>(e.history, e.history + memberCount(e.history));
    }

    SteadyFakeClocks clock{kStart};
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
    EXPECT_EQ(at(0).count, 2u);
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
                      PruneCase{"age_beyond_the_clocks_start_keeps_all",
                                static_cast<int>(kStart + 100),
                                kStart + 5,
                                {"old", "mid", "new"}},
                      PruneCase{
                          "int_max_keeps_all", 2147483647, kStart + 5, {"old", "mid", "new"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Table, PrunedAddressComesBackAsAFreshRecord) {
    maxAge = 10;
    for (int i = 0; i < 3; ++i) read("aa", -60, 10);
    FakeClock::now = kStart + 20;
    read("bb", -1, 0);
    EXPECT_EQ(macs(), std::vector<std::string>{"bb"});
    read("aa", -70, 30);
    EXPECT_EQ(at(1).count, 1u);
    EXPECT_EQ(at(1).firstSeen, kStart + 20);
    EXPECT_EQ(at(1).signal, -69);
}

// Each record goes at its own time, whichever was the oldest when the table was last pruned.
TEST_F(Table, RecordsHeardAgainOrAddedAfterAPruningGoAtTheirOwnTime) {
    maxAge = 10;
    read("aa", -1, 0);
    FakeClock::now = kStart + 2;
    read("bb", -1, 0);
    FakeClock::now = kStart + 9;
    read("aa", -1, 0);  // the oldest heard again
    const std::vector<std::pair<std::time_t, std::vector<std::string>>> steps = {
        {kStart + 11, {"aa", "bb"}},
        {kStart + 12, {"aa"}},
        {kStart + 19, {}},
    };
    for (const auto& step : steps) {
        FakeClock::now = step.first;
        cleanEntryList(list, maxAge, static_cast<uint32_t>(FakeClock::now));
        EXPECT_EQ(macs(), step.second) << step.first - kStart;
    }
    FakeClock::now = kStart + 30;
    read("cc", -1, 0);  // into the emptied table
    FakeClock::now = kStart + 39;
    read("dd", -1, 0);
    FakeClock::now = kStart + 40;
    cleanEntryList(list, maxAge, static_cast<uint32_t>(FakeClock::now));
    EXPECT_EQ(macs(), std::vector<std::string>{"dd"});
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

struct StepCase {
    const char* name;
    std::time_t wallStep;  // the wall clock's step between the two readings, beyond `steady`
    std::time_t steady;    // seconds the monotonic clock runs between them
    std::vector<std::string> kept;
};

class ClockStep : public ::testing::TestWithParam<StepCase> {};

// "old" is heard, the clocks move, "new" is heard and the table pruned with an age of 100:
// only the monotonic clock decides, and the wall clock still stamps the times written.
TEST_P(ClockStep, AgesFollowTheMonotonicClockAndStampsTheWallClock) {
    FakeClock wall(kStart);
    FakeMonotonicClock steady(5000);
    EntryList list;
    auto hear = [&](const char* mac) {
        ASSERT_EQ(updateEntryList(readingOf(mac, -50, 0), list, 0), 0);
        cleanEntryList(list, 100, static_cast<uint32_t>(FakeMonotonicClock::now));
    };
    hear("old");
    FakeMonotonicClock::now += GetParam().steady;
    FakeClock::now += GetParam().steady + GetParam().wallStep;
    hear("new");
    std::vector<std::string> kept;
    for (const Entry& e : entriesOf(list)) kept.push_back(e.mac);
    EXPECT_EQ(kept, GetParam().kept);
    EXPECT_EQ(entriesOf(list).back().lastSeen, static_cast<uint32_t>(FakeClock::now));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ClockStep,
    ::testing::Values(StepCase{"steady_young_kept", 0, 99, {"old", "new"}},
                      StepCase{"steady_at_age_dropped", 0, 100, {"new"}},
                      StepCase{"forward_by_hours_keeps", 6 * 3600, 50, {"old", "new"}},
                      StepCase{"back_by_hours_still_drops", -6 * 3600, 150, {"new"}},
                      StepCase{"back_before_the_first_keeps", -6 * 3600, 50, {"old", "new"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Table, LargeCullGivesMemoryBackAndTheIndexStillFindsEveryRecord) {
    maxAge = 10;
    for (int i = 0; i < 100000; ++i) read(("old" + std::to_string(i)).c_str(), -1, 0);
    std::size_t grown = entryCapacity(list);
    FakeClock::now = kStart + 5;
    for (int i = 0; i < 50; ++i) read(("new" + std::to_string(i)).c_str(), -1, 0);
    FakeClock::now = kStart + 10;
    read("new0", -2, 0);
    EXPECT_EQ(entryCount(list), 50u);
    EXPECT_LT(entryCapacity(list), grown / 4);
    for (int i = 0; i < 50; ++i) read(("new" + std::to_string(i)).c_str(), -1, 0);
    EXPECT_EQ(entryCount(list), 50u);
    EXPECT_EQ(at(0).count, 3u);
    EXPECT_EQ(at(49).count, 2u);
}

struct CapCase {
    const char* name;
    std::vector<std::string> heard;  // addresses in the order they are read
    std::vector<std::string> kept;   // the table afterwards, in order of first appearance
};

class Cap : public Table, public ::testing::WithParamInterface<CapCase> {};

// With a cap of three, a new address replaces the record heard least recently.
TEST_P(Cap, DropsTheRecordHeardLeastRecently) {
    EntryList capped(3);
    for (const std::string& mac : GetParam().heard) {
        ASSERT_EQ(updateEntryList(readingOf(mac.c_str(), -50, 0), capped, 0), 0);
    }
    std::vector<std::string> kept;
    for (const Entry& e : entriesOf(capped)) kept.push_back(e.mac);
    EXPECT_EQ(kept, GetParam().kept);
}

INSTANTIATE_TEST_SUITE_P(
    Orders, Cap,
    ::testing::Values(
        CapCase{"below_the_cap", {"a", "b", "c"}, {"a", "b", "c"}},
        CapCase{"oldest_goes", {"a", "b", "c", "d"}, {"b", "c", "d"}},
        CapCase{"heard_again_stays", {"a", "b", "c", "a", "d"}, {"a", "c", "d"}},
        CapCase{"middle_goes_order_kept", {"a", "b", "c", "a", "c", "d"}, {"a", "c", "d"}},
        CapCase{"newest_heard_first", {"a", "b", "c", "c", "b", "a", "d", "e"}, {"a", "d", "e"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Table, ReplacedRecordsKeepTheirContent) {
    EntryList capped(2);
    for (int i = 0; i < 3; ++i) updateEntryList(readingOf("a", -40, i), capped, 0);
    FakeClock::now = kStart + 7;
    updateEntryList(readingOf("b", -50, 10), capped, 0);
    updateEntryList(readingOf("a", -40, 3), capped, 0);
    updateEntryList(readingOf("c", -60, 11), capped, 0);  // "b" is the least recent
    std::vector<Entry> entries = entriesOf(capped);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_STREQ(entries[0].mac, "a");
    EXPECT_EQ(entries[0].count, 4u);
    EXPECT_EQ(entries[0].firstSeen, kStart);
    EXPECT_STREQ(entries[1].mac, "c");
    EXPECT_EQ(entries[1].count, 1u);
}

// Each record keeps its address's device link: a known address stays in its group, and a new
// address in the node of one replaced is linked anew, not into the group of the one before.
TEST_F(Table, RecordsKeepTheirAddressLinkAndANodeTakenAgainStartsUnlinked) {
    EntryList capped(1, true);
    DeviceLinker linker;
    auto deviceOf = [&](const char* mac, uint8_t last, uint8_t kind) {
        uint8_t elements[] = {1, 1, kind};
        ProbeFacts probe;
        probe.elements = elements;
        probe.elementsLength = sizeof elements;
        const LinkInput frame{{0x02, 0, 0, 0, 0, last}, 1000, -50, &probe, false};
        const Linking linking{linker, frame};
        EXPECT_EQ(updateEntryList(readingOf(mac, -50, 0), capped, 0, &linking), 0);
        return entriesOf(capped).at(0).device[5];
    };
    EXPECT_EQ(deviceOf("a", 1, 1), 1);
    EXPECT_EQ(deviceOf("b", 2, 2), 2);  // takes the node of "a"; another kind: another device
    EXPECT_EQ(deviceOf("b", 2, 1), 2);  // known: it stays, whatever it sends
}

// Walks say which records' groups count: not an access point's, nor a group of random addresses
// before its fifth frame, then every address of it, the ones heard before that too.
TEST_F(Table, WalksMarkTheRecordsWhoseGroupCounts) {
    EntryList linked(0, true);
    DeviceLinker linker;
    uint8_t elements[] = {1, 1, 2};
    ProbeFacts probe;
    probe.elements = elements;
    probe.elementsLength = sizeof elements;
    struct Heard {
        const char* mac;
        uint8_t first, last;  // of the address
        bool probes, accessPoint;
        std::vector<bool> counted;  // records in order of first appearance, after this frame
    };
    const Heard frames[] = {
        {"ap", 0x00, 1, false, true, {false}},
        {"own", 0x00, 2, false, false, {false, true}},
        {"r1", 0x02, 3, true, false, {false, true, false}},
        {"r1", 0x02, 3, true, false, {false, true, false}},
        {"r2", 0x02, 4, true, false, {false, true, false, false}},
        {"r2", 0x02, 4, true, false, {false, true, false, false}},
        {"r2", 0x02, 4, true, false, {false, true, true, true}},  // the fifth frame
    };
    for (const Heard& f : frames) {
        const LinkInput frame{
            {f.first, 0, 0, 0, 0, f.last}, 1000, -50, f.probes ? &probe : nullptr, f.accessPoint};
        const Linking linking{linker, frame};
        ASSERT_EQ(updateEntryList(readingOf(f.mac, -50, 0), linked, 0, &linking), 0);
        std::vector<bool> visited, sliced;
        for (const Entry& e : entriesOf(linked)) visited.push_back(e.counted);
        std::vector<Entry> slice;
        beginWalk(linked);
        while (nextSlice(linked, slice)) {
            for (const Entry& e : slice) sliced.push_back(e.counted);
        }
        EXPECT_EQ(visited, f.counted) << f.mac;
        EXPECT_EQ(sliced, f.counted) << f.mac;
    }
}

TEST_F(Table, RecencyStaysRightWhenPruningDropsRecords) {
    EntryList capped(3);
    auto heard = [&](const char* mac, std::time_t at) {
        FakeClock::now = at;
        ASSERT_EQ(updateEntryList(readingOf(mac, -50, 0), capped, 0), 0);
        cleanEntryList(capped, 10, static_cast<uint32_t>(at));
    };
    heard("a", kStart);
    heard("b", kStart + 1);
    heard("c", kStart + 8);
    heard("c", kStart + 11);  // prunes "a" and "b"
    heard("d", kStart + 12);
    heard("e", kStart + 12);
    heard("f", kStart + 13);  // full again: "c" is the least recent
    std::vector<std::string> kept;
    for (const Entry& e : entriesOf(capped)) kept.push_back(e.mac);
    EXPECT_EQ(kept, (std::vector<std::string>{"d", "e", "f"}));
}

TEST_F(Table, LongAddressTextIsCutToSeventeen) {
    read("0123456789abcdefXYZ", -1, 0);
    EXPECT_STREQ(only().mac, "0123456789abcdefX");
}

}  // namespace

namespace {

TEST_F(Table, TheDaysLastWalkEmptiesTheTableForReadersAndTheWriterStartsAfresh) {
    maxAge = 100;
    read("aa", -60, 10);
    read("bb", -60, 10);
    std::vector<std::string> closing;
    visitEntries(
        list, [&](const Entry& e) { closing.push_back(e.mac); }, AfterWalk::kNewDay);
    EXPECT_EQ(closing, (std::vector<std::string>{"aa", "bb"}));
    EXPECT_TRUE(macs().empty());
    EXPECT_EQ(entryCount(list), 0u);
    FakeClock::now += 5;
    read("bb", -50, 20);
    EXPECT_EQ(macs(), std::vector<std::string>{"bb"});
    EXPECT_EQ(only().count, 1u);
    EXPECT_EQ(only().firstSeen, kStart + 5);
    EXPECT_EQ(entryCapacity(list), kBlockRecords);
}

// The addresses of the next slice of the walk, at most `kWalkSlice`.
std::vector<std::string> sliceMacs(const EntryList& list) {
    std::vector<Entry> slice;
    slice.reserve(kWalkSlice);
    std::vector<std::string> macs;
    if (nextSlice(list, slice)) {
        for (const Entry& entry : slice) macs.push_back(entry.mac);
    }
    return macs;
}

// `count` addresses "<prefix><n>" heard once each.
void hear(EntryList& list, const char* prefix, std::size_t count, std::size_t skip = SIZE_MAX) {
    for (std::size_t i = 0; i < count; ++i) {
        if (i != skip)
            updateEntryList(readingOf((prefix + std::to_string(i)).c_str(), -50, 1), list, 0);
    }
}

TEST(Walk, StepsOverARecordDroppedWhereItStandsAndLeavesOutNewOnes) {
    SteadyFakeClocks clock(1000);
    EntryList list;
    hear(list, "m", kWalkSlice + 2);
    beginWalk(list);
    ASSERT_EQ(sliceMacs(list).size(), kWalkSlice);
    FakeClock::now = 1100;
    hear(list, "m", kWalkSlice + 2, kWalkSlice);  // all but the one the walk stands on
    hear(list, "new", 1);
    cleanEntryList(list, 50, 1100);
    EXPECT_EQ(sliceMacs(list), std::vector<std::string>{"m" + std::to_string(kWalkSlice + 1)});
    EXPECT_TRUE(sliceMacs(list).empty());
}

TEST(Walk, EndsWhenTheRestOfItsRecordsAreDropped) {
    SteadyFakeClocks clock(1000);
    EntryList list(kWalkSlice + 2);  // with a cap, every new address drops the least recent
    hear(list, "m", kWalkSlice + 2);
    beginWalk(list);
    ASSERT_EQ(sliceMacs(list).size(), kWalkSlice);
    hear(list, "n", kWalkSlice + 2);
    EXPECT_TRUE(sliceMacs(list).empty());
}

}  // namespace

namespace {

constexpr int64_t kNanoseconds = 1000000000;

timespec readingAt(int64_t nanoseconds) {
    return {static_cast<std::time_t>(nanoseconds / kNanoseconds),
            static_cast<long>(nanoseconds % kNanoseconds)};
}

struct SecondCase {
    const char* name;
    int maxAge;
    int64_t heardMs;   // after the start of a wall-clock second
    int64_t prunedMs;  // after the same
    bool kept;
};

class WallSeconds : public ::testing::TestWithParam<SecondCase> {};

// A record is heard and the table pruned as the capture loop does, the monotonic clock counted as
// the daemon counts it (its seconds aligned at the start with the wall clock's, which begin 600 ms
// into its own): a record whose lastSeen is within `max_entry_age` of the wall clock's second at
// the pass stays, one at the cut-off goes.
TEST_P(WallSeconds, AgesCountTheSecondsLastSeenShows) {
    const int64_t wallStart = kStart * kNanoseconds;
    const int64_t monotonicStart = 5000 * kNanoseconds + 400000000;
    const long alignment = secondsAlignment(readingAt(wallStart), readingAt(monotonicStart));
    FakeClock wall(0);
    FakeMonotonicClock monotonic(0);
    const auto at = [&](int64_t milliseconds) {
        const int64_t instant = 100 * kNanoseconds + milliseconds * 1000000;
        FakeClock::now = readingAt(wallStart + instant).tv_sec;
        FakeMonotonicClock::now = alignedSeconds(readingAt(monotonicStart + instant), alignment);
    };
    EntryList list;
    at(GetParam().heardMs);
    ASSERT_EQ(updateEntryList(readingOf("aa", -50, 0), list, 0), 0);
    at(GetParam().prunedMs);
    cleanEntryList(list, GetParam().maxAge, static_cast<uint32_t>(monotonicClock()));
    EXPECT_EQ(entryCount(list), GetParam().kept ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Prunes, WallSeconds,
    ::testing::Values(SecondCase{"age_1_same_second_across_the_monotonic_edge", 1, 100, 950, true},
                      SecondCase{"age_1_same_second_at_its_end", 1, 999, 999, true},
                      SecondCase{"age_1_at_the_cutoff", 1, 100, 1000, false},
                      SecondCase{"age_1_heard_at_its_end_at_the_cutoff", 1, 999, 1000, false},
                      SecondCase{"age_2_next_second", 2, 550, 1999, true},
                      SecondCase{"age_2_at_the_cutoff", 2, 999, 2000, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
