// The daemon's state as one JSON object in `status_file`, for the router's own pages: what it
// captures, the last document and upload, the spool and whether the clock can be trusted.
//
// Both threads note what changes; the file is replaced whole (written beside it, then renamed),
// at every report turn and every change of state, at most once a second of the machine's clock:
// a change inside a second is written by the first tick after it. Without a path nothing is
// kept and nothing written.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "table/device_table.h"

// The capture's states: "capturing" (an interface, or standard input), "waiting" (the
// interface is missing or down), "replaying" (a recording), "ended" (its end, or the input's),
// "refused" (the system refuses us the capture).
enum class CaptureState { kCapturing, kWaiting, kReplaying, kEnded, kRefused };

// The last report windows (`status_history`): a ring of kWindowWords words per window, taken
// once at start (no string per window): when its document was made (wall-clock seconds, unsigned
// 32-bit as the documents' times), its address records and its devices (kNoDevices without
// counting).
constexpr std::size_t kWindowWords = 3;
constexpr uint32_t kNoDevices = UINT32_MAX;
struct WindowHistory {
    std::vector<uint32_t> ring;  // empty: no history
    std::size_t next = 0;        // the window the next one takes
    std::size_t count = 0;       // windows held
};

struct DaemonStatus {
    const char* version = "";
    std::time_t started = 0;
    long pid = 0;
    CaptureState captureState = CaptureState::kCapturing;
    std::string source;          // the interface, the recording's path, or "stdin"
    std::string captureError;    // refused: the system's words
    std::time_t stateSince = 0;  // when the capture's state began
    uint64_t frames = 0;         // frames (or lines) read since start
    uint64_t dropped = 0;        // what libpcap says it dropped
    bool windowMade = false;     // a document was made: the window's fields below hold
    std::time_t windowEnd = 0;
    std::optional<uint32_t> windowDevices;  // without counting: none
    uint64_t windowAddresses = 0;
    uint64_t records = 0;      // the table's, now
    bool uploadTried = false;  // an upload was attempted: the upload's fields below hold
    std::time_t uploadLast = 0;
    bool uploadOk = false;
    int httpStatus = 0;       // 0: none learnt
    std::string uploadError;  // the failure line's words; empty when delivered
    uint64_t failures = 0;    // consecutive failed uploads
    uint64_t spoolFiles = 0;
    uint64_t spoolBytes = 0;
    std::optional<bool> clockSynced;  // no check configured: none
    // With `status_history`: the last windows, and when a waiting or refused state began.
    WindowHistory history;
};

// The status as one line of JSON, stamped `updated`.
std::string statusJson(const DaemonStatus& status, std::time_t updated);

// Where the status's `updated`, `started` and upload times come from: the system's clock (a
// recording's own time is not the status's), unless a test points it elsewhere.
extern std::time_t (*statusClockSource)();

// Starts keeping the status, to be written at `path` (nothing at all without one) from `start`
// (version, pid, start time, source and capture state) with a history of the last `windows`
// windows, `table` giving the record count and `clockMarker` (`clock_synced_file`) the clock's
// state; writes it a first time.
void openStatus(const std::optional<std::string>& path, DaemonStatus start, const EntryList* table,
                const std::optional<std::string>& clockMarker, std::size_t windows = 0);

// True when a status file is kept.
bool statusKept();

// The capture's state changed (refused: the system's words `error`, kept while it lasts): written
// at once, or at the next tick inside the same second.
void noteCaptureState(CaptureState state, const char* error = "");

// The capture's figures so far, written with the next change or turn; then as statusTick().
void noteCaptureFigures(uint64_t frames, uint64_t dropped);

// A document was made, stamped `end`, with the window's `devices` and `addresses` records.
void noteDocument(std::time_t end, std::optional<uint32_t> devices, uint64_t addresses);

// An upload was attempted: `ok` when delivered, the HTTP status (0 when none was learnt) and,
// on failure, the words of the failure line. A change between failing and working is written.
void noteUpload(bool ok, int httpStatus, const std::string& error);

// A report turn ended, leaving `spoolFiles` files of `spoolBytes` bytes in the spool: written at
// once, or at the next tick inside the same second.
void noteReportTurn(uint64_t spoolFiles, uint64_t spoolBytes);

// Writes a change noted earlier once its second has passed (cheap when there is none), or, with
// `now` (the process is about to end), whatever the second.
void statusTick(bool now = false);

// With `markerPath`, whether the clock is synchronised: the marker exists (something that
// trusts the time, the router's NTP hook, made it). None without a path.
std::optional<bool> clockSynced(const std::optional<std::string>& markerPath);
