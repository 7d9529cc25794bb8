// What a probe request's body says about the phone that sent it, as the device linker uses it,
// and the fingerprint of its information elements.
#pragma once

#include <cstddef>
#include <cstdint>

struct ProbeFacts {
    uint16_t sequence = 0;              // the 12-bit sequence number
    const uint8_t* elements = nullptr;  // the information elements, inside the frame
    std::size_t elementsLength = 0;
    const uint8_t* ssid = nullptr;  // a directed SSID inside the frame, or null (wildcard)
    std::size_t ssidLength = 0;
};

// A 64-bit fingerprint (never 0) of the elements that stay the same across a phone's address
// changes. The walk checks every length; an element cut short ends it, so the fingerprint holds
// the whole elements before it. Comparable only within one run.
uint64_t elementFingerprint(const ProbeFacts& probe);
