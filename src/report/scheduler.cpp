#include "report/scheduler.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <exception>

#include "clock.h"
#include "config/config.h"
#include "log.h"
#include "report/console.h"
#include "report/report_turn.h"
#include "stop.h"

namespace {
std::atomic<bool> lastReportRequested{false};

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
    return settings;
}

// At a safe point: after a stop, keeps the last document (once) and ends the process.
void endAfterStop(const ReportSettings& settings, const EntryList& list, ReportState& state) {
    if (stopRequested() && !state.lastKept) {
        state.lastKept = true;
        keepLastDocument(settings, list, state);
    }
    endIfStopRequested();
}

}  // namespace

void requestLastReport() {
    lastReportRequested.store(true);
}

bool isDue(uint32_t now, uint32_t& mark, int interval) {
    if (static_cast<int32_t>(now - mark) < interval) return false;
    mark = now;
    return true;
}

ReportTimers startTimers() {
    ReportTimers timers;
    timers.uploadMark = static_cast<uint32_t>(monotonicClock());
    timers.consoleMark = static_cast<uint32_t>(monotonicClock());
    timers.day = utcDay(wallClock());
    return timers;
}

DueWork dueWork(ReportTimers& timers, int displayTime, int reportTime, bool daily) {
    DueWork work;
    uint32_t now = static_cast<uint32_t>(monotonicClock());
    std::time_t day = utcDay(wallClock());
    if (daily && day != timers.day) {
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

void* reportThread(void* table) {
    const EntryList& list = *static_cast<const EntryList*>(table);
    const ReportSettings settings = reportSettings();
    ReportState state;
    // With show_curl curl writes to our output: through a file, so a reader that went away
    // cannot fail an upload that was delivered.
    if (settings.showCurl) state.run = runCommandRelayingOutput;
    // With a spool, this thread ends the process on a stop, after keeping the last document.
    if (settings.spoolDir) takeStopDuty();
    const int displayTime = config.display_time;
    const int reportTime = config.report_time;
    const bool showStats = config.show_stats != 0;
    const bool rotating = settings.privacy.enabled && settings.privacy.daily;
    ReportTimers timers = startTimers();
    for (;;) {
        if (lastReportRequested.load()) {
            report(settings, list, state);
            endProcess(0);
        }
        try {
            const std::time_t day = timers.day;
            DueWork work = dueWork(timers, displayTime, reportTime, rotating);
            // The old day's last document, under its key; the table then starts the new day.
            if (work.closeDay) report(settings, list, state, lastSecondOf(day));
            timers.day = utcDay(wallClock());
            if (work.console && showStats)
                display(list, settings.uploadTimeout, settings.privacy, ConsoleThread::kReport);
            if (work.upload) report(settings, list, state);
        } catch (const std::exception&) {
            // The console table without memory (or the hash failing): the next turn tries again.
        }
        endAfterStop(settings, list, state);
        sleep(1);
        endAfterStop(settings, list, state);
    }
}
