// Reads one captured frame (radiotap header, then the 802.11 frame) into the address and signal
// that the capture tool's text line for the same frame carries: the address it prints after
// " SA:", else after " RA:", and its first antenna signal in dBm, else in dB.
#pragma once

#include <cstddef>
#include <cstdint>

#include "capture/probe_request.h"
#include "table/address_text.h"

// What a frame tells, or why it tells nothing.
enum class FrameResult {
    kRead,          // address and signal filled in
    kNoAddress,     // a readable frame that names neither a source nor a receiver
    kBadRadiotap,   // the radiotap header does not fit what was captured
    kTruncated,     // the 802.11 header is cut short (or shorter than its checksum)
    kUnknownFrame,  // a frame type or control subtype with no known header
    kBadChecksum,   // the radio says the frame failed its checksum: its bytes cannot be trusted
};

// A short text for traces: "read", "no address", ...
const char* frameResultName(FrameResult result);

struct FrameFacts {
    uint8_t address[6];
    int32_t signal;      // dBm (or dB when the radio gives no dBm), 0 when none
    bool isProbe;        // a probe request, whose body was read into the ProbeFacts asked for
    bool isAccessPoint;  // a beacon or a probe response: sent by an access point
};

// Reads the `captured` bytes of a frame of `length` bytes on the air (radiotap header
// included); every offset is checked against `captured`. A frame whose radiotap flags say its
// checksum failed is not read. With `probe`, a probe request's body
// is read into it too.
FrameResult readFrame(const uint8_t* bytes, std::size_t captured, std::size_t length,
                      FrameFacts& facts, ProbeFacts* probe = nullptr);
