// Any captured bytes, any length on the air: the frame reader stays inside what was captured
// and gives a reading only with a whole address; a probe request's body, its directed SSID and
// the walk over its elements stay inside the frame too.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "capture/frame.h"
#include "table/probe_facts.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    // The first two bytes say how much longer the frame was on the air than captured.
    std::size_t extra = data[0] | data[1] << 8;
    // An exact-size copy, so that the sanitizer sees any read past the captured bytes.
    std::vector<uint8_t> frame(data + 2, data + size);
    FrameFacts facts;
    std::memset(&facts, 0x55, sizeof facts);
    ProbeFacts probe;
    FrameResult result = readFrame(frame.data(), frame.size(), frame.size() + extra, facts, &probe);
    if (result == FrameResult::kRead && facts.isProbe) {
        const uint8_t* end = frame.data() + frame.size();
        if (probe.elements && probe.elements + probe.elementsLength > end) std::abort();
        if (probe.ssid && probe.ssid + probe.ssidLength > end) std::abort();
        if (elementFingerprint(probe) == 0) std::abort();
    }
    if (result != FrameResult::kRead) return 0;
    char text[18];
    formatAddress(facts.address, text);
    if (std::strlen(text) != 17) std::abort();
    if (facts.signal < -128 || facts.signal > 255) std::abort();
    return 0;
}
