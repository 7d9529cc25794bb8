#include "report/status.h"

#include <unistd.h>

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

// `time` as a JSON string, or null when there is none.
std::string dateOrNull(bool present, std::time_t time) {
    char date[64] = "null";
    if (present) {
        date[0] = '"';
        dateJSON(date + 1, sizeof date - 2, time);
        std::strcat(date, "\"");
    }
    return date;
}

std::string quoted(const char* text) {
    std::string out = "\"";
    appendJsonText(out, text);
    return out + '"';
}

std::string numberOrNull(bool present, uint64_t value) {
    char number[24] = "null";
    if (present)
        std::snprintf(number, sizeof number, "%llu", static_cast<unsigned long long>(value));
    return number;
}

std::string truthOrNull(bool present, bool value) {
    return present ? (value ? "true" : "false") : "null";
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
    static const char* const kStateNames[] = {"capturing", "waiting", "replaying", "ended"};
    const bool tried = s.uploadTried;
    const std::string texts[] = {
        quoted(s.version),
        dateOrNull(true, updated),
        dateOrNull(true, s.started),
        quoted(s.source.c_str()),
        dateOrNull(s.windowMade, s.windowEnd),
        numberOrNull(s.windowMade && s.windowDevices, s.windowDevices.value_or(0)),
        numberOrNull(s.windowMade, s.windowAddresses),
        dateOrNull(tried, s.uploadLast),
        truthOrNull(tried, s.uploadOk),
        numberOrNull(tried && s.httpStatus != 0, static_cast<uint64_t>(s.httpStatus)),
        tried && !s.uploadOk ? quoted(s.uploadError.c_str()) : "null",
        truthOrNull(s.clockSynced.has_value(), s.clockSynced.value_or(false)),
    };
    using Count = unsigned long long;
    auto print = [&](char* to, std::size_t size) {
        return std::snprintf(
            to, size,
            "{\"version\":%s,\"updated\":%s,\"started\":%s,\"pid\":%ld,\"capture\":{\"state\":\"%"
            "s\","
            "\"source\":%s,\"frames\":%llu,\"dropped\":%llu},\"window\":{\"end\":%s,\"devices\":%s,"
            "\"addresses\":%s},\"table\":{\"records\":%llu},\"upload\":{\"last\":%s,\"ok\":%s,"
            "\"status\":%s,\"error\":%s,\"failures\":%llu},\"spool\":{\"files\":%llu,\"bytes\":%"
            "llu},"
            "\"clock\":{\"synced\":%s}}\n",
            texts[0].c_str(), texts[1].c_str(), texts[2].c_str(), s.pid,
            kStateNames[static_cast<int>(s.captureState)], texts[3].c_str(), Count{s.frames},
            Count{s.dropped}, texts[4].c_str(), texts[5].c_str(), texts[6].c_str(),
            Count{s.records}, texts[7].c_str(), texts[8].c_str(), texts[9].c_str(),
            texts[10].c_str(), Count{s.failures}, Count{s.spoolFiles}, Count{s.spoolBytes},
            texts[11].c_str());
    };
    std::string out(static_cast<std::size_t>(print(nullptr, 0)), '\0');
    print(&out[0], out.size() + 1);
    return out;
}

void openStatus(const std::optional<std::string>& path, DaemonStatus start, const EntryList* table,
                const std::optional<std::string>& clockMarker) {
    std::lock_guard<std::mutex> hold(board.lock);
    board.path = path;
    board.clockMarker = clockMarker;
    board.table = table;
    board.status = std::move(start);
    board.pending = false;
    board.writtenAt = INT64_MIN;
    board.failing = false;
    if (path) writeStatus();
}

bool statusKept() {
    return board.path.has_value();
}

void noteCaptureState(CaptureState state) {
    if (!board.path) return;
    std::lock_guard<std::mutex> hold(board.lock);
    if (board.status.captureState == state) return;
    board.status.captureState = state;
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
