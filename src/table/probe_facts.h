// What a probe request's body says about the phone that sent it, as the device linker uses it.
#pragma once

#include <cstddef>
#include <cstdint>

struct ProbeFacts {
    uint16_t sequence = 0;          // the 12-bit sequence number
    uint64_t fingerprint = 0;       // the elements that stay the same across address changes
    const uint8_t* ssid = nullptr;  // a directed SSID inside the frame, or null (wildcard)
    std::size_t ssidLength = 0;
};
