// Settings of the daemon, read once at start from an INI file.
#pragma once

#include <optional>
#include <string>

// Field order and key names follow the configuration file.
struct Config {
    int report_time;    // seconds between two uploads
    int display_time;   // seconds between two console-table checks
    int max_entry_age;  // seconds after its latest reading that a device is dropped; 0 = never
    int debug;          // trace level: 3 per-line traces, 4 also the console table per reading
    int show_stats;     // print the console table from the report thread
    int show_curl;      // show the upload command and its output
    std::optional<std::string> url;  // accepted, unused
    std::optional<std::string> full_url;
    std::optional<std::string> backup_dir;
};

// Written only before the report thread starts; read-only afterwards.
extern Config config;

// The configuration file: $PELMAR_CONFIG when set, else "/etc/pelmar.conf".
const char* configPath();

// inih handler: takes a pair of section "pelmar" with one of the nine keys.
// Returns 1 when taken, 0 otherwise (inih then counts the line as an error).
int iniHandler(void* user, const char* section, const char* name, const char* value);

// Loads `path` into `target`; the result is ini_parse's: <0 cannot open, >0 first bad line.
int loadConfig(const char* path, Config& target);
