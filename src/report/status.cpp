#include "report/status.h"

#include <unistd.h>

#include <cstdint>
#include <mutex>

#include "clock.h"
#include "log.h"
#include "report/dates.h"
#include "report/document.h"
#include "report/files.h"

namespace {

std::time_t systemTime() {
    return std::time(nullptr);
}

void appendDate(std::string& out, std::time_t time) {
    char date[64];
    dateJSON(date, sizeof date, time);
    out += '"';
    out += date;
    out += '"';
}

void appendText(std::string& out, const std::string& text) {
    out += '"';
    appendJsonText(out, text.c_str());
    out += '"';
}

// `"name":` and the value that `present` says there is, else null.
template <class Append>
void appendField(std::string& out, const char* name, bool present, Append append) {
    out += '"';
    out += name;
    out += "\":";
    if (present) {
        append();
    } else {
        out += "null";
    }
}

void appendNumber(std::string& out, const char* name, uint64_t value) {
    appendField(out, name, true, [&] { out += std::to_string(value); });
}

// The capture's, the window's and the table's parts.
void appendCapture(std::string& out, const DaemonStatus& status) {
    static const char* const kStateNames[] = {"capturing", "waiting", "replaying", "ended"};
    out += ",\"capture\":{\"state\":\"";
    out += kStateNames[static_cast<int>(status.captureState)];
    out += "\",\"source\":";
    appendText(out, status.source);
    out += ',';
    appendNumber(out, "frames", status.frames);
    out += ',';
    appendNumber(out, "dropped", status.dropped);
    out += "},\"window\":{";
    const bool made = status.windowMade;
    appendField(out, "end", made, [&] { appendDate(out, status.windowEnd); });
    out += ',';
    appendField(out, "devices", made && status.windowDevices,
                [&] { out += std::to_string(*status.windowDevices); });
    out += ',';
    appendField(out, "addresses", made, [&] { out += std::to_string(status.windowAddresses); });
    out += "},\"table\":{";
    appendNumber(out, "records", status.records);
    out += '}';
}

// The upload's, the spool's and the clock's parts.
void appendDelivery(std::string& out, const DaemonStatus& status) {
    const bool tried = status.uploadTried;
    out += ",\"upload\":{";
    appendField(out, "last", tried, [&] { appendDate(out, status.uploadLast); });
    out += ',';
    appendField(out, "ok", tried, [&] { out += status.uploadOk ? "true" : "false"; });
    out += ',';
    appendField(out, "status", tried && status.httpStatus != 0,
                [&] { out += std::to_string(status.httpStatus); });
    out += ',';
    appendField(out, "error", tried && !status.uploadOk,
                [&] { appendText(out, status.uploadError); });
    out += ',';
    appendNumber(out, "failures", status.failures);
    out += "},\"spool\":{";
    appendNumber(out, "files", status.spoolFiles);
    out += ',';
    appendNumber(out, "bytes", status.spoolBytes);
    out += "},\"clock\":{";
    appendField(out, "synced", status.clockSynced.has_value(),
                [&] { out += *status.clockSynced ? "true" : "false"; });
    out += '}';
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

// Marks a change, written now unless a write was made in this second already; the lock is held.
void publish() {
    board.pending = true;
    if (machineClock() != board.writtenAt) writeStatus();
}

}  // namespace

std::time_t (*statusClockSource)() = systemTime;

std::string statusJson(const DaemonStatus& status, std::time_t updated) {
    std::string out = "{\"version\":";
    appendText(out, status.version);
    out += ",\"updated\":";
    appendDate(out, updated);
    out += ",\"started\":";
    appendDate(out, status.started);
    out += ",\"pid\":" + std::to_string(status.pid);
    appendCapture(out, status);
    appendDelivery(out, status);
    out += "}\n";
    return out;
}

void openStatus(const std::optional<std::string>& path, const DaemonStatus& start,
                const EntryList* table, const std::optional<std::string>& clockMarker) {
    std::lock_guard<std::mutex> hold(board.lock);
    board.path = path;
    board.clockMarker = clockMarker;
    board.table = table;
    board.status = start;
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

void noteSpool(uint64_t files, uint64_t bytes) {
    if (!board.path) return;
    std::lock_guard<std::mutex> hold(board.lock);
    board.status.spoolFiles = files;
    board.status.spoolBytes = bytes;
}

void noteReportTurn() {
    if (!board.path) return;
    std::lock_guard<std::mutex> hold(board.lock);
    publish();
}

void statusTick() {
    if (!board.path) return;
    std::lock_guard<std::mutex> hold(board.lock);
    if (board.pending && machineClock() != board.writtenAt) writeStatus();
}

void statusFlush() {
    if (!board.path) return;
    std::lock_guard<std::mutex> hold(board.lock);
    if (board.pending) writeStatus();
}

std::optional<bool> clockSynced(const std::optional<std::string>& markerPath) {
    if (!markerPath) return std::nullopt;
    return access(markerPath->c_str(), F_OK) == 0;
}
