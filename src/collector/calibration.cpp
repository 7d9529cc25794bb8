#include "collector/calibration.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>

#include "collector/document.h"

namespace {

constexpr std::size_t kFewestCounts = 20;

std::string trim(const std::string& text) {
    std::size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos) return "";
    return text.substr(begin, text.find_last_not_of(" \t\r") + 1 - begin);
}

// Reads `digits` decimal digits of `text` at `at` into `value`; false when they are not there.
bool digitsAt(const std::string& text, std::size_t& at, std::size_t digits, int& value) {
    if (at + digits > text.size()) return false;
    value = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        char c = text[at + i];
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        value = value * 10 + (c - '0');
    }
    at += digits;
    return true;
}

bool charAt(const std::string& text, std::size_t& at, const char* allowed) {
    if (at >= text.size() || !std::strchr(allowed, text[at])) return false;
    ++at;
    return true;
}

// Seconds east of UTC of an ISO 8601 zone (Z, +HH, +HHMM, +HH:MM; none: UTC) at `at`, which
// must end the text; nullopt when it is not one.
std::optional<int64_t> zoneAt(const std::string& text, std::size_t at) {
    if (at == text.size()) return 0;
    if (text.substr(at) == "Z" || text.substr(at) == "z") return 0;
    char sign = text[at];
    if (!charAt(text, at, "+-")) return std::nullopt;
    int hours = 0, minutes = 0;
    if (!digitsAt(text, at, 2, hours)) return std::nullopt;
    if (at < text.size()) {
        charAt(text, at, ":");
        if (!digitsAt(text, at, 2, minutes) || at != text.size()) return std::nullopt;
    }
    if (hours > 23 || minutes > 59) return std::nullopt;
    int64_t offset = hours * 3600 + minutes * 60;
    return sign == '-' ? -offset : offset;
}

// Seconds since the epoch of an ISO 8601 date and time (YYYY-MM-DDTHH:MM[:SS[.fff]] and a
// zone, UTC without one; a space for the T allowed); nullopt when it is not one.
std::optional<int64_t> parseIso(const std::string& text) {
    std::size_t at = 0;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!digitsAt(text, at, 4, year) || !charAt(text, at, "-") || !digitsAt(text, at, 2, month) ||
        !charAt(text, at, "-") || !digitsAt(text, at, 2, day) || !charAt(text, at, "Tt ") ||
        !digitsAt(text, at, 2, hour) || !charAt(text, at, ":") || !digitsAt(text, at, 2, minute)) {
        return std::nullopt;
    }
    if (charAt(text, at, ":")) {
        if (!digitsAt(text, at, 2, second)) return std::nullopt;
        if (charAt(text, at, ".,")) {
            std::size_t digits = 0;
            while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) {
                ++at;
                ++digits;
            }
            if (!digits) return std::nullopt;
        }
    }
    std::optional<int64_t> zone = zoneAt(text, at);
    if (!zone || month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 || second > 60) {
        return std::nullopt;
    }
    std::tm parts{};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    int64_t seconds = timegm(&parts);
    if (parts.tm_mday != day) return std::nullopt;  // 31 April and the like
    return seconds - *zone;
}

// Seconds since the epoch of `text`: a whole or decimal number of seconds, or ISO 8601.
std::optional<int64_t> parseCountTime(const std::string& text) {
    if (text.empty()) return std::nullopt;
    std::size_t digits = std::min(text.find_first_not_of("0123456789"), text.size());
    if (digits > 0 && (digits == text.size() || text[digits] == '.')) {
        if (digits > 12) return std::nullopt;  // far past any clock
        if (digits < text.size()) {
            std::string fraction = text.substr(digits + 1);
            if (fraction.empty() || fraction.find_first_not_of("0123456789") != std::string::npos)
                return std::nullopt;
        }
        return std::strtoll(text.c_str(), nullptr, 10);
    }
    return parseIso(text);
}

std::optional<double> parsePeople(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos) {
        return std::nullopt;
    }
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(value) || value > 1e9) return std::nullopt;
    return value;
}

struct Line {
    double a = 0;
    double b = 0;
};

// The means and spreads of paired samples by Welford's updates: the spread of values that never
// vary is exactly zero, however many there are (summing x / n drifts, and a drift is a slope).
struct Spread {
    double n = 0, mx = 0, my = 0, sxx = 0, syy = 0, sxy = 0;

