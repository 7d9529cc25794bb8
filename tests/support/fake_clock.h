// Settable clocks for tests of the table, the timers and the reports.
#pragma once

#include <ctime>

#include "clock.h"

// Points the clock `source` reads at a settable time for the life of the object.
template <std::time_t (**source)()>
struct SettableClock {
    static inline std::time_t now = 0;
    static std::time_t read() { return now; }
    explicit SettableClock(std::time_t start) {
        now = start;
        *source = read;
    }
    ~SettableClock() { *source = previous; }
    std::time_t (*previous)() = *source;
};

using FakeClock = SettableClock<&wallClockSource>;
// A settable monotonic clock for tests of the timers.
using FakeMonotonicClock = SettableClock<&monotonicClockSource>;
// A settable machine clock for what is paced by real time while a recording is read.
using FakeMachineClock = SettableClock<&machineClockSource>;

// Points the monotonic clock at FakeClock's time for the life of the object: the two move
// together, as they do while nobody steps the wall clock.
struct SteadyFakeClocks : FakeClock {
    explicit SteadyFakeClocks(std::time_t start) : FakeClock(start) {
        monotonicClockSource = FakeClock::read;
    }
    ~SteadyFakeClocks() { monotonicClockSource = previousMonotonic; }
    std::time_t (*previousMonotonic)() = monotonicClockSource;
};
