#include "report/scheduler.h"

#include <gtest/gtest.h>

namespace {

struct DueCase {
    const char* name;
    uint32_t mark;
    uint32_t now;
    int interval;
    bool due;
};

class Due : public ::testing::TestWithParam<DueCase> {};

TEST_P(Due, ComparesTheSignedDifference) {
    uint32_t mark = GetParam().mark;
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
                      DueCase{"across_unsigned_wrap", 4294967290u, 5, 10, true},
                      DueCase{"huge_interval", 0, 4000000, 2147483647, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Due, ClockSetBackWaitsUntilTheOldMarkPlusTheInterval) {
    uint32_t mark = 100000;
    EXPECT_FALSE(isDue(100000 - 3600, mark, 10));
    EXPECT_FALSE(isDue(100009, mark, 10));
    EXPECT_TRUE(isDue(100010, mark, 10));
}

}  // namespace
