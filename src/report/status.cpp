#include "report/status.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>

#include "clock.h"
#include "log.h"
#include "report/dates.h"
#include "report/document.h"
#include "report/files.h"

namespace {

std::time_t systemTime() {
    return std::time(nullptr);
}

// Room for a JSON value of ours that is a date, a number, a truth or null.
constexpr std::size_t kValueRoom = 48;
using Value = char[kValueRoom];

// `time` as a JSON string in `out`, or null when there is none.
const char* dateOrNull(Value& out, bool present, std::time_t time) {
    if (!present) return "null";
    out[0] = '"';
    dateJSON(out + 1, kValueRoom - 2, time);
    return std::strcat(out, "\"");
}

const char* numberOrNull(Value& out, bool present, uint64_t value) {
    if (!present) return "null";
    std::snprintf(out, kValueRoom, "%llu", static_cast<unsigned long long>(value));
    return out;
}

const char* truthOrNull(bool present, bool value) {
    return present ? (value ? "true" : "false") : "null";
}

std::string quoted(const char* text) {
    std::string out = "\"";
    appendJsonText(out, text);
    return out + '"';
}

// Keeps a window in the ring, the oldest going when it is full; counts past 32 bits are kept at
// the largest value.
void keepWindow(WindowHistory& history, std::time_t end, std::optional<uint32_t> devices,
                uint64_t addresses) {
    const std::size_t windows = history.ring.size() / kWindowWords;
    if (windows == 0) return;
    const uint64_t most = kNoDevices - 1;
    uint32_t* window = &history.ring[history.next * kWindowWords];
    window[0] = static_cast<uint32_t>(end);
    window[1] = static_cast<uint32_t>(std::min(addresses, most));
    window[2] = devices ? std::min<uint32_t>(*devices, most) : kNoDevices;
    history.next = (history.next + 1) % windows;
    history.count = std::min(history.count + 1, windows);
}

// Appends `,"history":[...]`, oldest first, with the status's dates; nothing without a ring.
void appendHistory(std::string& out, const WindowHistory& history) {
    const std::size_t windows = history.ring.size() / kWindowWords;
    if (windows == 0) return;
    out += ",\"history\":[";
    const std::size_t first = (history.next + windows - history.count) % windows;
    // A date is 25 characters, a count 10 at most: the longest window is 86.
    char date[32], devices[16], text[128];
    for (std::size_t i = 0; i < history.count; ++i) {
        const uint32_t* window = &history.ring[(first + i) % windows * kWindowWords];
        dateJSON(date, sizeof date, static_cast<std::time_t>(window[0]));
        std::snprintf(devices, sizeof devices, window[2] == kNoDevices ? "null" : "%u",
                      static_cast<unsigned>(window[2]));
        std::snprintf(text, sizeof text, "%s{\"end\":\"%s\",\"devices\":%s,\"addresses\":%u}",
                      i ? "," : "", date, devices, static_cast<unsigned>(window[1]));
        out += text;
    }
    out += ']';
}

// What both threads publish to: the design's one file, so one record behind one lock.
struct StatusBoard {
    std::mutex lock;
    std::optional<std::string> path;  // set before the threads start, then only read
    std::optional<std::string> clockMarker;
    const EntryList* table = nullptr;
    DaemonStatus status;
    bool pending = false;           // a change not written yet
    int64_t writtenAt = INT64_MIN;  // the machine second of the last write
    bool failing = false;           // the last write failed, and that was said
};

StatusBoard board;

// Writes the status now; the board's lock is held. The table's lock is taken inside ours: the
// table never takes ours.
void writeStatus() {
    DaemonStatus& status = board.status;
    status.clockSynced = clockSynced(board.clockMarker);
    status.records = board.table ? entryCount(*board.table) : 0;
    board.pending = false;
    board.writtenAt = machineClock();
    const bool written = replaceFile(*board.path, statusJson(status, statusClockSource()), 0644);
    if (!written && !board.failing)
        logLine("Status file cannot be written: %s", board.path->c_str());
    if (written && board.failing) logLine("Status file written again");
    board.failing = !written;
}

// Writes a change not written yet when its second has passed, or `now`; the lock is held.
void tick(bool now) {
    if (board.pending && (now || machineClock() != board.writtenAt)) writeStatus();
}

// Marks a change, written now unless a write was made in this second already; the lock is held.
void publish() {
    board.pending = true;
    tick(false);
}

}  // namespace

std::time_t (*statusClockSource)() = systemTime;

