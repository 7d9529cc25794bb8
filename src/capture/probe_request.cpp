#include "capture/probe_request.h"

namespace {

constexpr std::size_t kHeaderBytes = 24;
constexpr std::size_t kSequenceAt = 22;
constexpr std::size_t kHtControlBytes = 4;  // after the sequence, when the Order bit is set
constexpr uint8_t kOrderBit = 0x80;         // in the second byte of the frame control
constexpr uint8_t kSsid = 0;

}  // namespace

bool isProbeRequest(const uint8_t* frame, std::size_t captured) {
    return captured >= kHeaderBytes && (frame[0] & 0xFC) == 0x40;
}

void readProbeRequest(const uint8_t* frame, std::size_t captured, ProbeFacts& facts) {
    facts = ProbeFacts{};
    if (captured < kHeaderBytes) return;
    facts.sequence = static_cast<uint16_t>((frame[kSequenceAt] | frame[kSequenceAt + 1] << 8) >> 4);
    const std::size_t header = kHeaderBytes + (frame[1] & kOrderBit ? kHtControlBytes : 0);
    if (captured < header) return;
    facts.elements = frame + header;
    facts.elementsLength = captured - header;
    // The SSID comes first; a wildcard one is empty.
    const uint8_t* first = facts.elements;
    if (facts.elementsLength >= 2 && first[0] == kSsid && first[1] > 0 &&
        first[1] <= facts.elementsLength - 2) {
        facts.ssid = first + 2;
        facts.ssidLength = first[1];
    }
}
