// The counts a calibration reads (the fit itself, its floor and its refusals are tested end to end
// in test_calibration.py).
#include "collector/calibration.h"

#include <gtest/gtest.h>

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

}  // namespace
