#include "stop.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(Stop, AThreadHoldsOneSlotHoweverOftenItClaims) {
    int outer = claimCommandSlot();
    ASSERT_GE(outer, 0);
    {
        CleanupHold inner;
        EXPECT_EQ(inner.slot, outer);
        publishCommandGroup(inner.slot, 12345);
    }
    int other = -1;
    std::thread([&] {
        CleanupHold hold;
        other = hold.slot;
    }).join();
    EXPECT_GE(other, 0);
    EXPECT_NE(other, outer);
    releaseCommandSlot(outer);
    EXPECT_FALSE(stopRequested());
    endIfStopRequested();  // without a stop: returns
}

}  // namespace
