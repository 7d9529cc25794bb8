#include "table/probe_facts.h"

#include <algorithm>
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

// Bytes folded into a hash eight at a time, in the machine's own order (fingerprints are only
// compared within one run). A word left part full waits for the next bytes, so that leaving an
// element out folds the same words as a frame that never had it.
struct ByteFold {
    uint64_t hash;
    uint64_t word = 0;
    std::size_t filled = 0;  // bytes of `word` taken
    std::size_t total = 0;
};

void fold(ByteFold& fold, const uint8_t* bytes, std::size_t length) {
    fold.total += length;
    while (length > 0) {
        const std::size_t take = std::min(length, sizeof fold.word - fold.filled);
        std::memcpy(reinterpret_cast<uint8_t*>(&fold.word) + fold.filled, bytes, take);
        fold.filled += take;
        bytes += take;
        length -= take;
        if (fold.filled < sizeof fold.word) return;
        fold.hash = mix(fold.hash, fold.word);
        fold.filled = 0;
    }
}

uint64_t finish(ByteFold& fold) {
    if (fold.filled > 0) {
        std::memset(reinterpret_cast<uint8_t*>(&fold.word) + fold.filled, 0,
                    sizeof fold.word - fold.filled);
        fold.hash = mix(fold.hash, fold.word);
    }
    return mix(fold.hash, fold.total);
}

// What of an element goes into the fingerprint.
enum class Part { kNothing, kShape, kWhole };

// The SSID and the channel say where the phone is and what it looks for, not what it is; the
// body of vendor element 00:50:f2 type 8 and the FILS request parameters are drawn anew for each
// address, so only their presence and length count. Every other element describes the phone: all of
// it counts.
Part fingerprintPart(uint8_t id, const uint8_t* body, std::size_t length) {
    if (id == kSsid || id == kDsParameters) return Part::kNothing;
    static const uint8_t kPerAddress[] = {0x00, 0x50, 0xf2, 0x08};
    if (id == kVendor && length >= 4 && std::memcmp(body, kPerAddress, 4) == 0) return Part::kShape;
    if (id == kExtension && length >= 1 && body[0] == kFilsRequestParameters) return Part::kShape;
    return Part::kWhole;
}

}  // namespace

uint64_t elementFingerprint(const ProbeFacts& probe) {
    const uint8_t* const elements = probe.elements;
    const std::size_t length = probe.elementsLength;
    ByteFold bytes{0x243F6A8885A308D3ull};
    std::size_t at = 0;
    while (at + 2 <= length) {
        const uint8_t id = elements[at];
        const std::size_t size = elements[at + 1];
        const uint8_t* body = elements + at + 2;
        if (size > length - at - 2) break;
        switch (fingerprintPart(id, body, size)) {
            case Part::kWhole:
                fold(bytes, elements + at, 2 + size);
                break;
            case Part::kShape: {
                const uint8_t shape[] = {id, static_cast<uint8_t>(size), body[0], 0xFF};
                fold(bytes, shape, sizeof shape);
                break;
            }
            case Part::kNothing:
                break;
        }
        at += 2 + size;
    }
    const uint64_t hash = finish(bytes);
    return hash ? hash : 1;
}
