// An open-addressing index of the positions of a caller's fixed-capacity pool: linear probing
// over a power-of-two array at least twice the pool's capacity (so probes stay short), each slot
// holding position + 1 (0 is empty). The caller says what a position's key hashes to and whether
// it matches; removal shifts the probe chain back, so no tombstones pile up. No allocation after
// reset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct PositionIndex {
    std::vector<uint32_t> slots;
    std::size_t mask = 0;
};

constexpr uint32_t kNoPositionFound = UINT32_MAX;

// Sizes the index for `capacity` positions, all empty.
inline void resetIndex(PositionIndex& index, std::size_t capacity) {
    std::size_t size = 16;
    while (size < capacity * 2) size *= 2;
    index.slots.assign(size, 0);
    index.mask = size - 1;
}

// The position whose key hashes to `hash` and satisfies `matches(position)`, or
// kNoPositionFound.
template <class Matches>
uint32_t findPosition(const PositionIndex& index, uint64_t hash, Matches matches) {
    for (std::size_t at = hash & index.mask;; at = (at + 1) & index.mask) {
        uint32_t slot = index.slots[at];
        if (slot == 0) return kNoPositionFound;
        if (matches(slot - 1)) return slot - 1;
    }
}

// Adds `position`, whose key hashes to `hash` and is not in the index yet.
inline void insertPosition(PositionIndex& index, uint64_t hash, uint32_t position) {
    std::size_t at = hash & index.mask;
    while (index.slots[at] != 0) at = (at + 1) & index.mask;
    index.slots[at] = position + 1;
}

// Removes `position` (its key hashing to `hash`); `hashOf(position)` gives any other's hash.
template <class HashOf>
void erasePosition(PositionIndex& index, uint64_t hash, uint32_t position, HashOf hashOf) {
    std::size_t hole = hash & index.mask;
    while (index.slots[hole] != position + 1) {
        if (index.slots[hole] == 0) return;
        hole = (hole + 1) & index.mask;
    }
    // Every later entry of the chain that may live in the hole moves into it.
    for (std::size_t at = (hole + 1) & index.mask; index.slots[at] != 0;
         at = (at + 1) & index.mask) {
        std::size_t home = hashOf(index.slots[at] - 1) & index.mask;
        bool reachable = ((at - home) & index.mask) >= ((at - hole) & index.mask);
        if (!reachable) continue;
        index.slots[hole] = index.slots[at];
        index.slots[at] = 0;
        hole = at;
    }
    index.slots[hole] = 0;
}
