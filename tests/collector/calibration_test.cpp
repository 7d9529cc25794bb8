// The counts a calibration reads, how it pairs them with windows, and the floor it keeps.
#include "collector/calibration.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

constexpr int64_t kNoon = 1765195200;  // 2025-12-08T12:00:00Z

struct CsvCase {
    const char* name;
    std::string text;
    std::vector<std::pair<int64_t, double>> counts;  // empty: refused with `reason`
    const char* reason;
};

const CsvCase kCsv[] = {
    {"EpochWithHeader",
     "time,people\n1765195200,3\n1765195500.75,4.5\n",
     {{kNoon, 3}, {kNoon + 300, 4.5}},
     ""},
    {"NoHeaderCrLf", "1765195200,3\r\n\r\n1765195500,0\r\n", {{kNoon, 3}, {kNoon + 300, 0}}, ""},
    {"IsoZones",
     "2025-12-08T12:00:00Z,1\n2025-12-08T13:00:00+01:00,2\n2025-12-08 12:00,3\n"
     "2025-12-08T11:30:00.5-0030,4\n2025-12-08T12:00:00,5\n",
     {{kNoon, 1}, {kNoon, 2}, {kNoon, 3}, {kNoon, 4}, {kNoon, 5}},
     ""},
    {"NegativePeople", "time,people\n1765195200,-1\n", {}, "line 2 is not"},
    {"ImpossibleDay", "2025-02-30T12:00:00Z,1\n", {}, "line 1 is not"},
    {"BadZone", "2025-12-08T12:00:00+25:00,1\n", {}, "line 1 is not"},
    {"NoPeople", "1765195200\n", {}, "line 1 is not"},
    {"HeaderOnly", "time,people\n", {}, "no counts"},
    {"SecondHeader", "time,people\ntime,people\n", {}, "line 2 is not"},
    {"TooLongNumber", "17651952000000,1\n", {}, "line 1 is not"},
};

class Csv : public testing::TestWithParam<CsvCase> {};

TEST_P(Csv, ReadsOrSaysWhichLine) {
    std::vector<PeopleCount> counts;
    std::string reason = parsePeopleCsv(GetParam().text, counts);
    if (GetParam().counts.empty()) {
        EXPECT_NE(reason.find(GetParam().reason), std::string::npos) << reason;
        return;
    }
    ASSERT_EQ(reason, "");
    ASSERT_EQ(counts.size(), GetParam().counts.size());
    for (std::size_t i = 0; i < counts.size(); ++i) {
        EXPECT_EQ(counts[i].at, GetParam().counts[i].first) << i;
        EXPECT_EQ(counts[i].people, GetParam().counts[i].second) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Calibration, Csv, testing::ValuesIn(kCsv),
                         [](const auto& info) { return std::string(info.param.name); });

// Windows of 300 s over `days` days from noon, 24 a day, window k hearing k % 5 devices at
// -60 dB and k % 3 at -80 dB.
std::vector<HeardWindow> windows(int days) {
    std::vector<HeardWindow> found;
    for (int d = 0; d < days; ++d) {
        for (int k = 0; k < 24; ++k) {
            HeardWindow w;
            w.at = kNoon + d * 86400 + k * 300;
            if (!found.empty()) w.start = found.back().at;
            w.records = 10;
            for (int i = 0; i < k % 5; ++i) w.signals.push_back(-60);
            for (int i = 0; i < k % 3; ++i) w.signals.push_back(-80);
            w.devices = static_cast<int64_t>(w.signals.size());
            found.push_back(w);
        }
    }
    return found;
}

// A count of people = 2 * near + 1 in the middle of every window but each day's first.
std::vector<PeopleCount> counts(const std::vector<HeardWindow>& ws) {
    std::vector<PeopleCount> found;
    for (std::size_t i = 0; i < ws.size(); ++i) {
        if (i % 24 == 0) continue;
        found.push_back({ws[i].at - 150, 2.0 * static_cast<double>((i % 24) % 5) + 1});
    }
    return found;
}

TEST(Calibrate, KeepsTheFloorThatPredictsTheHeldBackDays) {
    std::vector<HeardWindow> ws = windows(2);
    CalibrationResult result = calibrate(ws, counts(ws), 7);
    ASSERT_TRUE(result.calibration) << result.message;
    const Calibration& c = *result.calibration;
    EXPECT_TRUE(c.recount);
    EXPECT_EQ(c.floor, std::optional<int64_t>(-75));  // the first floor that leaves out -80 dB
    EXPECT_NEAR(c.a, 2, 1e-9);
    EXPECT_NEAR(c.b, 1, 1e-9);
    EXPECT_NEAR(c.r, 1, 1e-9);
    EXPECT_NEAR(c.error, 0, 1e-9);
    EXPECT_EQ(c.counts, 46);
    EXPECT_EQ(c.made, 7);
    EXPECT_EQ(result.outside, 0u);
    EXPECT_EQ(countAt(ws[4], c), 4);
    EXPECT_EQ(estimatePeople(c, 4), 9);
}

TEST(Calibrate, RefusesWhatCannotBeHeldBack) {
    std::vector<HeardWindow> ws = windows(2);
    std::vector<PeopleCount> all = counts(ws);
    struct Case {
        const char* name;
        std::vector<PeopleCount> counts;
        const char* message;
        std::size_t outside;
    };
    const Case cases[] = {
        {"Nineteen", {all.begin(), all.begin() + 19}, "too few counts: 19 fall", 0},
        {"OneDay", {all.begin(), all.begin() + 23}, "all counts fall on one day", 0},
        // Before the first document, in the day's first (long) window, after the last.
        {"Outside",
         {{kNoon - 10, 1}, {kNoon + 86400 - 10, 1}, {kNoon + 86400 + 24 * 300, 1}},
         "too few counts: 0 fall",
         3},
    };
    for (const Case& c : cases) {
        CalibrationResult result = calibrate(ws, c.counts, 0);
        EXPECT_FALSE(result.calibration) << c.name;
        EXPECT_NE(result.message.find(c.message), std::string::npos) << c.name;
        EXPECT_EQ(result.outside, c.outside) << c.name;
    }
}

TEST(Calibrate, WithoutRecordsFitsTheRoutersOwnCount) {
    std::vector<HeardWindow> ws = windows(2);
    for (HeardWindow& w : ws) {
        w.records = 0;
        w.devices = static_cast<int64_t>(w.signals.size()) / 2;
        w.signals.clear();
    }
    CalibrationResult result = calibrate(ws, counts(ws), 0);
    ASSERT_TRUE(result.calibration);
    EXPECT_FALSE(result.calibration->recount);
    EXPECT_EQ(floorText(*result.calibration), "the router's own");
    EXPECT_EQ(countAt(ws[4], *result.calibration), 2);
}

TEST(Calibrate, EstimatesNeverBelowZeroToOneDecimal) {
    Calibration c;
    c.a = 0.33;
    c.b = -1;
    EXPECT_EQ(estimatePeople(c, 0), 0);
    EXPECT_EQ(estimatePeople(c, 3), 0);
    EXPECT_EQ(estimatePeople(c, 10), 2.3);
    EXPECT_EQ(estimatePeople(c, 100), 32);
}

}  // namespace
