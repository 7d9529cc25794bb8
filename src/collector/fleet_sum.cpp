#include "collector/fleet_sum.h"

void FleetSum::add(const Point& point) {
    int64_t bucket = point.at / step_;
    if (bucket != bucket_ && bucket_ >= 0) {
        sums_.push_back(pending_);
        if (sums_.size() > most_) {
            coarsen();
            bucket = point.at / step_;
            // The step now ending later, its last kept sum is made again when it ends.
            if (sums_.back().at / step_ == bucket) sums_.pop_back();
        }
    }
    bucket_ = bucket;
    auto [entry, added] = latest_.emplace(point.router, point.devices);
    total_ += added ? point.devices : point.devices - entry->second;
    entry->second = point.devices;
    pending_ = SumPoint{point.time, point.at, total_};
}

void FleetSum::coarsen() {
    step_ *= 2;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < sums_.size(); ++i) {
        bool lastOfStep = i + 1 == sums_.size() || sums_[i + 1].at / step_ != sums_[i].at / step_;
        if (lastOfStep) sums_[kept++] = std::move(sums_[i]);
    }
    sums_.resize(kept);
}

std::vector<SumPoint> FleetSum::finish() {
    if (bucket_ >= 0) sums_.push_back(pending_);
    bucket_ = -1;
    return std::move(sums_);
}

// The time is ours (checked on ingest), so nothing in it needs escaping.
std::string sumJson(const std::vector<SumPoint>& sums) {
    std::string text = "[";
    for (const SumPoint& s : sums) {
        if (text.size() > 1) text += ',';
        text += "{\"time\":\"" + s.time + "\",\"devices\":" + std::to_string(s.devices) + '}';
    }
    return text + ']';
}
