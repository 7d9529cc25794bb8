#include "collector/body_budget.h"

bool BodyBudget::take(BodyUse use, const std::string& holder, std::size_t bytes) {
    std::lock_guard<std::mutex> guard(lock_);
    if (use == BodyUse::open) {
        if (bytes > limits_.open - open_) return false;
        open_ += bytes;
        return true;
    }
    if (use != BodyUse::trusted || bytes > limits_.trusted - trusted_) return false;
    std::size_t& held = holders_[holder];
    if (bytes > limits_.perHolder - held) {
        if (held == 0) holders_.erase(holder);
        return false;
    }
    held += bytes;
    trusted_ += bytes;
    return true;
}

void BodyBudget::giveBack(BodyUse use, const std::string& holder, std::size_t bytes) {
    std::lock_guard<std::mutex> guard(lock_);
    if (use == BodyUse::open) {
        open_ -= bytes;
        return;
    }
    if (use != BodyUse::trusted) return;
    trusted_ -= bytes;
    auto found = holders_.find(holder);
    if (found == holders_.end()) return;
    found->second -= bytes;
    if (found->second == 0) holders_.erase(found);
}
