#include "table/signal_filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

// A 15-slot value list holding `members` and then zeros.
std::vector<int32_t> listOf(std::vector<int32_t> members) {
    members.resize(kHistorySlots, 0);
    return members;
}

std::vector<int32_t> membersOf(const std::vector<int32_t>& list) {
    return std::vector<int32_t>(list.begin(), list.begin() + memberCount(list.data()));
}

TEST(Sort, SortsAllFourteenMembersAndEndsInZero) {
    std::vector<int32_t> values = listOf({14, -1, 13, 2, 12, 3, 11, 4, 10, 5, 9, 6, 8, 7});
    std::vector<int32_t> sorted(kHistorySlots, 99);
    sort(values.data(), sorted.data());
    EXPECT_EQ(sorted, listOf({-1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}));
}

TEST(Sort, StopsAtTheFirstZero) {
    std::vector<int32_t> values = listOf({5, 3, 0, 1});
    std::vector<int32_t> sorted(kHistorySlots, 99);
    sort(values.data(), sorted.data());
    EXPECT_EQ(sorted, listOf({3, 5}));
}

struct MedianCase {
    std::vector<int32_t> members;
    int32_t median;
};

class Median : public ::testing::TestWithParam<MedianCase> {};

TEST_P(Median, FollowsTheOddAndEvenRules) {
    EXPECT_EQ(median(listOf(GetParam().members).data()), GetParam().median);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, Median,
    ::testing::Values(MedianCase{{-80, -70, -75}, -75}, MedianCase{{-71, -70}, -69},
                      MedianCase{{-72, -70}, -70}, MedianCase{{-2, 1}, 0},
                      MedianCase{{4, 5, 1, 2, 3, 6, 7, 8}, 4},
                      MedianCase{{-60, -60, -60, -60, -60, -60, -60, -60}, -59},
                      MedianCase{{-60, -60, -60, -60, -60, -60, -60, -90}, -59},
                      MedianCase{{INT32_MIN, INT32_MIN}, INT32_MIN + 1},
                      MedianCase{{INT32_MAX, INT32_MAX}, INT32_MAX}));

TEST(Statistics, MeanVarianceAndStddevArePopulationFigures) {
    std::vector<int32_t> list = listOf({1, 1, 1, 1, 3, 3, 3, 3});
    EXPECT_DOUBLE_EQ(mean(list.data()), 2.0);
    EXPECT_DOUBLE_EQ(variance(list.data()), 1.0);
    EXPECT_DOUBLE_EQ(stddev(list.data()), 1.0);
}

struct FilterCase {
    const char* name;
    std::vector<int32_t> members;
    std::vector<int32_t> kept;
};

const FilterCase kFilterCases[] = {
    {"seven_never_filtered", {1, 100, -100, 50, -50, 7, 9}, {1, 100, -100, 50, -50, 7, 9}},
    {"eight_equal_positive_kept", {5, 5, 5, 5, 5, 5, 5, 5}, {5, 5, 5, 5, 5, 5, 5, 5}},
    {"eight_equal_negative_removed", {-60, -60, -60, -60, -60, -60, -60, -60}, {}},
    {"nine_equal_negative_kept",
     {-60, -60, -60, -60, -60, -60, -60, -60, -60},
     {-60, -60, -60, -60, -60, -60, -60, -60, -60}},
    {"window_is_inclusive", {1, 3, 1, 3, 1, 3, 1, 3}, {1, 3, 1, 3, 1, 3, 1, 3}},
    {"outlier_removed",
     {-60, -60, -90, -60, -60, -60, -60, -60},
     {-60, -60, -60, -60, -60, -60, -60}},
    {"one_to_eight_keeps_order", {8, 1, 7, 2, 6, 3, 5, 4}, {2, 6, 3, 5, 4}},
    {"fourteen_members",
     {-70, -71, -69, -70, -70, -90, -70, -71, -69, -70, -50, -70, -70, -70},
     {-70, -71, -69, -70, -70, -70, -71, -69, -70, -70, -70, -70}},
};

class Filter : public ::testing::TestWithParam<FilterCase> {};

TEST_P(Filter, KeepsTheMembersInsideTheWindow) {
    std::vector<int32_t> list = listOf(GetParam().members);
    gaussFilter(list.data());
    EXPECT_EQ(membersOf(list), GetParam().kept);
    EXPECT_EQ(list[kHistorySlots - 1], 0);
    for (std::size_t i = GetParam().kept.size(); i < kHistorySlots; ++i) EXPECT_EQ(list[i], 0);
}

INSTANTIATE_TEST_SUITE_P(Lists, Filter, ::testing::ValuesIn(kFilterCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
