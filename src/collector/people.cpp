#include "collector/people.h"

#include <algorithm>
#include <iterator>

namespace {

constexpr int64_t kDay = 86400;
// The longest span of counts a calibration reads: a quarter is well beyond a good set of counts
// (a week or two), and its records are read in about a second.
constexpr int64_t kMostCalibrationDays = 92;

bool known(Store& store, const std::string& router) {
    std::vector<RouterState> states = store.routers();
    return std::any_of(states.begin(), states.end(),
                       [&](const RouterState& s) { return s.router == router; });
}

// `router`'s windows of [from, to], read a day at a time: the store is held for one day's
// records at once, so ingest goes on between them.
std::vector<HeardWindow> heardByDay(Store& store, const std::string& router, int64_t from,
                                    int64_t to) {
    std::vector<HeardWindow> windows;
    for (int64_t start = from;; start += kDay) {
        int64_t end = to - start < kDay ? to : start + kDay - 1;
        std::vector<HeardWindow> day = store.heard(router, start, end);
        windows.insert(windows.end(), std::make_move_iterator(day.begin()),
                       std::make_move_iterator(day.end()));
        if (end == to) return windows;
    }
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
    if (last->at - first->at > kMostCalibrationDays * kDay) {
        return {422, router + ": not calibrated, the counts span " +
                         std::to_string((last->at - first->at + kDay - 1) / kDay) +
                         " days: counts of at most " + std::to_string(kMostCalibrationDays) +
                         " days are taken"};
    }
    // The window that holds the last count ends after it: a day's reach covers any usual one.
    int64_t to = last->at + kDay;
    CalibrationResult result = calibrate(heardByDay(store, router, first->at, to), counts, now);
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
}

void PeopleEstimates::read(Store& store, const std::vector<Point>& points) {
    recounts_.clear();
    std::map<std::string, std::pair<int64_t, int64_t>> spans;  // each router's first and last
    for (const Point& p : points) {
        auto it = calibrated_.find(p.router);
        if (it == calibrated_.end() || !it->second.recount) continue;
        auto [span, added] = spans.emplace(p.router, std::make_pair(p.at, p.at));
        if (!added) span->second.second = p.at;
    }
    for (auto& [router, span] : spans) {
        const Calibration& calibration = calibrated_.at(router);
        std::unordered_map<int64_t, int64_t>& counts = recounts_[router];
        for (const HeardWindow& w : store.heard(router, span.first, span.second)) {
            counts[w.at] = countAt(w, calibration);
        }
    }
}

std::optional<double> PeopleEstimates::of(const Point& point) const {
    auto it = calibrated_.find(point.router);
    if (it == calibrated_.end()) return std::nullopt;
    int64_t devices = point.devices;
    if (it->second.recount) {
        auto counts = recounts_.find(point.router);
        if (counts == recounts_.end()) return estimatePeople(it->second, 0);
        auto found = counts->second.find(point.at);
        devices = found == counts->second.end() ? 0 : found->second;
    }
    return estimatePeople(it->second, devices);
}

void eachPointWithPeople(Store& store, const SeriesQuery& query, PeopleEstimates& estimates,
                         const std::function<bool(const Point&)>& each, std::size_t batch) {
    if (!estimates.any()) return store.eachPoint(query, each);
    SeriesQuery part = query;
    part.limit = std::max<std::size_t>(batch, 1);
    std::vector<Point> points;
    for (bool more = part.from <= part.to; more;) {
        points.clear();
        store.eachPoint(part, [&](const Point& p) {
            points.push_back(p);
            return true;
        });
        more = points.size() == part.limit;
        if (more) {
            // The last second may have been cut short: it comes whole in the next batch, or
            // alone when it is all the batch holds.
            int64_t last = points.back().at;
            if (points.front().at == last) {
                SeriesQuery second = query;
                second.from = second.to = last;
                points.clear();
                store.eachPoint(second, [&](const Point& p) {
                    points.push_back(p);
                    return true;
                });
                more = last < part.to;
                if (more) part.from = last + 1;
            } else {
                while (points.back().at == last) points.pop_back();
                part.from = last;
            }
        }
        estimates.read(store, points);
        for (Point& p : points) {
            p.people = estimates.of(p);
            if (!each(p)) return;
        }
    }
}
