// Little-endian words read from bytes whatever the machine's order, and the step that folds a
// word into a keyed 64-bit hash (the table's addresses, the linker's keys, probe fingerprints).
#pragma once

#include <cstdint>

inline uint16_t little16(const uint8_t* at) {
    return static_cast<uint16_t>(at[0] | at[1] << 8);
}

inline uint32_t little32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
           static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

inline uint64_t little64(const uint8_t* at) {
    return little32(at) | uint64_t{little32(at + 4)} << 32;
}

// The multiplication carries a bit only upwards, so a byte that varies must enter low in
// `word` to reach the top bits that place a key in an index.
inline uint64_t foldWord(uint64_t hash, uint64_t word) {
    hash = (hash ^ word) * 0x9E3779B97F4A7C15ull;
    return hash ^ (hash >> 29);
}
