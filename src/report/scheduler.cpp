#include "report/scheduler.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <optional>

#include "clock.h"
#include "config/config.h"
#include "log.h"
#include "report/console.h"
#include "report/report_turn.h"
#include "report/status.h"
#include "stop.h"

namespace {
// What the capture thread asked: nothing yet, a last report after a whole input, or after one
// that could not be read to its end.
enum LastReport { kNotAsked, kAfterWhole, kAfterUnread };
std::atomic<int> lastReportRequested{kNotAsked};

constexpr std::time_t kDaySeconds = 86400;

std::time_t utcDay(std::time_t time) {
    return time / kDaySeconds;
}

ReportSettings reportSettings() {
    ReportSettings settings;
    settings.endpoint = config.full_url;
    settings.backupDir = config.backup_dir;
    settings.showCurl = config.show_curl != 0;
    settings.uploadTimeout = config.upload_timeout;
    settings.spoolDir = config.spool_dir;
    settings.spoolMaxBytes = spoolBytes(config.spool_max_kb);
    settings.verifyTls = config.verify_tls != 0;
    settings.privacy = {config.mac_privacy != 0, config.mac_secret.value_or(""),
                        config.mac_rotation == "daily"};
    settings.backupMaxFiles = static_cast<std::size_t>(std::max(config.backup_max_files, 0));
    settings.backupMaxBytes = static_cast<std::uint64_t>(std::max(config.backup_max_kb, 0)) * 1024;
    settings.counting = documentCounting();
    // A recording's documents carry its own time, which the system clock's state says nothing of.
    if (!config.capture_file) settings.clockMarker = config.clock_synced_file;
    return settings;
}

}  // namespace

DocumentCounting documentCounting() {
    return {config.count_devices == 1, config.count_devices == 1 && config.count_only == 1};
}

void requestLastReport(bool whole) {
    lastReportRequested.store(whole ? kAfterWhole : kAfterUnread);
}

bool isDue(int64_t now, int64_t& mark, int interval) {
    if (now - mark < interval) return false;
    mark = now;
    return true;
}

namespace {

// The console table: one that cannot be printed (no memory for its text, the pseudonyms
// failing) costs one line, and the document due in the same turn goes all the same.
void showTable(ReportLoop& loop) {
    try {
        display(*loop.list, loop.settings.uploadTimeout, loop.settings.privacy,
                ConsoleThread::kReport, loop.settings.counting);
    } catch (const std::exception& error) {
        logLine("Console table not printed: %s", error.what());
    }
}

}  // namespace

ReportTimers startTimers() {
    ReportTimers timers;
    timers.uploadMark = monotonicClock();
    timers.consoleMark = monotonicClock();
    timers.day = utcDay(wallClock());
    return timers;
}

DueWork dueWork(ReportTimers& timers, int displayTime, int reportTime, bool daily) {
    DueWork work;
    const int64_t now = monotonicClock();
    std::time_t day = utcDay(wallClock());
    // Only a forward change of day is a midnight: a wall clock stepped back across one leaves
    // the table's day as it is.
    if (daily && day > timers.day) {
        work.closeDay = true;
        timers.uploadMark = now;  // the closing document counts as this interval's upload
    }
    work.console = isDue(now, timers.consoleMark, displayTime);
    work.upload = !work.closeDay && isDue(now, timers.uploadMark, reportTime);
    return work;
}

std::time_t lastSecondOf(std::time_t day) {
    return (day + 1) * kDaySeconds - 1;
}

ReportLoop startReportLoop(const EntryList& list) {
    ReportLoop loop{&list,
                    reportSettings(),
                    {},
                    startTimers(),
                    config.display_time,
                    config.report_time,
                    config.show_stats != 0,
                    false};
    loop.rotating = loop.settings.privacy.enabled && loop.settings.privacy.daily;
    // With show_curl curl writes to our output: through a file, so a reader that went away
    // cannot fail an upload that was delivered.
    if (loop.settings.showCurl) loop.state.run = runCommandRelayingOutput;
    return loop;
}

