#include "clock.h"

#include <atomic>

namespace {
std::time_t systemClock() {
    return std::time(nullptr);
}

std::time_t steadyClock() {
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec;
}
}  // namespace

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
