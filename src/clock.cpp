#include "clock.h"

#include <atomic>

namespace {
// The clocks as of the kernel's latest tick: cheap to read, which matters at every frame, and
// moved on together at each tick, so that the part of a second between them holds exactly.
// The wall clock's seconds are those time() shows where the C library reads that clock.
constexpr clockid_t kWall = CLOCK_REALTIME_COARSE;
constexpr clockid_t kMonotonic = CLOCK_MONOTONIC_COARSE;

timespec reading(clockid_t clock) {
    timespec now = {};
    clock_gettime(clock, &now);
    return now;
}

std::time_t systemClock() {
    return reading(kWall).tv_sec;
}

// secondsAlignment of the clocks as they stand: the monotonic one read between two equal
// readings of the wall clock, so both are of one tick.
long alignmentNow() {
    timespec wall = reading(kWall), monotonic = reading(kMonotonic), after = reading(kWall);
    for (int tries = 0; tries < 8 && (after.tv_sec != wall.tv_sec || after.tv_nsec != wall.tv_nsec);
         ++tries) {
        wall = after;
        monotonic = reading(kMonotonic);
        after = reading(kWall);
    }
    return secondsAlignment(wall, monotonic);
}

// Set once, before any thread but the first runs.
const long monotonicAlignment = alignmentNow();

std::time_t steadyClock() {
    return alignedSeconds(reading(kMonotonic), monotonicAlignment);
}
}  // namespace

long secondsAlignment(const timespec& wall, const timespec& monotonic) {
    const long difference = wall.tv_nsec - monotonic.tv_nsec;
    return difference < 0 ? difference + 1000000000L : difference;
}

std::time_t (*wallClockSource)() = systemClock;
std::time_t (*monotonicClockSource)() = steadyClock;
std::time_t (*machineClockSource)() = steadyClock;

namespace {
std::atomic<std::time_t> recordedTime{0};

std::time_t recordedClock() {
    return recordedTime.load(std::memory_order_relaxed);
}
}  // namespace

void followRecordedTime() {
    recordedTime.store(systemClock());
    wallClockSource = recordedClock;
    monotonicClockSource = recordedClock;
}

void setRecordedTime(std::time_t second) {
    recordedTime.store(second, std::memory_order_relaxed);
}
