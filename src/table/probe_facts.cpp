#include "table/probe_facts.h"

#include <cstring>

namespace {

constexpr uint8_t kSsid = 0;
constexpr uint8_t kDsParameters = 3;
constexpr uint8_t kVendor = 221;
constexpr uint8_t kExtension = 255;
constexpr uint8_t kFilsRequestParameters = 2;  // an extension element's own number

uint64_t mix(uint64_t hash, uint64_t value) {
    hash = (hash ^ value) * 0x9E3779B97F4A7C15ull;
    return hash ^ (hash >> 29);
}

// Folds `length` bytes into `hash`, eight at a time in the machine's own order: fingerprints
// are only compared within one run.
uint64_t mixBytes(uint64_t hash, const uint8_t* bytes, std::size_t length) {
    uint64_t word;
    for (; length >= 8; bytes += 8, length -= 8) {
        std::memcpy(&word, bytes, 8);
        hash = mix(hash, word);
    }
    if (length == 0) return hash;
    word = 0;
    std::memcpy(&word, bytes, length);
    return mix(hash, word);
}

// What of an element goes into the fingerprint.
enum class Part { kNothing, kShape, kWhole };

// The SSID and the channel say where the phone is and what it looks for, not what it is; a
// WPS element's body and the FILS request parameters are drawn anew for each address, so only
// their presence and length count. Every other element describes the phone: all of it counts.
Part fingerprintPart(uint8_t id, const uint8_t* body, std::size_t length) {
    if (id == kSsid || id == kDsParameters) return Part::kNothing;
    static const uint8_t kWps[] = {0x00, 0x50, 0xf2, 0x08};
    if (id == kVendor && length >= 4 && std::memcmp(body, kWps, 4) == 0) return Part::kShape;
    if (id == kExtension && length >= 1 && body[0] == kFilsRequestParameters) return Part::kShape;
    return Part::kWhole;
}

}  // namespace

uint64_t elementFingerprint(const ProbeFacts& probe) {
    const uint8_t* const elements = probe.elements;
    const std::size_t length = probe.elementsLength;
    uint64_t hash = 0x243F6A8885A308D3ull;
    // Whole elements in a row are folded as one run of bytes, headers included.
    std::size_t run = 0;
    std::size_t at = 0;
    while (at + 2 <= length) {
        const uint8_t id = elements[at];
        const std::size_t size = elements[at + 1];
        const uint8_t* body = elements + at + 2;
        if (size > length - at - 2) break;
        Part part = fingerprintPart(id, body, size);
        if (part != Part::kWhole) {
            hash = mixBytes(hash, elements + run, at - run);
            if (part == Part::kShape) {
                hash = mix(hash, uint64_t{id} | size << 8 | uint64_t{body[0]} << 16 | 1u << 24);
            }
            run = at + 2 + size;
        }
        at += 2 + size;
    }
    hash = mix(mixBytes(hash, elements + run, at - run), at - run);
    return hash ? hash : 1;
}
