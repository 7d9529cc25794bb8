// Settable clocks for tests of the table, the timers and the reports.
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

// A settable monotonic clock for tests of the timers.
struct FakeMonotonicClock {
    static std::time_t now;
    static std::time_t read() { return now; }
    explicit FakeMonotonicClock(std::time_t start) {
        now = start;
        monotonicClockSource = read;
    }
    ~FakeMonotonicClock() { monotonicClockSource = previous; }
    std::time_t (*previous)() = monotonicClockSource;
};

inline std::time_t FakeMonotonicClock::now = 0;
