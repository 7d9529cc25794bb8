// A settable wall clock for tests of the table and the reports.
#pragma once

#include <ctime>

#include "clock.h"

struct FakeClock {
    static std::time_t now;
    static std::time_t read() { return now; }
    explicit FakeClock(std::time_t start) {
        now = start;
        wallClockSource = read;
    }
    ~FakeClock() { wallClockSource = previous; }
    std::time_t (*previous)() = wallClockSource;
};

inline std::time_t FakeClock::now = 0;
