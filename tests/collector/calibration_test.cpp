// The counts a calibration reads, and the line fitted on counts that do not vary (the fit's floor
// and its refusals are tested end to end in test_calibration.py).
#include "collector/calibration.h"

#include <gtest/gtest.h>

#include <functional>

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

// Two days of 11 windows of 300 s, each counting `devices(k)`, with a count of `people(k)` in it.
struct FitCase {
    const char* name;
    std::function<int64_t(int)> devices;
    std::function<double(int)> people;
    const char* line;  // words of the line that describes the result
    double a, b;
    std::optional<double> r;  // when calibrated
};

const FitCase kFits[] = {
    {"DevicesNeverVariedIsRefused", [](int) { return 5; }, [](int) { return 3.0; },
     "not calibrated, the devices never varied", 0, 0, std::nullopt},
    {"PeopleNeverVariedIsFlatWithoutR", [](int k) { return k % 4 + 2; }, [](int) { return 2.7; },
     "people = 0 * devices + 2.7, r undefined (the people never varied)", 0, 2.7, std::nullopt},
    {"ALineIsFoundWithItsR", [](int k) { return k % 5; }, [](int k) { return 0.5 * (k % 5) + 1; },
     "people = 0.5 * devices + 1, r 1.000", 0.5, 1, 1.0},
};

class Fit : public testing::TestWithParam<FitCase> {};

TEST_P(Fit, GivesTheLineOrSaysWhyNot) {
    std::vector<HeardWindow> windows;
    std::vector<PeopleCount> counts;
    for (int k = 0; k < 22; ++k) {
        int64_t at = kNoon + k / 11 * 86400 + k % 11 * 300;
        windows.push_back(HeardWindow{at, at - 300, GetParam().devices(k), 0, {}});
        counts.push_back(PeopleCount{at - 150, GetParam().people(k)});
    }
    CalibrationResult result = calibrate(windows, counts, kNoon);
    EXPECT_NE(describe("north", result).find(GetParam().line), std::string::npos)
        << describe("north", result);
    if (std::string(GetParam().line).rfind("not calibrated", 0) == 0) {
        EXPECT_FALSE(result.calibration);
        return;
    }
    ASSERT_TRUE(result.calibration);
    EXPECT_NEAR(result.calibration->a, GetParam().a, 1e-12);
    EXPECT_NEAR(result.calibration->b, GetParam().b, 1e-12);
    EXPECT_EQ(result.calibration->r.has_value(), GetParam().r.has_value());
    if (GetParam().r) {
        EXPECT_NEAR(*result.calibration->r, *GetParam().r, 1e-12);
    }
}

INSTANTIATE_TEST_SUITE_P(Calibration, Fit, testing::ValuesIn(kFits),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
