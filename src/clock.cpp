#include "clock.h"

namespace {
std::time_t systemClock() {
    return std::time(nullptr);
}
}  // namespace

std::time_t (*wallClockSource)() = systemClock;
