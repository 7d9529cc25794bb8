#include "config/config.h"

#include <ini.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "config/decimal.h"

Config config;

const char* configPath() {
    const char* override = std::getenv("PELMAR_CONFIG");
    return override ? override : "/etc/pelmar.conf";
}

namespace {

struct NumberKey {
    const char* name;
    int Config::*field;
};

struct TextKey {
    const char* name;
    std::optional<std::string> Config::*field;
};

constexpr NumberKey numberKeys[] = {
    {"report_time", &Config::report_time},
    {"display_time", &Config::display_time},
    {"max_entry_age", &Config::max_entry_age},
    {"debug", &Config::debug},
    {"show_stats", &Config::show_stats},
    {"show_curl", &Config::show_curl},
    {"upload_timeout", &Config::upload_timeout},
    {"spool_max_kb", &Config::spool_max_kb},
    {"verify_tls", &Config::verify_tls},
    {"max_devices", &Config::max_devices},
    {"mac_privacy", &Config::mac_privacy},
    {"skip_random_macs", &Config::skip_random_macs},
    {"backup_max_files", &Config::backup_max_files},
    {"backup_max_kb", &Config::backup_max_kb},
    {"exit_at_end", &Config::exit_at_end},
    {"count_devices", &Config::count_devices},
    {"count_only", &Config::count_only},
    {"status_history", &Config::status_history},
};

constexpr TextKey textKeys[] = {
    {"url", &Config::url},
    {"full_url", &Config::full_url},
    {"backup_dir", &Config::backup_dir},
    {"spool_dir", &Config::spool_dir},
    {"mac_secret", &Config::mac_secret},
    {"mac_rotation", &Config::mac_rotation},
    {"capture_interface", &Config::capture_interface},
    {"capture_file", &Config::capture_file},
    {"capture_filter", &Config::capture_filter},
    {"status_file", &Config::status_file},
    {"clock_synced_file", &Config::clock_synced_file},
    {"user", &Config::user},
};

}  // namespace

int iniHandler(void* user, const char* section, const char* name, const char* value) {
    Config& target = *static_cast<Config*>(user);
    if (std::strcmp(section, "pelmar") != 0) return 0;
    for (const NumberKey& key : numberKeys) {
        if (std::strcmp(name, key.name) == 0) {
            target.*key.field = decimalValue(value);
            return 1;
        }
    }
    if (std::strcmp(name, "min_signal") == 0) {
        target.min_signal = decimalValue(value);
        return 1;
    }
    for (const TextKey& key : textKeys) {
        if (std::strcmp(name, key.name) == 0) {
            try {
                target.*key.field = std::string(value);
            } catch (const std::bad_alloc&) {
                return 0;  // never let an exception cross inih's C frames
            }
            return 1;
        }
    }
    return 0;
}

namespace {

// How far inih has read the file, and the first line that was too long for its buffer.
struct LineCount {
    std::FILE* file;
    int line = 1;
    int firstCut = 0;
};

// inih's reader: what fgets gives (up to `size` - 1 characters, ending after a line end),
// noting a line that does not fit. A line that fills the buffer with only its line end left is
// whole: some inih versions take the rest as pieces of their own, newer ones drop everything up
// to the next line end, and the line end left alone as the next piece keeps the following line
// from being dropped with it. Null at the end.
char* readPiece(char* text, int size, void* stream) {
    LineCount& count = *static_cast<LineCount*>(stream);
    int length = 0;
    for (int c = 0; length < size - 1 && c != '\n' && (c = std::getc(count.file)) != EOF;) {
        text[length++] = static_cast<char>(c);
    }
    if (length == 0) return nullptr;
    text[length] = '\0';
    if (text[length - 1] == '\n') {
        ++count.line;
        return text;
    }
    int next = std::getc(count.file);
    if (next != EOF) {
        std::ungetc(next, count.file);
        if (next != '\n' && count.firstCut == 0) count.firstCut = count.line;
    }
    return text;
}

}  // namespace

int loadConfig(const char* path, Config& target) {
    std::FILE* file = std::fopen(path, "r");
    if (!file) return -1;
    LineCount count{file, 1, 0};
    int result = ini_parse_stream(readPiece, &count, iniHandler, &target);
    std::fclose(file);
    // Asking that no address leave the router needs the count that documents carry instead.
    if (target.count_only == 1) target.count_devices = 1;
    return result < 0 ? result : count.firstCut;
}
