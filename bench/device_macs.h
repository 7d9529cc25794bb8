// Distinct device addresses for the benchmarks, written as a capture line carries them.
#pragma once

#include <cstdint>
#include <cstring>

// "02:" and five hex bytes of a scrambled `i` (an odd multiplier keeps them distinct).
inline void writeMac(uint32_t i, char* mac) {
    static const char hex[] = "0123456789abcdef";
    uint64_t bits = uint64_t{i} * 2654435761u;
    std::memcpy(mac, "02:00:00:00:00:00", 18);
    for (int byte = 0; byte < 5; ++byte) {
        mac[3 + 3 * byte] = hex[bits >> (8 * byte + 4) & 0xf];
        mac[4 + 3 * byte] = hex[bits >> (8 * byte) & 0xf];
    }
}
