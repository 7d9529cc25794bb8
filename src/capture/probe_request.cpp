#include "capture/probe_request.h"

namespace {

constexpr std::size_t kHeaderBytes = 24;
constexpr std::size_t kSequenceAt = 22;
constexpr uint8_t kSsid = 0;

}  // namespace

bool isProbeRequest(const uint8_t* frame, std::size_t captured) {
    return captured >= kHeaderBytes && (frame[0] & 0xFC) == 0x40;
}

void readProbeRequest(const uint8_t* frame, std::size_t captured, ProbeFacts& facts) {
    facts = ProbeFacts{};
    if (captured < kHeaderBytes) return;
    facts.sequence = static_cast<uint16_t>((frame[kSequenceAt] | frame[kSequenceAt + 1] << 8) >> 4);
    facts.elements = frame + kHeaderBytes;
    facts.elementsLength = captured - kHeaderBytes;
    // The SSID comes first; a wildcard one is empty.
    const uint8_t* first = facts.elements;
    if (facts.elementsLength >= 2 && first[0] == kSsid && first[1] > 0 &&
        first[1] <= facts.elementsLength - 2) {
        facts.ssid = first + 2;
        facts.ssidLength = first[1];
    }
}
