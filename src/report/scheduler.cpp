#include "report/scheduler.h"

#include <unistd.h>

#include <new>

#include "config/config.h"
#include "report/console.h"
#include "report/upload.h"

bool isDue(uint32_t now, uint32_t& mark, int interval) {
    if (static_cast<int32_t>(now - mark) < interval) return false;
    mark = now;
    return true;
}

void* reportThread(void* table) {
    EntryList& list = *static_cast<EntryList*>(table);
    uint32_t uploadMark = static_cast<uint32_t>(wallClock());
    uint32_t consoleMark = static_cast<uint32_t>(wallClock());
    for (;;) {
        uint32_t now = static_cast<uint32_t>(wallClock());
        try {
            if (isDue(now, consoleMark, config.display_time) && config.show_stats) display(list);
            if (isDue(now, uploadMark, config.report_time)) {
                report(config.full_url, list, config.backup_dir);
            }
        } catch (const std::bad_alloc&) {
            // Out of memory for one report: the next turn tries again with the table as it is.
        }
        sleep(1);
    }
}
