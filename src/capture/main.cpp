#include <pthread.h>

#include "capture/capture_loop.h"
#include "config/config.h"
#include "log.h"
#include "report/scheduler.h"
#include "stop.h"

namespace {

// Says once at start when the configuration leaves uploads off.
void warnIfUploadsOff(const char* path) {
    if (!config.full_url) logLine("No full_url in %s: uploads are off.", path);
}

}  // namespace

int main() {
    const char* path = configPath();
    if (loadConfig(path, config) < 0) {
        logText("Cannot load %s!\n", path);
        return -1;
    }
    warnIfUploadsOff(path);
    installSignalHandlers();
    // Lives in main's frame: never destroyed while the report thread reads it.
    EntryList list;
    pthread_t reporter;
    if (pthread_create(&reporter, nullptr, reportThread, &list) != 0) {
        logStartError("Error creating thread\n");
        return 1;
    }
    const CaptureSettings settings{config.debug, config.max_entry_age, config.upload_timeout};
    for (;;) captureTurn(list, settings);
}
