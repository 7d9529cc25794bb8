// An open-addressing index from keys to Positions that stores no key: each slot holds a
// Position + 1 in its low bits (0: empty) and the top of the key's hash in the rest, so most
// probes settle without touching a record. Its size is a power of two larger than the positions
// in use (indexSlotsFor). The caller owns the keys: it hashes them to 64 bits (keyed, e.g. with
// randomHashKey, so crafted keys cannot pile up in one slot), says whether the record at a
// position holds the key sought (`same(Position) -> bool`), and what the key at a position
// hashes to (`hashAt(Position) -> uint64_t`) when an erase moves it. Lookups may run while
// nothing changes it; the caller serialises changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "table/position.h"

struct AddressIndex {
    std::vector<uint32_t> slots;  // empty: lost to a failed resize, to be refilled
};

// The part of a 64-bit hash the index uses: its top 32 bits.
inline uint32_t slotHash(uint64_t hash) {
    return static_cast<uint32_t>(hash >> 32);
}

// The low bits of a slot that hold position + 1; the rest hold the hash's tag.
inline uint32_t positionMask(const AddressIndex& index) {
    return static_cast<uint32_t>(index.slots.size() - 1);
}

// Starts bringing the slot of `hash` into the cache, ahead of a lookup.
inline void prefetchSlot(const AddressIndex& index, uint64_t hash) {
    if (!index.slots.empty())
        __builtin_prefetch(&index.slots[slotHash(hash) & positionMask(index)]);
}

// Slot of the key `same` recognises, or of the empty slot where it would go.
template <class Same>
std::size_t findSlot(const AddressIndex& index, uint64_t hash, Same same) {
    const uint32_t mask = positionMask(index);
    const uint32_t h = slotHash(hash);
    for (std::size_t slot = h & mask;; slot = (slot + 1) & mask) {
        uint32_t held = index.slots[slot];
        if (held == 0) return slot;
        if ((held & ~mask) == (h & ~mask) && same((held & mask) - 1)) return slot;
    }
}

// Position of the key `same` recognises, or kNoPosition.
template <class Same>
Position lookup(const AddressIndex& index, uint64_t hash, Same same) {
    uint32_t held = index.slots[findSlot(index, hash, same)];
    return held == 0 ? kNoPosition : (held & positionMask(index)) - 1;
}

// Adds the key at `at`, whose hash is `hash`; the key must not be in the index yet.
inline void insert(AddressIndex& index, uint64_t hash, Position at) {
    const uint32_t mask = positionMask(index);
    const uint32_t h = slotHash(hash);
    std::size_t slot = h & mask;
    while (index.slots[slot] != 0) slot = (slot + 1) & mask;
    index.slots[slot] = (h & ~mask) | (at + 1);
}

// Takes the key at `at` (hash `hash`) out, moving later members of its probe run back so that
// every lookup still finds them.
template <class HashAt>
void erase(AddressIndex& index, uint64_t hash, Position at, HashAt hashAt) {
    const uint32_t mask = positionMask(index);
    std::size_t hole = slotHash(hash) & mask;
    while (index.slots[hole] != 0 && (index.slots[hole] & mask) != at + 1) hole = (hole + 1) & mask;
    index.slots[hole] = 0;
    for (std::size_t slot = (hole + 1) & mask; index.slots[slot] != 0; slot = (slot + 1) & mask) {
        uint32_t held = index.slots[slot];
        std::size_t home = slotHash(hashAt((held & mask) - 1)) & mask;
        // Move it into the hole unless its home lies cyclically in (hole, slot].
        bool homeAfterHole =
            hole <= slot ? (home > hole && home <= slot) : (home > hole || home <= slot);
        if (homeAfterHole) continue;
        index.slots[hole] = held;
        index.slots[slot] = 0;
        hole = slot;
    }
}

// Empties every slot, keeping the size.
void clearSlots(AddressIndex& index);

// Index size for `keys` keys among `positions` positions: a power of two that keeps the index
// at most three quarters full and has room for every position + 1 in its low bits;
// std::bad_alloc when no bits would be left for a tag.
std::size_t indexSlotsFor(std::size_t keys, std::size_t positions);

// Makes the index `size` empty slots. Where memory is short the old slots go first; when even
// then there is no room, the index is left at its old size, emptied (or with no slots, lost,
// when that cannot be had back either), and std::bad_alloc thrown. Refill it either way.
void resizeSlots(AddressIndex& index, std::size_t size);

// Makes the index `size` slots when that is fewer and memory for them can be had; otherwise
// keeps the slots it has. Cannot fail. Refill it afterwards.
void shrinkSlots(AddressIndex& index, std::size_t size);

// A key for a table's hash, random per table where the system gives randomness.
uint64_t randomHashKey();
