// The frame reader on hand-made bytes: what the recordings in the end-to-end tests do not reach.
#include "capture/frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// A radiotap header of presence words `words` and field bytes `fields` (placed as given).
Bytes radiotap(const std::vector<uint32_t>& words, const Bytes& fields) {
    std::size_t length = 4 + 4 * words.size() + fields.size();
    Bytes out{0, 0, static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8)};
    for (uint32_t word : words) {
        for (int shift = 0; shift < 32; shift += 8)
            out.push_back(static_cast<uint8_t>(word >> shift));
    }
    out.insert(out.end(), fields.begin(), fields.end());
    return out;
}

// A probe request from 02:00:00:00:00:01 (24-byte header, no body).
Bytes probe() {
    Bytes frame(24, 0);
    frame[0] = 0x40;
    frame[10] = 0x02;
    frame[15] = 0x01;
    return frame;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct Case {
    const char* name;
    Bytes bytes;
    std::size_t cut;     // bytes captured less than the whole
    std::size_t length;  // on the air; 0: as captured
    FrameResult result;
    int32_t signal;
};

constexpr uint32_t kDbm = 1u << 5, kFlags = 1u << 1, kExt = 1u << 31, kNs = 1u << 29;

const Case kCases[] = {
    {"dBm", radiotap({kDbm}, {0xC4}) + probe(), 0, 0, FrameResult::kRead, -60},
    {"an unknown field keeps the signal before it",
     radiotap({kDbm | 1u << 28}, {0xC4, 9}) + probe(), 0, 0, FrameResult::kRead, -60},
    {"a field past the header ends the fields, not the frame",
     radiotap({1u << 0 | kDbm}, {1, 2}) + probe(), 0, 0, FrameResult::kRead, 0},
    {"fields in a second word of the same namespace are unknown",
     radiotap({kExt, kDbm}, {0xC4}) + probe(), 0, 0, FrameResult::kRead, 0},
    {"a vendor namespace longer than the header",
     radiotap({1u << 30 | kExt, kNs | kExt, kDbm}, {0, 0, 0, 0, 0xFF, 0, 0xC4}) + probe(), 0, 0,
     FrameResult::kRead, 0},
    {"presence words past the header", radiotap({kExt}, {}) + probe(), 0, 0,
     FrameResult::kBadRadiotap, 0},
    {"radiotap shorter than its fixed part", Bytes{0, 0, 4, 0, 0, 0, 0, 0} + probe(), 0, 0,
     FrameResult::kBadRadiotap, 0},
    {"radiotap cut by the snap length", radiotap({kDbm}, {0xC4}), 4, 0, FrameResult::kBadRadiotap,
     0},
    {"checksum flag on a frame shorter than a checksum",
     radiotap({kFlags}, {0x10}) + Bytes{0x40, 0}, 0, 0, FrameResult::kTruncated, 0},
    {"checksum cut off by the snap length", radiotap({kFlags}, {0x10}) + probe(), 0, 9 + 24 + 4,
     FrameResult::kRead, 0},
    {"checksum taken from a header cut short", radiotap({kFlags}, {0x10}) + probe(), 0, 9 + 24,
     FrameResult::kTruncated, 0},
    {"length on the air shorter than captured is not believed", radiotap({0}, {}) + probe(), 0, 10,
     FrameResult::kRead, 0},
    {"no frame control", radiotap({0}, {}) + Bytes{0x40}, 0, 0, FrameResult::kTruncated, 0},
    {"failed checksum", radiotap({kFlags | kDbm}, {0x50, 0xC4}) + probe() + Bytes{1, 2, 3, 4}, 0, 0,
     FrameResult::kBadChecksum, 0},
    {"failed checksum without a checksum kept", radiotap({kFlags}, {0x40}) + probe(), 0, 0,
     FrameResult::kBadChecksum, 0},
    {"failed checksum on a runt", radiotap({kFlags}, {0x40}) + Bytes{0x40}, 0, 0,
     FrameResult::kBadChecksum, 0},
    // The frame's first byte (0x40) lies where the flags would be, past the header's end.
    {"flags past the header say nothing", radiotap({kFlags}, {}) + probe(), 0, 0,
     FrameResult::kRead, 0},
};

TEST(ReadFrame, CheckedAgainstWhatWasCaptured) {
    for (const Case& c : kCases) {
        std::size_t captured = c.bytes.size() - c.cut;
        FrameFacts facts{{}, 12345, false, false};
        FrameResult result =
            readFrame(c.bytes.data(), captured, c.length ? c.length : captured, facts);
        EXPECT_EQ(result, c.result) << c.name << ": " << frameResultName(result);
        if (result != FrameResult::kRead) continue;
        EXPECT_EQ(facts.signal, c.signal) << c.name;
        char text[18];
        formatAddress(facts.address, text);
        EXPECT_EQ(std::string(text), "02:00:00:00:00:01") << c.name;
    }
}

TEST(FormatAddress, LowerCaseHexPairs) {
    const uint8_t address[6] = {0xAB, 0x0C, 0xFF, 0x00, 0x9A, 0x10};
    char text[18];
    formatAddress(address, text);
    EXPECT_STREQ(text, "ab:0c:ff:00:9a:10");
}

}  // namespace
