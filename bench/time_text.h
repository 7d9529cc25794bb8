// Time texts for the collector's benchmarks.
#pragma once

#include <ctime>
#include <string>

// The time text of `seconds` as the daemon writes it.
inline std::string stamp(long seconds) {
    std::time_t time = seconds;
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S+00:00", std::gmtime(&time));
    return text;
}
