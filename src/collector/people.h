#pragma once
// Calibration over the store: what `calibrate` and POST /api/calibration run, and the people
// estimated for the points of calibrated routers.

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

// The people of each point of a series query: the calibrations, and the recounts of the
// calibrated routers' windows at their floors, read once when made.
class PeopleEstimates {
public:
    PeopleEstimates(Store& store, const SeriesQuery& query);
    // The people of `point` (of the query); nullopt when its router is not calibrated.
    std::optional<double> of(const Point& point) const;

private:
    std::map<std::string, Calibration> calibrated_;
    std::map<std::string, std::unordered_map<int64_t, int64_t>> recounts_;  // by document time
};

// Sets "people" on the points (of `query`) of every calibrated router.
void addPeople(Store& store, const SeriesQuery& query, std::vector<Point>& points);
