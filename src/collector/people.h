#pragma once
// Calibration over the store: what `calibrate` and POST /api/calibration run, and the people
// estimated for the points of calibrated routers.

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "collector/store.h"

struct CalibrationAnswer {
    int status = 200;  // 200 stored; 400 a bad CSV; 404 no such router; 422 too few counts
    std::string text;  // one line
};

// Calibrates `router` on the counts of `csv` (`time,people` lines) at `now`, storing the
// calibration when one could be made.
CalibrationAnswer calibrateRouter(Store& store, const std::string& router, const std::string& csv,
                                  int64_t now);

// Removes `router`'s calibration.
CalibrationAnswer clearCalibration(Store& store, const std::string& router);

// The people of the points of a series query: the calibrations of its routers, and the
// recounts of the calibrated routers' windows at their floors for one batch of points at a time.
class PeopleEstimates {
public:
    PeopleEstimates(Store& store, const SeriesQuery& query);
    // True when some router of the query is calibrated.
    bool any() const { return !calibrated_.empty(); }
    // Reads the recounts of the windows of `points` (of the query, in time order), in place of
    // those read before.
    void read(Store& store, const std::vector<Point>& points);
    // The people of `point` (of the points read); nullopt when its router is not calibrated.
    std::optional<double> of(const Point& point) const;

private:
    std::map<std::string, Calibration> calibrated_;
    std::map<std::string, std::unordered_map<int64_t, int64_t>> recounts_;  // by document time
};

// Gives `each` the points of `query` in time order, until it returns false, with their people
// when `estimates` (of the same query) has calibrations: then in batches of about `batch`
// points, whole seconds each, so that one batch's points and recounts are all that is held.
void eachPointWithPeople(Store& store, const SeriesQuery& query, PeopleEstimates& estimates,
                         const std::function<bool(const Point&)>& each, std::size_t batch = 4096);