std::string statusJson(const DaemonStatus& s, std::time_t updated) {
    static const char* const kStateNames[] = {"capturing", "waiting", "replaying", "ended",
                                              "refused"};
    const bool tried = s.uploadTried;
    const std::string version = quoted(s.version), source = quoted(s.source.c_str());
    const std::string error = tried && !s.uploadOk ? quoted(s.uploadError.c_str()) : "null";
    // The capture's troubled states: the system's words when refused and, with a history, since
    // when it waits or is refused.
    const bool refused = s.captureState == CaptureState::kRefused;
    const std::string words = refused ? quoted(s.captureError.c_str()) : "";
    const bool since =
        !s.history.ring.empty() && (refused || s.captureState == CaptureState::kWaiting);
    Value at, begun, troubled, end, devices, addresses, last, status;
    const char* synced = truthOrNull(s.clockSynced.has_value(), s.clockSynced.value_or(false));
    using Count = unsigned long long;
    const auto print = [&](char* to, std::size_t size) {
        return std::snprintf(
            to, size,
            "{\"version\":%s,\"updated\":%s,\"started\":%s,\"pid\":%ld,"
            "\"capture\":{\"state\":\"%s\",\"source\":%s,\"frames\":%llu,\"dropped\":%llu%s%s%s%s},"
            "\"window\":{\"end\":%s,\"devices\":%s,\"addresses\":%s},"
            "\"table\":{\"records\":%llu},"
            "\"upload\":{\"last\":%s,\"ok\":%s,\"status\":%s,\"error\":%s,\"failures\":%llu},"
            "\"spool\":{\"files\":%llu,\"bytes\":%llu},\"clock\":{\"synced\":%s}",
            version.c_str(), dateOrNull(at, true, updated), dateOrNull(begun, true, s.started),
            s.pid, kStateNames[static_cast<int>(s.captureState)], source.c_str(), Count{s.frames},
            Count{s.dropped}, refused ? ",\"error\":" : "", words.c_str(),
            since ? ",\"since\":" : "", since ? dateOrNull(troubled, true, s.stateSince) : "",
            dateOrNull(end, s.windowMade, s.windowEnd),
            numberOrNull(devices, s.windowMade && s.windowDevices, s.windowDevices.value_or(0)),
            numberOrNull(addresses, s.windowMade, s.windowAddresses), Count{s.records},
            dateOrNull(last, tried, s.uploadLast), truthOrNull(tried, s.uploadOk),
            numberOrNull(status, tried && s.httpStatus != 0, static_cast<uint64_t>(s.httpStatus)),
            error.c_str(), Count{s.failures}, Count{s.spoolFiles}, Count{s.spoolBytes}, synced);
    };
    std::string out(static_cast<std::size_t>(print(nullptr, 0)), '\0');
    print(&out[0], out.size() + 1);
    appendHistory(out, s.history);
    return out += "}\n";
}

void openStatus(const std::optional<std::string>& path, DaemonStatus start, const EntryList* table,
                const std::optional<std::string>& clockMarker, std::size_t windows) {
    std::lock_guard<std::mutex> hold(board.lock);
    board.path = path;
    board.clockMarker = clockMarker;
    board.table = table;
    board.status = std::move(start);
    board.status.stateSince = board.status.started;
    board.status.history.ring.assign(windows * kWindowWords, 0);
    board.pending = false;
    board.writtenAt = INT64_MIN;
    board.failing = false;
    if (path) writeStatus();
}

bool statusKept() {
    return board.path.has_value();
}

void noteCaptureState(CaptureState state, const char* error) {
    if (!board.path) return;
    std::lock_guard<std::mutex> hold(board.lock);
    DaemonStatus& status = board.status;
    if (status.captureState == state) return;
    status.stateSince = statusClockSource();
    status.captureState = state;
    status.captureError = error;
    publish();
}

void noteCaptureFigures(uint64_t frames, uint64_t dropped) {
    if (!board.path) return;
    std::lock_guard<std::mutex> hold(board.lock);
    board.status.frames = frames;
    board.status.dropped = dropped;
    tick(false);
}

void noteDocument(std::time_t end, std::optional<uint32_t> devices, uint64_t addresses) {
    if (!board.path) return;
    std::lock_guard<std::mutex> hold(board.lock);
    DaemonStatus& status = board.status;
    status.windowMade = true;
    status.windowEnd = end;
    status.windowDevices = devices;
    status.windowAddresses = addresses;
    keepWindow(status.history, end, devices, addresses);
}

void noteUpload(bool ok, int httpStatus, const std::string& error) {
    if (!board.path) return;
    std::lock_guard<std::mutex> hold(board.lock);
    DaemonStatus& status = board.status;
    const bool changed = !status.uploadTried || status.uploadOk != ok;
    status.uploadTried = true;
    status.uploadLast = statusClockSource();
    status.uploadOk = ok;
    status.httpStatus = httpStatus;
    status.uploadError = ok ? std::string() : error;
    status.failures = ok ? 0 : status.failures + 1;
    if (changed) publish();
}

void noteReportTurn(uint64_t spoolFiles, uint64_t spoolBytes) {
    if (!board.path) return;
    std::lock_guard<std::mutex> hold(board.lock);
    board.status.spoolFiles = spoolFiles;
    board.status.spoolBytes = spoolBytes;
    publish();
}

void statusTick(bool now) {
    if (!board.path) return;
    std::lock_guard<std::mutex> hold(board.lock);
    tick(now);
}

std::optional<bool> clockSynced(const std::optional<std::string>& markerPath) {
    if (!markerPath) return std::nullopt;
    return access(markerPath->c_str(), F_OK) == 0;
}
