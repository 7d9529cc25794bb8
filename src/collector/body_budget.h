#pragma once
// The bodies being received at once, counted by the bytes their buffers hold, in two shares of
// their own: ingest's, which only a router's token opens, and the open one of the routes that
// take a body from anyone else (a reader's calibration). A client without a token thus cannot
// take what the routers need, and within ingest's share one router (holder) takes at most
// perHolder, so that it cannot starve the others.

#include <cstddef>
#include <map>
#include <mutex>
#include <string>

// Where a request's body is counted while it comes, as its route decides from the head.
enum class BodyUse {
    none,     // the route takes no body: one announced is refused before it is read
    open,     // the open share
    trusted,  // ingest's share, within its holder's
};

struct BudgetLimits {
    std::size_t trusted = 32 << 20;    // ingest's bodies at once
    std::size_t perHolder = 16 << 20;  // of them, one holder's
    std::size_t open = 16 << 20;       // the other routes' bodies at once
};

class BodyBudget {
public:
    explicit BodyBudget(const BudgetLimits& limits) : limits_(limits) {}

    // Counts `bytes` more for `holder` in the share of `use`; false, counting nothing, when that
    // would pass the share or the holder's part of it (or `use` takes no body).
    bool take(BodyUse use, const std::string& holder, std::size_t bytes);
    // Gives back `bytes` that take counted for the same use and holder.
    void giveBack(BodyUse use, const std::string& holder, std::size_t bytes);

private:
    BudgetLimits limits_;
    std::mutex lock_;
    std::size_t trusted_ = 0, open_ = 0;
    std::map<std::string, std::size_t> holders_;  // only the holders with a body coming
};
