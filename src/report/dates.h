// The two ways the reports write a time.
#pragma once

#include <cstddef>
#include <ctime>

// `time` in UTC as "%Y-%m-%dT%H:%M:%S+00:00", for the document. Always 0.
int dateJSON(char* buffer, std::size_t size, std::time_t time);

// The UTC day of `time` as "YYYY-MM-DD". Always 0.
int formatUtcDay(char* buffer, std::size_t size, std::time_t time);

// `time` in local time as "%Y-%m-%d %H:%M:%S", for the console table. Always 0.
int dateFormat(char* buffer, std::size_t size, std::time_t time);
