#include <pthread.h>

#include <algorithm>

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

// The report thread needs little stack; a small one leaves the address space to the table
// where it is limited (the C library's default may reserve 8 MiB).
constexpr std::size_t kReportStack = 256 * 1024;

int startReportThread(pthread_t& thread, EntryList& list) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, kReportStack);
    int result = pthread_create(&thread, &attributes, reportThread, &list);
    pthread_attr_destroy(&attributes);
    return result;
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
    EntryList list(static_cast<std::size_t>(std::max(config.max_devices, 0)));
    pthread_t reporter;
    if (startReportThread(reporter, list) != 0) {
        logStartError("Error creating thread\n");
        return 1;
    }
    const CaptureSettings settings{config.debug, config.max_entry_age, config.upload_timeout};
    for (;;) captureTurn(list, settings);
}