    Spread(const std::vector<double>& xs, const std::vector<double>& ys) {
        for (std::size_t i = 0; i < xs.size(); ++i) {
            n += 1;
            double dx = xs[i] - mx, dy = ys[i] - my;
            mx += dx / n;
            my += dy / n;
            sxx += dx * (xs[i] - mx);
            syy += dy * (ys[i] - my);
            sxy += dx * (ys[i] - my);
        }
    }
};

// The least-squares line y = a * x + b (flat at the mean when x does not vary).
Line fit(const std::vector<double>& xs, const std::vector<double>& ys) {
    Spread s(xs, ys);
    double a = s.sxx > 0 ? s.sxy / s.sxx : 0;
    return {a, s.my - a * s.mx};
}

// The correlation; none when either never varies.
std::optional<double> pearson(const std::vector<double>& xs, const std::vector<double>& ys) {
    Spread s(xs, ys);
    if (s.sxx <= 0 || s.syy <= 0) return std::nullopt;
    return s.sxy / std::sqrt(s.sxx * s.syy);
}

// A count paired with its window.
struct Pair {
    std::size_t window;
    double people;
    int64_t day;
};

// The usual length of a window: the median time between documents (0 when unknown).
int64_t usualWindow(const std::vector<HeardWindow>& windows) {
    std::vector<int64_t> lengths;
    for (const HeardWindow& w : windows) {
        if (w.start && w.at > *w.start) lengths.push_back(w.at - *w.start);
    }
    if (lengths.empty()) return 0;
    std::nth_element(lengths.begin(), lengths.begin() + lengths.size() / 2, lengths.end());
    return lengths[lengths.size() / 2];
}

// Each count's window: the one from the previous document to the one at or after the count.
// A window longer than twice the usual one (the router was away) holds no count.
std::vector<Pair> pair(const std::vector<HeardWindow>& windows,
                       const std::vector<PeopleCount>& counts) {
    int64_t usual = usualWindow(windows);
    std::vector<Pair> pairs;
    for (const PeopleCount& count : counts) {
        auto it = std::lower_bound(windows.begin(), windows.end(), count.at,
                                   [](const HeardWindow& w, int64_t at) { return w.at < at; });
        if (it == windows.end() || !it->start || *it->start >= count.at) continue;
        if (it->at - *it->start > 2 * usual) continue;
        pairs.push_back(
            {static_cast<std::size_t>(it - windows.begin()), count.people, dayOf(count.at)});
    }
    return pairs;
}

// The mean error in people when a line fitted on alternate days predicts the others, both
// ways round.
double heldBackError(const std::vector<double>& xs, const std::vector<Pair>& pairs) {
    std::set<int64_t> dayset;
    for (const Pair& p : pairs) dayset.insert(p.day);
    std::vector<int64_t> days(dayset.begin(), dayset.end());
    auto half = [&days](int64_t day) {
        return (std::lower_bound(days.begin(), days.end(), day) - days.begin()) % 2;
    };
    double total = 0;
    for (int held = 0; held < 2; ++held) {
        std::vector<double> fx, fy;
        for (std::size_t i = 0; i < pairs.size(); ++i) {
            if (half(pairs[i].day) != held) {
                fx.push_back(xs[i]);
                fy.push_back(pairs[i].people);
            }
        }
        Line line = fit(fx, fy);
        for (std::size_t i = 0; i < pairs.size(); ++i) {
            if (half(pairs[i].day) == held) {
                total += std::fabs(line.a * xs[i] + line.b - pairs[i].people);
            }
        }
    }
    return total / static_cast<double>(pairs.size());
}

std::string number(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

}  // namespace

std::vector<std::optional<int64_t>> candidateFloors() {
    std::vector<std::optional<int64_t>> floors{std::nullopt};
    for (int64_t floor = -90; floor <= -55; floor += 5) floors.push_back(floor);
    return floors;
}

