// The fleet's sum: the same as adding up every router's latest count at each time (the page's
// former way, quadratic), in one pass; and bounded in size by coarser steps.
#include "collector/fleet_sum.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

namespace {

Point point(const std::string& router, int64_t at, int64_t devices) {
    return Point{router, std::to_string(at), at, devices, {}, std::nullopt};
}

// At every distinct time, every router's latest count at or before it, added up.
std::vector<std::pair<int64_t, int64_t>> reference(const std::vector<Point>& points) {
    std::vector<std::pair<int64_t, int64_t>> sums;
    for (const Point& p : points) {
        if (!sums.empty() && sums.back().first == p.at) continue;
        std::map<std::string, int64_t> latest;
        for (const Point& q : points) {
            if (q.at <= p.at) latest[q.router] = q.devices;
        }
        int64_t total = 0;
        for (const auto& entry : latest) total += entry.second;
        sums.emplace_back(p.at, total);
    }
    return sums;
}

std::vector<std::pair<int64_t, int64_t>> summed(const std::vector<Point>& points, int64_t step,
                                                std::size_t most = 1000000) {
    FleetSum sum(step, most);
    for (const Point& p : points) sum.add(p);
    std::vector<std::pair<int64_t, int64_t>> sums;
    for (const SumPoint& s : sum.finish()) sums.emplace_back(std::stoll(s.time), s.devices);
    return sums;
}

using Sums = std::vector<std::pair<int64_t, int64_t>>;

TEST(FleetSum, CountsEachRoutersLatestOnce) {
    struct Case {
        const char* name;
        std::vector<Point> points;
        int64_t step;
        Sums sums;
    };
    const Case cases[] = {
        {"nothing", {}, 1, {}},
        {"steps keep each one's last sum",
         {point("a", 0, 1), point("b", 30, 2), point("a", 61, 5), point("b", 119, 0),
          point("a", 200, 1)},
         60,
         {{30, 3}, {119, 5}, {200, 1}}},
    };
    for (const Case& c : cases) EXPECT_EQ(summed(c.points, c.step), c.sums) << c.name;
}

TEST(FleetSum, MatchesTheQuadraticWayOnUnalignedClocks) {
    std::mt19937 random(7);
    std::vector<Point> points;
    for (int router = 0; router < 30; ++router) {
        int64_t at = random() % 60;
        for (int k = 0; k < 40; ++k, at += 50 + random() % 20) {
            points.push_back(point("r" + std::to_string(router), at, random() % 100));
        }
    }
    std::stable_sort(points.begin(), points.end(),
                     [](const Point& a, const Point& b) { return a.at < b.at; });
    EXPECT_EQ(summed(points, 1), reference(points));
}

TEST(FleetSum, CoarserStepsKeepItWithinItsSize) {
    std::vector<Point> points;
    for (int64_t at = 0; at < 10000; ++at) points.push_back(point("a", at, at));
    Sums sums = summed(points, 1, 100);
    EXPECT_LE(sums.size(), 100u);
    EXPECT_GE(sums.size(), 40u);
    EXPECT_EQ(sums.back(), std::make_pair(int64_t{9999}, int64_t{9999}));
    for (std::size_t i = 1; i < sums.size(); ++i) {
        EXPECT_LT(sums[i - 1].first, sums[i].first);
        EXPECT_EQ(sums[i].second, sums[i].first);  // each the sum as of its own time
    }
}

}  // namespace
