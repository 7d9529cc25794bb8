#pragma once
// From devices to people: a line fitted to a site's own counts of the people present, and the
// signal floor at which the stored records follow them best.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One count a person (or a door counter) made at the site.
struct PeopleCount {
    int64_t at = 0;  // seconds since the epoch
    double people = 0;
};

// The windows of one router's documents as the records tell them: for each document, the
// strongest signal of each distinct device (a record's "device"; its address when the document
// counts none) last heard in its window, from the second of the router's previous document to
// its own, both in (frames of a document's second mostly come after it, but a recording's last
// document takes the second of its last frame). At the router's own floor this is the
// document's "devices", give or take an address that moved to another group within the window:
// a record names its device only while that counts or was counted in its window.
struct HeardWindow {
    int64_t at = 0;
    std::optional<int64_t> start;  // the previous document's time; none for the first
    std::optional<int64_t> devices;
    int64_t records = 0;
    std::vector<int64_t> signals;
};

// The floor a calibration counts at: a recount of the records at `floor` (none: every record),
// or, for documents without records, the router's own "devices".
struct Calibration {
    int64_t made = 0;  // seconds since the epoch
    bool recount = true;
    std::optional<int64_t> floor;
    double a = 0;
    double b = 0;
    std::optional<double> r;  // none when the people counted never varied
    double error = 0;         // mean error in people on the held-back counts
    int64_t counts = 0;
};

// The floors a calibration tries: none, then -90 to -55 dB in steps of 5.
std::vector<std::optional<int64_t>> candidateFloors();

// Parses `text` (lines `time,people`, time in ISO 8601 or seconds since the epoch, a header line
// allowed) into `counts`; returns the reason it cannot (empty: parsed).
std::string parsePeopleCsv(const std::string& text, std::vector<PeopleCount>& counts);

// The window's device count at `calibration`'s floor.
int64_t countAt(const HeardWindow& window, const Calibration& calibration);

// The people `calibration` estimates for a window counting `devices`: never below 0, to one
// decimal.
double estimatePeople(const Calibration& calibration, int64_t devices);

// What calibrating gave: the calibration, or the one-line reason none was made.
struct CalibrationResult {
    std::optional<Calibration> calibration;
    std::string message;
    std::size_t outside = 0;  // counts in no window of the router's
};

// Pairs each count with the window (of `windows`, in time order) that holds it and fits the
// line, choosing the floor by the error on held-back days when the documents carry records.
CalibrationResult calibrate(const std::vector<HeardWindow>& windows,
                            const std::vector<PeopleCount>& counts, int64_t now);

// The one line that reports `result` for `router`.
std::string describe(const std::string& router, const CalibrationResult& result);

// "none" or the floor in dB; "the router's own" for a calibration without records.
std::string floorText(const Calibration& calibration);

// `seconds` since the epoch as the documents write times: 2024-01-31T12:00:00+00:00.
std::string timeText(int64_t seconds);