namespace {

// Past a UTC midnight the table still holds the old day until its closing document: a last
// document made now closes it, stamped with that day's last second.
std::optional<std::time_t> dayToClose(const ReportLoop& loop) {
    if (!loop.rotating || utcDay(wallClock()) <= loop.timers.day) return std::nullopt;
    return lastSecondOf(loop.timers.day);
}

}  // namespace

void reportTurn(ReportLoop& loop) {
    const EntryList& list = *loop.list;
    if (int asked = lastReportRequested.load()) {
        ReportSettings last = loop.settings;
        last.readStatus = true;  // without a spool too: the exit status says what became of it
        bool safe = report(last, list, loop.state, dayToClose(loop));
        // A stop before or during it ends the process as its signal says, after keeping the
        // document in the spool: never with a status that calls an unsent document safe.
        while (stopRequested() && !loop.state.lastDelivered) {
            endAfterStop(loop);
            sleep(1);
        }
        statusTick(true);
        endProcess(asked == kAfterUnread ? kExitInputUnread : safe ? 0 : kExitDocumentLost);
    }
    const std::time_t day = loop.timers.day;
    DueWork work = dueWork(loop.timers, loop.displayTime, loop.reportTime, loop.rotating);
    // The old day's last document, under its key; the table then starts the new day. One that
    // cannot be made is tried again at a later turn, the old day's readings kept for it, but
    // not twice in one second of the machine's time: a recording's turns come far faster.
    if (work.closeDay && loop.closingFailedAt != machineClock()) {
        report(loop.settings, list, loop.state, lastSecondOf(day));
        loop.closingFailedAt = loop.state.dayClosed ? kNotFailed : machineClock();
    }
    if (!work.closeDay || loop.state.dayClosed) {
        loop.timers.day = std::max(loop.timers.day, utcDay(wallClock()));
    }
    if (work.console && loop.showStats) showTable(loop);
    if (work.upload) report(loop.settings, list, loop.state);
}

void endAfterStop(ReportLoop& loop) {
    if (stopRequested() && !loop.state.lastKept) {
        loop.state.lastKept = true;
        keepLastDocument(loop.settings, *loop.list, loop.state, dayToClose(loop));
    }
    endIfStopRequested();
}

void restartFiredTimers(ReportLoop& loop, std::time_t turned, std::time_t second,
                        std::time_t dayBefore) {
    ReportTimers& timers = loop.timers;
    if (timers.uploadMark == turned && turned + std::max(loop.reportTime, 1) < second) {
        timers.uploadMark = second;
    }
    if (timers.consoleMark == turned && turned + std::max(loop.displayTime, 1) < second) {
        timers.consoleMark = second;
    }
    if (timers.day != dayBefore) timers.day = std::max(timers.day, utcDay(second));
}

void retryLostReport(ReportLoop& loop, int64_t& triedAt) {
    const std::optional<std::time_t> closing = dayToClose(loop);
    if (loop.state.lastSafe && !closing) return;
    if (machineClock() - triedAt < std::max(loop.reportTime, 1)) return;
    triedAt = machineClock();
    report(loop.settings, *loop.list, loop.state, closing);
    if (loop.state.dayClosed) loop.timers.day = std::max(loop.timers.day, utcDay(wallClock()));
    // Once it was delivered or spooled, a stop has nothing to keep.
    loop.state.lastKept = loop.state.lastDelivered;
}

std::time_t nextDueSecond(const ReportLoop& loop) {
    const std::time_t uploadDue = loop.timers.uploadMark + std::max(loop.reportTime, 1);
    std::time_t due = uploadDue;
    if (loop.showStats) {
        due = std::min<std::time_t>(due, loop.timers.consoleMark + std::max(loop.displayTime, 1));
    }
    if (loop.rotating) due = std::min(due, lastSecondOf(loop.timers.day) + 1);
    return due;
}

void* reportThread(void* table) {
    ReportLoop loop = startReportLoop(*static_cast<const EntryList*>(table));
    // With a spool, this thread ends the process on a stop, after keeping the last document.
    if (loop.settings.spoolDir) takeStopDuty();
    for (;;) {
        reportTurn(loop);
        endAfterStop(loop);
        sleep(1);
        endAfterStop(loop);
        statusTick();
    }
}
