#include "report/dates.h"

namespace {

// Writes `time` with `format` in UTC or local time; an empty text when it cannot be split.
void formatTime(char* buffer, std::size_t size, std::time_t time, bool utc, const char* format) {
    std::tm parts;
    if (size > 0) buffer[0] = '\0';
    if (utc ? gmtime_r(&time, &parts) : localtime_r(&time, &parts)) {
        std::strftime(buffer, size, format, &parts);
    }
}

}  // namespace

int dateJSON(char* buffer, std::size_t size, std::time_t time) {
    formatTime(buffer, size, time, true, "%Y-%m-%dT%H:%M:%S+00:00");
    return 0;
}

int formatUtcDay(char* buffer, std::size_t size, std::time_t time) {
    formatTime(buffer, size, time, true, "%Y-%m-%d");
    return 0;
}

int dateFormat(char* buffer, std::size_t size, std::time_t time) {
    formatTime(buffer, size, time, false, "%Y-%m-%d %H:%M:%S");
    return 0;
}
