// Settings of the daemon, read once at start from an INI file.
#pragma once

#include <optional>
#include <string>

// Field order and key names follow the configuration file.
struct Config {
    int report_time = 0;    // seconds between two uploads
    int display_time = 0;   // seconds between two console-table checks
    int max_entry_age = 0;  // seconds after its latest reading that a device is dropped; 0 = never
    int debug = 0;          // trace level: 3 per-line traces, 4 also the console table per reading
    int show_stats = 0;     // print the console table from the report thread
    int show_curl = 0;      // show the upload command and its output
    std::optional<std::string> url;  // accepted, unused
    std::optional<std::string> full_url;
    std::optional<std::string> backup_dir;
    // Beyond the nine keys above; each is off, or at a harmless default, when absent.
    int upload_timeout = 60;  // seconds an upload or `clear` may run; 0 or less: no limit
    std::optional<std::string> spool_dir;  // keep failed uploads here and send them later
    int spool_max_kb = 1024;               // the spool's size limit
    int verify_tls = 0;                    // 1: curl checks the endpoint's certificate
    int max_devices = 0;  // records at most; a new address then replaces the least recent
    int mac_privacy = 0;  // 1: pseudonyms instead of addresses in every report
    std::optional<std::string> mac_secret;    // the pseudonyms' secret
    std::optional<std::string> mac_rotation;  // "daily": a new key each UTC day
    std::optional<int> min_signal;            // readings below this many dB are ignored
    int skip_random_macs = 0;  // 1: readings of locally administered addresses are ignored
    std::optional<std::string> capture_interface;  // capture here through libpcap
    std::optional<std::string> capture_file;       // or read this recording once
    std::optional<std::string> capture_filter;     // the capture filter of either
    int exit_at_end = 0;       // 1: the end of input brings a last report and the exit
    int backup_max_files = 0;  // backup files kept at most; 0 or less: no limit
    int backup_max_kb = 0;     // KiB the backup files take together at most; 0 or less: no limit
    int count_devices = 0;     // 1: link random addresses into devices and count them per report
    int count_only = 0;        // 1: documents carry the count, no address (counting turns on)
    std::optional<std::string> status_file;        // the daemon's state, replaced whole
    std::optional<std::string> clock_synced_file;  // the clock is synchronised once this exists
    std::optional<std::string> user;  // started as root: become this user, keeping CAP_NET_RAW
    int status_history = 0;           // the last this many windows in the status file
};

// The most windows `status_history` keeps: a week of one-minute windows.
constexpr int kMaxStatusHistory = 10080;

// Written only before the report thread starts; read-only afterwards.
extern Config config;

// The configuration file: $PELMAR_CONFIG when set, else "/etc/pelmar.conf".
const char* configPath();

// inih handler: takes a pair of section "pelmar" with one of the keys above.
// Returns 1 when taken, 0 otherwise (inih then counts the line as an error).
int iniHandler(void* user, const char* section, const char* name, const char* value);

// Loads `path` into `target` as ini_parse does, `count_only` = 1 turning `count_devices` on. The
// result: <0 cannot open, >0 the first line of the file that was cut at inih's line length, else
// 0 (lines rejected by inih or the handler are skipped without a trace, as the file's syntax
// allows).
int loadConfig(const char* path, Config& target);
