#include "clock.h"

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
