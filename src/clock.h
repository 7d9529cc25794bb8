// The clocks, behind small seams so tests can set the time: the wall clock for the times that
// documents carry, the monotonic clock for pacing, which a step of the wall clock leaves alone.
#pragma once

#include <ctime>

// Where wallClock() reads the time; the system clock unless a test points it elsewhere.
extern std::time_t (*wallClockSource)();

// Seconds since the Unix epoch.
inline std::time_t wallClock() {
    return wallClockSource();
}

// Where monotonicClock() reads the time; CLOCK_MONOTONIC (its seconds aligned with the wall
// clock's) unless a test points it elsewhere.
extern std::time_t (*monotonicClockSource)();

// Whole seconds since an arbitrary start; never set, never stepped. They begin at the instants
// the wall clock's seconds began at start, so that a record heard in one wall-clock second and a
// pruning pass in the same second see the same monotonic second (until the wall clock is set).
inline std::time_t monotonicClock() {
    return monotonicClockSource();
}

// Where machineClock() reads the time; CLOCK_MONOTONIC unless a test points it elsewhere.
extern std::time_t (*machineClockSource)();

// Whole seconds of the machine's own monotonic clock, which a recording's time never replaces:
// what paces retries while a recording is read faster than it was made.
inline std::time_t machineClock() {
    return machineClockSource();
}

// The nanoseconds (0 to 999,999,999) by which a monotonic reading is moved on so that its
// seconds begin when the wall clock's do, from a reading of each taken at one instant.
long secondsAlignment(const timespec& wall, const timespec& monotonic);

// The whole seconds of the monotonic `reading` moved on by `alignment` (secondsAlignment's).
inline std::time_t alignedSeconds(const timespec& reading, long alignment) {
    return reading.tv_sec + (reading.tv_nsec >= 1000000000L - alignment ? 1 : 0);
}

// Points both clocks at a recording's own time, which then moves only by setRecordedTime: the
// reports, the pruning and the times written follow the recording, not the machine.
void followRecordedTime();

// Sets the recording's time (seconds since the Unix epoch) that both clocks read.
void setRecordedTime(std::time_t second);
