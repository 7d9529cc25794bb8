#include "report/scheduler.h"

#include <unistd.h>

#include "clock.h"
#include "config/config.h"
#include "report/console.h"
#include "report/report_turn.h"
#include "stop.h"

bool isDue(uint32_t now, uint32_t& mark, int interval) {
    if (static_cast<int32_t>(now - mark) < interval) return false;
    mark = now;
    return true;
}

namespace {

// At a safe point: after a stop, keeps the last document (once) and ends the process.
void endAfterStop(const ReportSettings& settings, const EntryList& list, ReportState& state) {
    if (stopRequested() && !state.lastKept) {
        state.lastKept = true;
        keepLastDocument(settings, list, state);
    }
    endIfStopRequested();
}

}  // namespace

void* reportThread(void* table) {
    const EntryList& list = *static_cast<const EntryList*>(table);
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
    ReportState state;
    // With a spool, this thread ends the process on a stop, after keeping the last document.
    if (settings.spoolDir) takeStopDuty();
    const int displayTime = config.display_time;
    const int reportTime = config.report_time;
    const bool showStats = config.show_stats != 0;
    uint32_t uploadMark = static_cast<uint32_t>(wallClock());
    uint32_t consoleMark = static_cast<uint32_t>(wallClock());
    for (;;) {
        uint32_t now = static_cast<uint32_t>(wallClock());
        if (isDue(now, consoleMark, displayTime) && showStats) {
            display(list, settings.uploadTimeout, settings.privacy);
        }
        if (isDue(now, uploadMark, reportTime)) report(settings, list, state);
        endAfterStop(settings, list, state);
        sleep(1);
        endAfterStop(settings, list, state);
    }
}
