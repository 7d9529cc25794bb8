// The wall clock, behind one seam so tests can set the time.
#pragma once

#include <ctime>

// Where wallClock() reads the time; the system clock unless a test points it elsewhere.
extern std::time_t (*wallClockSource)();

// Seconds since the Unix epoch.
inline std::time_t wallClock() {
    return wallClockSource();
}
