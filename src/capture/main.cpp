#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>

#include "capture/capture_loop.h"
#include "capture/native_capture.h"
#include "config/config.h"
#include "log.h"
#include "privileges.h"
#include "report/files.h"
#include "report/privacy.h"
#include "report/scheduler.h"
#include "report/status.h"
#include "stop.h"

namespace {

// "-V" or "--version" anywhere prints the version; every other argument is ignored.
bool versionAsked(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-V") == 0 || std::strcmp(argv[i], "--version") == 0) {
            logLine("pelmar %s", PELMAR_VERSION);
            return true;
        }
    }
    return false;
}

// Says once at start which line of the file the parser cut (the first one): its value lost its
// end. Other lines it skipped are skipped silently.
void warnIfLineCut(const char* path, int line) {
    if (line <= 0) return;
    logLine("Line %d of %s was not taken whole: longer than 199 characters.", line, path);
}

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

// A temporary file of ours this old is a killed run's: a running daemon's lives an instant.
constexpr int kStaleTemporaryAge = 60;

// The report thread needs little stack; a small one leaves the address space to the table
// where it is limited (the C library's default may reserve 8 MiB).
constexpr std::size_t kReportStack = 256 * 1024;

// A capability handed to the daemon to capture (an ambient one, as the service manager gives
// it to an unprivileged user) stays with the daemon: the commands it runs (curl, clear) would
// otherwise inherit it. The daemon's own capabilities are not touched.
void keepCapabilitiesFromCommands() {
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
}

// The report thread starts with the stop signals blocked, so that they reach the capture loop
// and cut its waits short.
int startReportThread(pthread_t& thread, EntryList& list) {
    sigset_t stops, before;
    sigemptyset(&stops);
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&stops, signal);
    pthread_sigmask(SIG_BLOCK, &stops, &before);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, kReportStack);
    int result = pthread_create(&thread, &attributes, reportThread, &list);
    pthread_attr_destroy(&attributes);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return result;
}

// At the end of input with `exit_at_end`: the report thread makes the last report and ends
// the process (with a failure status when the input was not read `whole`); until then only a
// stop can.
[[noreturn]] void finishAtEnd(bool whole) {
    requestLastReport(whole);
    for (;;) {
        endIfStopRequested();
        sleep(1);
    }
}

// Starts the status file, when one is asked for, with what is read and from where.
void startStatus(const std::optional<NativeCapture>& native, const EntryList& list) {
    if (!config.status_file) return;
    DaemonStatus start;
    start.version = PELMAR_VERSION;
    start.started = statusClockSource();
    start.pid = static_cast<long>(getpid());
    start.source = "stdin";
    if (native && config.capture_file) {
        start.source = *config.capture_file;
        start.captureState = CaptureState::kReplaying;
    } else if (native) {
        start.source = *config.capture_interface;
        start.captureState = CaptureState::kWaiting;
    }
    // `status_history` windows, kMaxStatusHistory at most.
    const int windows = std::clamp(config.status_history, 0, kMaxStatusHistory);
    openStatus(config.status_file, std::move(start), &list, config.clock_synced_file,
               static_cast<std::size_t>(windows));
}

// The traces of debug 3 and 4 name every address heard: with count_only, where none may leave
// the router, they are off, and one line at start says so.
int traceLevel() {
    if (!documentCounting().only || config.debug < kTraceLines) return config.debug;
    logLine("count_only: debug %d would trace addresses; traces are off.", config.debug);
    return kTraceLines - 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (versionAsked(argc, argv)) return 0;
    const char* path = configPath();
    int loaded = loadConfig(path, config);
    if (loaded < 0) {
        logText("Cannot load %s!\n", path);
        return -1;
    }
    // Before anything but the configuration is opened.
    if (config.user && !becomeUser(config.user->c_str())) return -1;
    warnIfLineCut(path, loaded);
    warnIfUploadsOff(path);
    if (!settlePrivacy()) return -1;
    const bool countDevices = config.count_devices == 1;
    std::optional<NativeCapture> native = openNativeCapture(
        config.capture_interface, config.capture_file, config.capture_filter, countDevices);
    std::optional<DeviceLinker> textLinker;
    if (countDevices && !native) {
        logLine(
            "count_devices: linking addresses needs native capture; on standard input every "
            "address counts as a device of its own.");
        textLinker.emplace();
    }
    installSignalHandlers();
    keepCapabilitiesFromCommands();
    removeStaleTemporaryFiles(kStaleTemporaryAge);
    // Lives in main's frame: never destroyed while the report thread reads it.
    EntryList list(static_cast<std::size_t>(std::max(config.max_devices, 0)),
                   countDevices && native);
    startStatus(native, list);
    pthread_t reporter;
    // A recording's reports follow its own clock, on the capture thread.
    const bool recording = native && config.capture_file;
    if (!recording && startReportThread(reporter, list) != 0) {
        logStartError("Error creating thread\n");
        return 1;
    }
    const CaptureSettings settings{
        traceLevel(),
        config.max_entry_age,
        config.upload_timeout,
        {config.mac_privacy != 0, config.mac_secret.value_or(""), config.mac_rotation == "daily"},
        config.min_signal,
        config.skip_random_macs != 0,
        config.exit_at_end != 0,
        documentCounting()};
    if (native) runNativeCapture(*native, list, settings);  // never returns
    while (captureTurn(list, settings, textLinker ? &*textLinker : nullptr)) {
    }
    // Here only at the end of standard input with `exit_at_end`.
    finishAtEnd(true);
    for (;;) {
        endIfStopRequested();
        sleep(1);
    }
}
