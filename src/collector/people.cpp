#include "collector/people.h"

#include <algorithm>
#include <map>
#include <unordered_map>

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

void addPeople(Store& store, const SeriesQuery& query, std::vector<Point>& points) {
    if (points.empty()) return;
    std::map<std::string, Calibration> calibrated;
    for (auto& [router, calibration] : store.calibrations()) {
        if (!query.router || *query.router == router) calibrated.emplace(router, calibration);
    }
    // The counts at each calibrated router's floor, by document time: read once per router.
    std::map<std::string, std::unordered_map<int64_t, int64_t>> recounts;
    for (auto& [router, calibration] : calibrated) {
        if (!calibration.recount) continue;
        std::unordered_map<int64_t, int64_t>& counts = recounts[router];
        for (const HeardWindow& w : store.heard(router, query.from, query.to)) {
            counts[w.at] = countAt(w, calibration);
        }
    }
    for (Point& p : points) {
        auto it = calibrated.find(p.router);
        if (it == calibrated.end()) continue;
        int64_t devices = p.devices;
        if (it->second.recount) {
            auto found = recounts[p.router].find(p.at);
            devices = found == recounts[p.router].end() ? 0 : found->second;
        }
        p.people = estimatePeople(it->second, devices);
    }
}