std::string parsePeopleCsv(const std::string& text, std::vector<PeopleCount>& counts) {
    counts.clear();
    std::size_t begin = 0, number = 0;
    bool first = true;
    while (begin < text.size()) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        std::string line = trim(text.substr(begin, end - begin));
        begin = end + 1;
        ++number;
        if (line.empty()) continue;
        std::size_t comma = line.find(',');
        std::string time = trim(line.substr(0, comma));
        // A header names the columns: its first field starts with no digit.
        if (first && (time.empty() || !std::isdigit(static_cast<unsigned char>(time[0])))) {
            first = false;
            continue;
        }
        first = false;
        std::optional<int64_t> at = parseCountTime(time);
        std::optional<double> people =
            comma == std::string::npos ? std::nullopt : parsePeople(trim(line.substr(comma + 1)));
        if (!at || !people) {
            return "line " + std::to_string(number) +
                   " is not `time,people` (ISO 8601 or seconds since the epoch, a count)";
        }
        counts.push_back({*at, *people});
    }
    if (counts.empty()) return "no counts";
    return "";
}

int64_t countAt(const HeardWindow& window, const Calibration& calibration) {
    if (!calibration.recount) return window.devices.value_or(window.records);
    if (!calibration.floor) return static_cast<int64_t>(window.signals.size());
    return std::count_if(window.signals.begin(), window.signals.end(),
                         [&](int64_t signal) { return signal >= *calibration.floor; });
}

double estimatePeople(const Calibration& calibration, int64_t devices) {
    double people = calibration.a * static_cast<double>(devices) + calibration.b;
    return people > 0 ? std::round(people * 10) / 10 : 0;
}

CalibrationResult calibrate(const std::vector<HeardWindow>& windows,
                            const std::vector<PeopleCount>& counts, int64_t now) {
    CalibrationResult result;
    std::vector<Pair> pairs = pair(windows, counts);
    result.outside = counts.size() - pairs.size();
    if (pairs.size() < kFewestCounts) {
        result.message = "too few counts: " + std::to_string(pairs.size()) +
                         " fall in the router's windows, at least " +
                         std::to_string(kFewestCounts) + " are needed";
        return result;
    }
    if (std::all_of(pairs.begin(), pairs.end(),
                    [&](const Pair& p) { return p.day == pairs.front().day; })) {
        result.message = "all counts fall on one day: counts of at least two days are needed";
        return result;
    }
    Calibration best;
    best.made = now;
    best.recount = std::any_of(pairs.begin(), pairs.end(),
                               [&](const Pair& p) { return windows[p.window].records > 0; });
    std::vector<std::optional<int64_t>> floors =
        best.recount ? candidateFloors() : std::vector<std::optional<int64_t>>{std::nullopt};
    std::vector<double> ys;
    for (const Pair& p : pairs) ys.push_back(p.people);
    bool found = false;
    for (const std::optional<int64_t>& floor : floors) {
        Calibration trial = best;
        trial.floor = floor;
        std::vector<double> xs;
        for (const Pair& p : pairs) {
            xs.push_back(static_cast<double>(countAt(windows[p.window], trial)));
        }
        // A count that never varies tells nothing of how the people follow it.
        if (Spread(xs, ys).sxx <= 0) continue;
        trial.error = heldBackError(xs, pairs);
        if (found && trial.error >= best.error) continue;
        Line line = fit(xs, ys);
        trial.a = line.a;
        trial.b = line.b;
        trial.r = pearson(xs, ys);
        best = trial;
        found = true;
    }
    if (!found) {
        result.message =
            "the devices never varied in the counts' windows: counts of the room"
            " fuller and emptier are needed";
        return result;
    }
    best.counts = static_cast<int64_t>(pairs.size());
    result.calibration = best;
    return result;
}

std::string floorText(const Calibration& calibration) {
    if (!calibration.recount) return "the router's own";
    return calibration.floor ? std::to_string(*calibration.floor) + " dB" : "none";
}

std::string describe(const std::string& router, const CalibrationResult& result) {
    std::string outside = std::to_string(result.outside) + " outside every window";
    if (!result.calibration) {
        return router + ": not calibrated, " + result.message + " (" + outside + ")";
    }
    const Calibration& c = *result.calibration;
    return router + ": calibrated, floor " + floorText(c) + ", people = " + number("%.4g", c.a) +
           " * devices " + (c.b < 0 ? "- " : "+ ") + number("%.4g", std::fabs(c.b)) + ", r " +
           (c.r ? number("%.3f", *c.r) : "undefined (the people never varied)") + ", error " +
           number("%.2f", c.error) + " people on held-back counts, " + std::to_string(c.counts) +
           " counts used, " + outside;
}

std::string timeText(int64_t seconds) {
    std::time_t time = static_cast<std::time_t>(seconds);
    std::tm parts{};
    gmtime_r(&time, &parts);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S+00:00", &parts);
    return text;
}
