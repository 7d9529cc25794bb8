#include "report/scheduler.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

#include "stop.h"
#include "support/fake_clock.h"
#include "support/reading.h"
#include "support/temp_dir.h"

namespace {

struct DueCase {
    const char* name;
    int64_t mark;
    int64_t now;
    int interval;
    bool due;
};

class Due : public ::testing::TestWithParam<DueCase> {};

TEST_P(Due, ComparesTheSignedDifference) {
    int64_t mark = GetParam().mark;
    EXPECT_EQ(isDue(GetParam().now, mark, GetParam().interval), GetParam().due);
    EXPECT_EQ(mark, GetParam().due ? GetParam().now : GetParam().mark);
}

INSTANTIATE_TEST_SUITE_P(
    Timers, Due,
    ::testing::Values(DueCase{"not_yet", 1000, 1009, 10, false},
                      DueCase{"exactly_interval", 1000, 1010, 10, true},
                      DueCase{"zero_interval_every_turn", 1000, 1000, 0, true},
                      DueCase{"negative_interval_every_turn", 1000, 1000, -5, true},
                      DueCase{"clock_set_back_an_hour", 1000000, 1000000 - 3600, 10, false},
                      DueCase{"clock_set_forward", 1000, 500000, 10, true},
                      DueCase{"past_two_to_the_32", 4294967290, 4294967300, 10, true},
                      DueCase{"not_yet_past_two_to_the_32", 4294967300, 4294967305, 10, false},
                      DueCase{"huge_interval", 0, 4000000, 2147483647, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Due, ClockSetBackWaitsUntilTheOldMarkPlusTheInterval) {
    int64_t mark = 100000;
    EXPECT_FALSE(isDue(100000 - 3600, mark, 10));
    EXPECT_FALSE(isDue(100009, mark, 10));
    EXPECT_TRUE(isDue(100010, mark, 10));
}

}  // namespace

// Turns of the report thread with the wall clock stepped: the timers follow the monotonic
// clock only, and with daily rotation the first turn past a UTC midnight closes the day.
struct StepCase {
    const char* name;
    long wallStep;       // added to the wall clock before the turn
    long monotonicStep;  // added to the monotonic clock before the turn
    bool daily;
    DueWork expected;
};

class Steps : public ::testing::TestWithParam<StepCase> {};

constexpr std::time_t kNoon = 1796644800;  // 2026-12-07T12:00:00Z

TEST_P(Steps, OnlyTheMonotonicClockPacesTheTimers) {
    FakeClock wall(kNoon);
    FakeMonotonicClock steady(5000);
    ReportTimers timers = startTimers();
    FakeClock::now += GetParam().wallStep;
    FakeMonotonicClock::now += GetParam().monotonicStep;
    DueWork work = dueWork(timers, 5, 10, GetParam().daily);
    EXPECT_EQ(work.closeDay, GetParam().expected.closeDay);
    EXPECT_EQ(work.console, GetParam().expected.console);
    EXPECT_EQ(work.upload, GetParam().expected.upload);
    if (work.upload || work.closeDay) {
        EXPECT_EQ(timers.uploadMark, 5000 + GetParam().monotonicStep);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Clocks, Steps,
    ::testing::Values(
        StepCase{"steady_not_yet", 4, 4, false, {false, false, false}},
        StepCase{"steady_console", 5, 5, false, {false, true, false}},
        StepCase{"steady_both", 10, 10, false, {false, true, true}},
        StepCase{"wall_back_an_hour", -3600, 10, false, {false, true, true}},
        StepCase{"wall_forward_an_hour", 3600, 1, false, {false, false, false}},
        StepCase{"midnight_closes_the_day", 12 * 3600, 1, true, {true, false, false}},
        StepCase{"midnight_without_rotation", 12 * 3600, 1, false, {false, false, false}},
        StepCase{"closing_takes_the_upload_turn", 12 * 3600, 10, true, {true, true, false}},
        StepCase{"same_day", 11 * 3600, 1, true, {false, false, false}},
        StepCase{"wall_back_across_midnight", -13 * 3600, 1, true, {false, false, false}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Steps, TheClosingDocumentIsStampedWithTheDaysLastSecond) {
    EXPECT_EQ(lastSecondOf(kNoon / 86400), kNoon + 12 * 3600 - 1);
}

namespace {

// A day's closing document that cannot be made (no temporary file for a long one) is tried
// again at most once a second of the machine's time however often the reports turn, as a
// recording turns them, and a wall clock stepped back leaves the table's day where it was.
struct ClosingCase {
    const char* name;
    long wallStep;     // after the failed try, added to the wall clock
    long machineStep;  // after the failed try, added to the machine's clock
    bool closes;       // the next turn, with a temporary file, closes the day
};

class Closing : public ::testing::TestWithParam<ClosingCase> {};

TEST_P(Closing, AFailedClosingWaitsForTheMachinesNextSecond) {
    SteadyFakeClocks clocks(kNoon);
    FakeMachineClock machine(100);
    TempDir backups;
    backups.write("writebackup", "");
    EntryList list;
    for (int i = 0; i < 2000; ++i) {
        updateEntryList(readingOf(("02:00:00:00:" + std::to_string(10000 + i)).c_str(), -50, 1),
                        list, 0);
    }
    ReportLoop loop = startReportLoop(list);
    loop.settings.backupDir = backups.path;
    loop.rotating = true;
    FakeClock::now += 12 * 3600;  // past midnight
    setenv("TMPDIR", "/nonexistent", 1);
    ::testing::internal::CaptureStdout();
    reportTurn(loop);
    unsetenv("TMPDIR");
    FakeClock::now += GetParam().wallStep;
    FakeMachineClock::now += GetParam().machineStep;
    reportTurn(loop);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(entryCount(list) == 0 || list.newDayAsked, GetParam().closes);
    EXPECT_EQ(loop.timers.day, kNoon / 86400 + (GetParam().closes ? 1 : 0));
}

INSTANTIATE_TEST_SUITE_P(Retries, Closing,
                         ::testing::Values(ClosingCase{"same_machine_second", 1, 0, false},
                                           ClosingCase{"next_machine_second", 1, 1, true},
                                           ClosingCase{"wall_back_before_midnight", -60, 1, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A stop that lands just before the last report of `exit_at_end` ends the process as its signal
// says: never status 0 for a document neither sent nor kept.
TEST(LastReport, AStopJustBeforeItEndsTheProcessBySignal) {
    TempDir backups;
    EXPECT_EXIT(
        {
            installSignalHandlers();
            raise(SIGTERM);
            EntryList list;
            ReportLoop loop = startReportLoop(list);
            loop.settings.backupDir = backups.path;
            requestLastReport(true);
            reportTurn(loop);
        },
        ::testing::KilledBySignal(SIGTERM), "");
}

}  // namespace
