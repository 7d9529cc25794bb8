// The report thread: console table and upload, each on its own timer.
#pragma once

#include <cstdint>
#include <ctime>

#include "report/report_turn.h"
#include "table/device_table.h"

// True when `interval` seconds have passed since `mark`, which then moves to `now`.
bool isDue(int64_t now, int64_t& mark, int interval);

// The two timers, paced by the monotonic clock so that a step of the wall clock moves neither,
// and the UTC day whose readings the table holds (for daily rotation).
struct ReportTimers {
    int64_t uploadMark = 0;
    int64_t consoleMark = 0;
    std::time_t day = 0;  // days since the epoch
};

// Both marks at the monotonic clock's now (the upload mark first) and the day at the wall's.
ReportTimers startTimers();

// What one turn has to do.
struct DueWork {
    bool closeDay = false;  // a UTC midnight passed: the old day's last document is due
    bool console = false;
    bool upload = false;
};

// Reads the clocks once and moves the marks that fell due; `daily` watches for midnight.
DueWork dueWork(ReportTimers& timers, int displayTime, int reportTime, bool daily);

// The last second of UTC day `day`: when the document that closes it is stamped.
std::time_t lastSecondOf(std::time_t day);

// No closing document has failed since the last one was made.
constexpr int64_t kNotFailed = INT64_MIN;

// What the reports keep between turns, whichever thread turns them.
struct ReportLoop {
    const EntryList* list;
    ReportSettings settings;
    ReportState state;
    ReportTimers timers;
    int displayTime;
    int reportTime;
    bool showStats;
    bool rotating;  // daily pseudonym keys: the table starts a new day at UTC midnight
    int64_t closingFailedAt = kNotFailed;  // machine second of the last closing that failed
};

// The settings read from the configuration, and both timers started at the clocks' now.
ReportLoop startReportLoop(const EntryList& list);

// One turn: the last report when one was asked for (then the end of the process), the day's
// closing document, the console table and the upload, as they fall due by the clocks.
void reportTurn(ReportLoop& loop);

// At a safe point: after a stop, keeps the last document (once, with a spool) and ends the
// process.
void endAfterStop(ReportLoop& loop);

// After a turn at recorded second `turned` in a stretch of a recording without frames that ends
// at `second`: a timer that fired then and would fire again before `second` restarts there,
// since one report stands for the quiet windows after it (one due at `second` itself is made
// there, before the frame); a day closed in it
// (`dayBefore` was the table's day) held nothing since, so the table's day becomes the one at
// `second`.
void restartFiredTimers(ReportLoop& loop, std::time_t turned, std::time_t second,
                        std::time_t dayBefore);

// After a recording's end: makes its last document again when it was lost (or its day's
// closing one when that could not be made), once every `report_time` seconds of the machine's
// time at most (one at least) since `triedAt`, which then moves to the machine's now.
void retryLostReport(ReportLoop& loop, int64_t& triedAt);

// The earliest monotonic second at which a turn has something to do.
std::time_t nextDueSecond(const ReportLoop& loop);

// Thread body; `table` is the EntryList. Turns once a second for ever.
void* reportThread(void* table);

// What `count_devices` and `count_only` ask of documents and the console table.
DocumentCounting documentCounting();

// Exit statuses after the last report: the input could not be read to its end (what was read
// is reported first), or the last document was lost (neither delivered, spooled nor backed up).
constexpr int kExitInputUnread = 2;
constexpr int kExitDocumentLost = 3;

// Asks the report thread for one last report (upload, spool, backup as set, each upload judged
// by its HTTP status), after which it ends the process: status 0 when the input was read
// `whole` and the document is safe, else one of the two above (the input's first).
void requestLastReport(bool whole);
