#include "report/scheduler.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <new>

#include "clock.h"
#include "config/config.h"
#include "log.h"
#include "report/console.h"
#include "report/upload.h"
#include "stop.h"

namespace {
std::atomic<bool> lastReportRequested{false};
}  // namespace

void requestLastReport() {
    lastReportRequested.store(true);
}

bool isDue(uint32_t now, uint32_t& mark, int interval) {
    if (static_cast<int32_t>(now - mark) < interval) return false;
    mark = now;
    return true;
}

void* reportThread(void* table) {
    const EntryList& list = *static_cast<const EntryList*>(table);
    ReportSettings settings;
    settings.endpoint = config.full_url;
    settings.backupDir = config.backup_dir;
    settings.showCurl = config.show_curl != 0;
    settings.uploadTimeout = config.upload_timeout;
    settings.spoolDir = config.spool_dir;
    settings.spoolMaxBytes = static_cast<std::size_t>(std::max(config.spool_max_kb, 0)) * 1024;
    settings.verifyTls = config.verify_tls != 0;
    settings.privacy = {config.mac_privacy != 0, config.mac_secret.value_or(""),
                        config.mac_rotation == "daily"};
    settings.backupMaxFiles = static_cast<std::size_t>(std::max(config.backup_max_files, 0));
    settings.backupMaxBytes = static_cast<std::uint64_t>(std::max(config.backup_max_kb, 0)) * 1024;
    Uplink uplink;
    const int displayTime = config.display_time;
    const int reportTime = config.report_time;
    const bool showStats = config.show_stats != 0;
    uint32_t uploadMark = static_cast<uint32_t>(wallClock());
    uint32_t consoleMark = static_cast<uint32_t>(wallClock());
    for (;;) {
        uint32_t now = static_cast<uint32_t>(wallClock());
        try {
            if (lastReportRequested.load()) {
                report(settings, list, uplink);
                endProcess(0);
            }
            if (isDue(now, consoleMark, displayTime) && showStats) {
                display(list, settings.uploadTimeout, settings.privacy);
            }
            if (isDue(now, uploadMark, reportTime)) report(settings, list, uplink);
        } catch (const std::bad_alloc&) {
            // Out of memory for one report: the next turn tries again with the table as it is.
        }
        endIfStopRequested();
        sleep(1);
        endIfStopRequested();
    }
}
