// Statistics over zero-terminated value lists: the members are the slots before the first 0.
#pragma once

#include <cstdint>

constexpr int kHistorySlots = 15;  // at most 14 members; the last slot always holds 0

// `sorted` receives the members of `values` in ascending order, then zeros.
void sort(const int32_t* values, int32_t* sorted);
double mean(const int32_t* list);
// Population variance around the mean.
double variance(const int32_t* list);
double stddev(const int32_t* list);
// The middle member; for an even count the halved sum of the two middle ones, plus 0.5 and
// truncated again (so a negative halved sum moves up by one).
int32_t median(const int32_t* list);
// Keeps, in their order, only the members within one standard deviation of the median, both
// bounds included; lists of fewer than 8 members are left alone.
void gaussFilter(int32_t* list);

// Number of members of a value list.
int memberCount(const int32_t* list);
