// The bodies in flight: ingest's share and the open one apart, one router's part of ingest's
// bounded, and what is given back taken again.
#include "collector/body_budget.h"

#include <gtest/gtest.h>

namespace {

struct Step {
    bool take;  // else give back
    BodyUse use;
    const char* holder;
    std::size_t bytes;
    bool taken;  // what take answers
};

TEST(BodyBudget, SharesAndHolders) {
    const struct {
        const char* name;
        std::vector<Step> steps;
    } cases[] = {
        {"the open share full leaves ingest's",
         {{true, BodyUse::open, "", 100, true},
          {true, BodyUse::open, "", 1, false},
          {true, BodyUse::trusted, "north", 100, true}}},
        {"one router at most its part",
         {{true, BodyUse::trusted, "south", 100, true},
          {true, BodyUse::trusted, "south", 1, false},
          {true, BodyUse::trusted, "north", 100, true},
          {true, BodyUse::trusted, "east", 1, false}}},
        {"given back, taken again",
         {{true, BodyUse::trusted, "south", 100, true},
          {false, BodyUse::trusted, "south", 60, true},
          {true, BodyUse::trusted, "south", 60, true},
          {false, BodyUse::open, "", 0, true},
          {true, BodyUse::open, "", 100, true},
          {false, BodyUse::open, "", 100, true},
          {true, BodyUse::open, "", 100, true}}},
        {"a route without a body takes nothing", {{true, BodyUse::none, "", 1, false}}},
        {"a refused take counts nothing",
         {{true, BodyUse::trusted, "south", 101, false},
          {true, BodyUse::trusted, "south", 100, true},
          {true, BodyUse::trusted, "north", 100, true}}},
    };
    for (const auto& c : cases) {
        BodyBudget budget(BudgetLimits{200, 100, 100});
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const Step& s = c.steps[i];
            if (s.take) {
                EXPECT_EQ(budget.take(s.use, s.holder, s.bytes), s.taken) << c.name << " " << i;
            } else {
                budget.giveBack(s.use, s.holder, s.bytes);
            }
        }
    }
    BodyBudget budget(BudgetLimits{200, 100, 100});
    ASSERT_TRUE(budget.take(BodyUse::trusted, "north", 70));
    ASSERT_TRUE(budget.take(BodyUse::open, "", 30));
    EXPECT_EQ(budget.taken(BodyUse::trusted), 70u);
    EXPECT_EQ(budget.taken(BodyUse::open), 30u);
    budget.giveBack(BodyUse::trusted, "north", 70);
    EXPECT_EQ(budget.taken(BodyUse::trusted), 0u);
}

}  // namespace
