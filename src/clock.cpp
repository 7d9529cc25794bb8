#include "clock.h"

#include <atomic>
#include <cstdint>

namespace {
constexpr long kNanoseconds = 1000000000L;

// CLOCK_REALTIME's seconds, not time()'s: the C library may read those from a clock updated at
// the kernel's tick, whose seconds begin up to a tick late.
std::time_t systemClock() {
    timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec;
}

int64_t nanoseconds(const timespec& reading) {
    return int64_t{reading.tv_sec} * kNanoseconds + reading.tv_nsec;
}

// secondsAlignment of the clocks as they stand: the monotonic one read on either side of the
// wall clock, the middle of the two taken.
long alignmentNow() {
    timespec before = {}, wall = {}, after = {};
    clock_gettime(CLOCK_MONOTONIC, &before);
    clock_gettime(CLOCK_REALTIME, &wall);
    clock_gettime(CLOCK_MONOTONIC, &after);
    const int64_t middle = nanoseconds(before) + (nanoseconds(after) - nanoseconds(before)) / 2;
    const timespec monotonic = {static_cast<std::time_t>(middle / kNanoseconds),
                                static_cast<long>(middle % kNanoseconds)};
    return secondsAlignment(wall, monotonic);
}

// Set once, before any thread but the first runs.
const long monotonicAlignment = alignmentNow();

std::time_t steadyClock() {
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return alignedSeconds(now, monotonicAlignment);
}
}  // namespace

long secondsAlignment(const timespec& wall, const timespec& monotonic) {
    const long difference = wall.tv_nsec - monotonic.tv_nsec;
    return difference < 0 ? difference + kNanoseconds : difference;
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
