#include "collector/people.h"

#include <algorithm>

namespace {

constexpr int64_t kDay = 86400;

bool known(Store& store, const std::string& router) {
    std::vector<RouterState> states = store.routers();
    return std::any_of(states.begin(), states.end(),
                       [&](const RouterState& s) { return s.router == router; });
}

}  // namespace

CalibrationAnswer calibrateRouter(Store& store, const std::string& router, const std::string& csv,
                                  int64_t now) {
    std::vector<PeopleCount> counts;
    std::string reason = parsePeopleCsv(csv, counts);
    if (!reason.empty()) return {400, router + ": not calibrated, " + reason};
    if (!known(store, router)) return {404, router + ": no such router"};
    auto [first, last] =
        std::minmax_element(counts.begin(), counts.end(),
                            [](const PeopleCount& x, const PeopleCount& y) { return x.at < y.at; });
    // The window that holds the last count ends after it: a day's reach covers any usual one.
    int64_t to = last->at > INT64_MAX - kDay ? INT64_MAX : last->at + kDay;
    CalibrationResult result = calibrate(store.heard(router, first->at, to), counts, now);
    if (result.calibration) store.setCalibration(router, result.calibration);
    return {result.calibration ? 200 : 422, describe(router, result)};
}

CalibrationAnswer clearCalibration(Store& store, const std::string& router) {
    bool had = store.setCalibration(router, std::nullopt);
    return {200, router + (had ? ": calibration removed" : ": was not calibrated")};
}

PeopleEstimates::PeopleEstimates(Store& store, const SeriesQuery& query) {
    for (auto& [router, calibration] : store.calibrations()) {
        if (!query.router || *query.router == router) calibrated_.emplace(router, calibration);
    }
    for (auto& [router, calibration] : calibrated_) {
        if (!calibration.recount) continue;
        std::unordered_map<int64_t, int64_t>& counts = recounts_[router];
        for (const HeardWindow& w : store.heard(router, query.from, query.to)) {
            counts[w.at] = countAt(w, calibration);
        }
    }
}

std::optional<double> PeopleEstimates::of(const Point& point) const {
    auto it = calibrated_.find(point.router);
    if (it == calibrated_.end()) return std::nullopt;
    int64_t devices = point.devices;
    if (it->second.recount) {
        const std::unordered_map<int64_t, int64_t>& counts = recounts_.at(point.router);
        auto found = counts.find(point.at);
        devices = found == counts.end() ? 0 : found->second;
    }
    return estimatePeople(it->second, devices);
}

void addPeople(Store& store, const SeriesQuery& query, std::vector<Point>& points) {
    if (points.empty()) return;
    PeopleEstimates estimates(store, query);
    for (Point& p : points) p.people = estimates.of(p);
}
