#include "capture/probe_request.h"

#include <cstring>

namespace {

constexpr std::size_t kHeaderBytes = 24;
constexpr std::size_t kSequenceAt = 22;

constexpr uint8_t kSsid = 0;
constexpr uint8_t kDsParameters = 3;
constexpr uint8_t kVendor = 221;
constexpr uint8_t kExtension = 255;
constexpr uint8_t kFilsRequestParameters = 2;  // an extension element's own number

uint64_t mix(uint64_t hash, uint64_t value) {
    hash = (hash ^ value) * 0x9E3779B97F4A7C15ull;
    return hash ^ (hash >> 29);
}

// Folds `length` bytes into `hash`, eight at a time.
uint64_t mixBytes(uint64_t hash, const uint8_t* bytes, std::size_t length) {
    while (length > 0) {
        uint64_t word = 0;
        std::size_t take = length < 8 ? length : 8;
        for (std::size_t i = 0; i < take; ++i) word |= uint64_t{bytes[i]} << (8 * i);
        hash = mix(hash, word);
        bytes += take;
        length -= take;
    }
    return hash;
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

bool isProbeRequest(const uint8_t* frame, std::size_t captured) {
    return captured >= kHeaderBytes && (frame[0] & 0xFC) == 0x40;
}

void readProbeRequest(const uint8_t* frame, std::size_t captured, ProbeFacts& facts) {
    facts = ProbeFacts{};
    if (captured < kHeaderBytes) return;
    facts.sequence = static_cast<uint16_t>((frame[kSequenceAt] | frame[kSequenceAt + 1] << 8) >> 4);
    uint64_t hash = 0x243F6A8885A308D3ull;
    for (std::size_t at = kHeaderBytes; at + 2 <= captured;) {
        const uint8_t id = frame[at];
        const std::size_t length = frame[at + 1];
        const uint8_t* body = frame + at + 2;
        if (length > captured - at - 2) break;
        at += 2 + length;
        if (id == kSsid && length > 0 && !facts.ssid) {
            facts.ssid = body;
            facts.ssidLength = length;
        }
        switch (fingerprintPart(id, body, length)) {
            case Part::kNothing:
                break;
            case Part::kShape:
                hash = mix(hash, uint64_t{id} | length << 8 | uint64_t{body[0]} << 16 | 1u << 24);
                break;
            case Part::kWhole:
                hash = mixBytes(mix(hash, uint64_t{id} | length << 8), body, length);
                break;
        }
    }
    facts.fingerprint = hash;
}
