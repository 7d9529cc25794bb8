#include "clock.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

constexpr int64_t kSecond = 1000000000;

timespec readingAt(int64_t nanoseconds) {
    return {static_cast<std::time_t>(nanoseconds / kSecond),
            static_cast<long>(nanoseconds % kSecond)};
}

// Two clocks that started at different parts of a second, read at one instant.
struct PhaseCase {
    const char* name;
    int64_t wallStart;  // nanoseconds each clock showed at the first instant
    int64_t monotonicStart;
};

class Alignment : public ::testing::TestWithParam<PhaseCase> {};

// Through three seconds in steps of a millisecond and around each second's edge in steps of a
// nanosecond, the aligned monotonic seconds step exactly when the wall clock's do.
TEST_P(Alignment, MonotonicSecondsBeginWithTheWallClocks) {
    const PhaseCase& phases = GetParam();
    const long alignment =
        secondsAlignment(readingAt(phases.wallStart), readingAt(phases.monotonicStart));
    ASSERT_GE(alignment, 0);
    ASSERT_LT(alignment, kSecond);
    const auto offset = [&](int64_t instant) {
        return readingAt(phases.wallStart + instant).tv_sec -
               alignedSeconds(readingAt(phases.monotonicStart + instant), alignment);
    };
    const std::time_t first = offset(0);
    int64_t wrong = 0;
    for (int64_t instant = 0; instant < 3 * kSecond; instant += 1000000) {
        wrong += offset(instant) != first;
    }
    const int64_t edge = kSecond - phases.wallStart % kSecond;  // the wall clock's next second
    for (int64_t instant = edge - 1000; instant < edge + 1000; ++instant) {
        wrong += offset(instant) != first;
    }
    EXPECT_EQ(wrong, 0);
}

INSTANTIATE_TEST_SUITE_P(Phases, Alignment,
                         ::testing::Values(PhaseCase{"same", 1700000000 * kSecond, 5000 * kSecond},
                                           PhaseCase{"wall_later", 1700000000 * kSecond + 900000000,
                                                     5000 * kSecond + 100},
                                           PhaseCase{"wall_earlier", 1700000000 * kSecond + 1,
                                                     5000 * kSecond + 999999999},
                                           PhaseCase{"half", 1700000000 * kSecond + 250000000,
                                                     5000 * kSecond + 750000000}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
