#include "report/scheduler.h"

#include <unistd.h>

#include <new>

#include "clock.h"
#include "config/config.h"
#include "report/console.h"
#include "report/upload.h"

bool isDue(uint32_t now, uint32_t& mark, int interval) {
    if (static_cast<int32_t>(now - mark) < interval) return false;
    mark = now;
    return true;
}

void* reportThread(void* table) {
    const EntryList& list = *static_cast<const EntryList*>(table);
    const ReportSettings settings{config.full_url, config.backup_dir, config.show_curl != 0};
    const int displayTime = config.display_time;
    const int reportTime = config.report_time;
    const bool showStats = config.show_stats != 0;
    uint32_t uploadMark = static_cast<uint32_t>(wallClock());
    uint32_t consoleMark = static_cast<uint32_t>(wallClock());
    for (;;) {
        uint32_t now = static_cast<uint32_t>(wallClock());
        try {
            if (isDue(now, consoleMark, displayTime) && showStats) display(list);
            if (isDue(now, uploadMark, reportTime)) report(settings, list);
        } catch (const std::bad_alloc&) {
            // Out of memory for one report: the next turn tries again with the table as it is.
        }
        sleep(1);
    }
}
