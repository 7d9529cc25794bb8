#include <pthread.h>

#include <algorithm>
#include <exception>

#include "capture/capture_loop.h"
#include "config/config.h"
#include "log.h"
#include "report/privacy.h"
#include "report/scheduler.h"
#include "stop.h"

namespace {

// Says once at start when the configuration leaves uploads off.
void warnIfUploadsOff(const char* path) {
    if (!config.full_url) logLine("No full_url in %s: uploads are off.", path);
}

// Pseudonyms need a secret: without one configured (an empty one is none), this run makes its
// own (before the report thread exists, so both threads use the same one) and says so. False,
// after one line, when pseudonyms cannot be made: better no start than constant pseudonyms.
bool settlePrivacy() {
    if (!config.mac_privacy) return true;
    if (!pseudonymsWork()) {
        logLine("mac_privacy: HMAC-SHA256 from mbedtls does not work; not starting.");
        return false;
    }
    if (!config.mac_secret || config.mac_secret->empty()) {
        try {
            config.mac_secret = randomSecret();
        } catch (const std::exception&) {
            logLine("mac_privacy: no random secret can be had; set mac_secret. Not starting.");
            return false;
        }
        logLine(
            "mac_privacy without mac_secret: a random secret for this run, so pseudonyms "
            "change at each start.");
    }
    if (config.mac_rotation && *config.mac_rotation != "daily") {
        logLine("mac_rotation = %s is not daily: pseudonyms do not rotate.",
                config.mac_rotation->c_str());
    }
    return true;
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
    if (!settlePrivacy()) return -1;
    installSignalHandlers();
    // Lives in main's frame: never destroyed while the report thread reads it.
    EntryList list(static_cast<std::size_t>(std::max(config.max_devices, 0)));
    pthread_t reporter;
    if (startReportThread(reporter, list) != 0) {
        logStartError("Error creating thread\n");
        return 1;
    }
    const CaptureSettings settings{
        config.debug,
        config.max_entry_age,
        config.upload_timeout,
        {config.mac_privacy != 0, config.mac_secret.value_or(""), config.mac_rotation == "daily"},
        config.min_signal,
        config.skip_random_macs != 0};
    for (;;) captureTurn(list, settings);
}
