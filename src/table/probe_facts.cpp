#include "table/probe_facts.h"

#include <cstring>

#include "bytes.h"

namespace {

constexpr uint8_t kSsid = 0;
constexpr uint8_t kDsParameters = 3;
constexpr uint8_t kHtCapabilities = 45;
constexpr uint8_t kVendor = 221;
constexpr uint8_t kExtension = 255;
constexpr uint8_t kFilsRequestParameters = 2;  // an extension element's own number

// The `length` bytes (1 to 8) at `at` as a little-endian word; `room` bytes there may be read.
uint64_t lastWord(const uint8_t* at, std::size_t length, std::size_t room) {
    if (room >= 8) {
        const uint64_t word = little64(at);
        return length == 8 ? word : word & ((uint64_t{1} << 8 * length) - 1);
    }
    uint64_t word = 0;
    for (std::size_t i = length; i-- > 0;) word = word << 8 | at[i];
    return word;
}

// Folds one element (header and body, `length` bytes, `room` readable from `at`) into `hash`,
// eight bytes at a time, its first word's bits outside `keep` left out. Each element starts a
// word of its own, so leaving one out changes nothing of the others.
uint64_t foldElement(uint64_t hash, const uint8_t* at, std::size_t length, std::size_t room,
                     uint64_t keep = ~uint64_t{0}) {
    if (length <= 8) return foldWord(hash, lastWord(at, length, room) & keep);
    hash = foldWord(hash, little64(at) & keep);
    for (at += 8, length -= 8, room -= 8; length > 8; at += 8, length -= 8, room -= 8) {
        hash = foldWord(hash, little64(at));
    }
    return foldWord(hash, lastWord(at, length, room));
}

// The HT capabilities' power-state bits, in the element's first word (id, length, then the
// capability field): SM power save (bits 2-3) and 40 MHz intolerant (bit 14). A phone sets them
// as its battery and screen go, so they tell its state, not its kind.
constexpr uint64_t kHtPowerState = uint64_t{0x0C} << 16 | uint64_t{0x40} << 24;

// What of an element goes into the fingerprint.
enum class Part { kNothing, kShape, kWhole, kHtKind };

// The SSID and the channel say where the phone is and what it looks for, not what it is; the
// body of vendor element 00:50:f2 type 8 and the FILS request parameters are drawn anew for each
// address, so only their presence and length count; HT capabilities count but for their
// power-state bits. Every other element describes the phone: all of it counts.
Part fingerprintPart(uint8_t id, const uint8_t* body, std::size_t length) {
    if (id == kSsid || id == kDsParameters) return Part::kNothing;
    static const uint8_t kPerAddress[] = {0x00, 0x50, 0xf2, 0x08};
    if (id == kVendor && length >= 4 && std::memcmp(body, kPerAddress, 4) == 0) return Part::kShape;
    if (id == kExtension && length >= 1 && body[0] == kFilsRequestParameters) return Part::kShape;
    if (id == kHtCapabilities) return Part::kHtKind;
    return Part::kWhole;
}

}  // namespace

uint64_t elementFingerprint(const ProbeFacts& probe) {
    const uint8_t* const elements = probe.elements;
    const std::size_t length = probe.elementsLength;
    uint64_t hash = 0x243F6A8885A308D3ull;
    std::size_t at = 0;
    while (at + 2 <= length) {
        const uint8_t id = elements[at];
        const std::size_t size = elements[at + 1];
        const uint8_t* body = elements + at + 2;
        if (size > length - at - 2) break;
        switch (fingerprintPart(id, body, size)) {
            case Part::kWhole:
                hash = foldElement(hash, elements + at, 2 + size, length - at);
                break;
            case Part::kHtKind:
                hash = foldElement(hash, elements + at, 2 + size, length - at, ~kHtPowerState);
                break;
            case Part::kShape:
                hash =
                    foldWord(hash, uint64_t{id} | size << 8 | uint64_t{body[0]} << 16 | 1ull << 63);
                break;
            case Part::kNothing:
                break;
        }
        at += 2 + size;
    }
    return hash ? hash : 1;
}
