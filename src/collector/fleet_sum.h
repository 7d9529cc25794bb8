#pragma once
// The page's "all routers" line: at each time, every router's latest count added up, made in
// one pass over the points in time order whatever the routers' clocks.

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "collector/store.h"

struct SumPoint {
    std::string time;  // the time of the last point it counts
    int64_t at = 0;    // the same in seconds
    int64_t devices = 0;
};

class FleetSum {
public:
    // One sum per `step` seconds (at least 1): the one after the step's last point. When there
    // would be more than `most` sums, the step doubles (as often as needed).
    FleetSum(int64_t step, std::size_t most) : step_(step < 1 ? 1 : step), most_(most) {}
    // Counts `point`, which is not before any point counted so far.
    void add(const Point& point);
    // The sums, in time order.
    std::vector<SumPoint> finish();

private:
    // Doubles the step and keeps the last sum of each new step.
    void coarsen();

    int64_t step_;
    std::size_t most_;
    std::unordered_map<std::string, int64_t> latest_;
    int64_t total_ = 0;
    int64_t bucket_ = -1;
    SumPoint pending_;
    std::vector<SumPoint> sums_;
};

// A JSON text of the sums: [{"time":"...","devices":N},...].
std::string sumJson(const std::vector<SumPoint>& sums);
