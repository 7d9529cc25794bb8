#include "table/signal_filter.h"

#include <cmath>
#include <cstring>

namespace {
constexpr int kMaxMembers = kHistorySlots - 1;
constexpr int kFilterMinimum = 8;
}  // namespace

int memberCount(const int32_t* list) {
    int n = 0;
    while (n < kMaxMembers && list[n] != 0) ++n;
    return n;
}

void sort(const int32_t* values, int32_t* sorted) {
    int n = memberCount(values);
    std::memset(sorted, 0, kHistorySlots * sizeof *sorted);
    std::memcpy(sorted, values, n * sizeof *sorted);
    for (int i = 0; i + 1 < n; ++i) {
        for (int j = 0; j + 1 < n - i; ++j) {
            if (sorted[j + 1] < sorted[j]) {
                int32_t lower = sorted[j + 1];
                sorted[j + 1] = sorted[j];
                sorted[j] = lower;
            }
        }
    }
}

double mean(const int32_t* list) {
    int n = memberCount(list);
    double sum = 0;
    for (int i = 0; i < n; ++i) sum += list[i];
    return sum / n;
}

double variance(const int32_t* list) {
    int n = memberCount(list);
    double m = mean(list);
    double sum = 0;
    for (int i = 0; i < n; ++i) sum += (list[i] - m) * (list[i] - m);
    return sum / n;
}

double stddev(const int32_t* list) {
    return std::sqrt(variance(list));
}

int32_t median(const int32_t* list) {
    int32_t sorted[kHistorySlots];
    sort(list, sorted);
    int n = memberCount(sorted);
    if (n % 2 == 1) return sorted[n / 2];
    // 64-bit sum: two extreme members must not overflow.
    int64_t halved = (int64_t{sorted[n / 2 - 1]} + sorted[n / 2]) / 2;
    return static_cast<int32_t>(halved + 0.5);
}

void gaussFilter(int32_t* list) {
    int n = memberCount(list);
    if (n < kFilterMinimum) return;
    int32_t scratch[kHistorySlots];
    std::memcpy(scratch, list, sizeof scratch);
    std::memset(list, 0, sizeof scratch);
    double med = median(scratch);
    double sd = stddev(scratch);
    int kept = 0;
    for (int i = 0; i < n; ++i) {
        if (med - sd <= scratch[i] && scratch[i] <= med + sd) list[kept++] = scratch[i];
    }
}
