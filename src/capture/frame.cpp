#include "capture/frame.h"

#include <cstring>
#include <utility>

#include "bytes.h"

namespace {

// Radiotap's fixed header: version, pad, length (16 bits), first presence word.
constexpr std::size_t kRadiotapFixed = 8;
constexpr uint32_t kExtendedBit = 1u << 31;
constexpr uint32_t kRadiotapNamespaceBit = 1u << 29;
constexpr uint32_t kVendorNamespaceBit = 1u << 30;
// Bits 29 to 31 of every presence word steer the parse; they name no field.
constexpr unsigned kFirstSteeringBit = 29;

constexpr uint8_t kFlagFcs = 0x10;      // the frame ends with its 4-byte checksum
constexpr uint8_t kFlagDataPad = 0x20;  // the 802.11 header is padded to 32 bits
constexpr uint8_t kFlagBadFcs = 0x40;   // the frame failed its checksum
constexpr std::size_t kFcsBytes = 4;

// Field numbers of the radiotap namespace that the reading needs.
constexpr unsigned kFieldFlags = 1;
constexpr unsigned kFieldDbmSignal = 5;
constexpr unsigned kFieldDbSignal = 12;

struct FieldShape {
    uint8_t align;
    uint8_t size;
};

// Alignment and size of the radiotap namespace's fields 0 to 27, as the field table defines
// them. Field 28 (TLVs) and anything later cannot be stepped over.
constexpr FieldShape kFields[] = {
    {8, 8}, {1, 1},  {1, 1},  {2, 4},  {2, 2},  {1, 1}, {1, 1}, {2, 2}, {2, 2}, {2, 2},
    {1, 1}, {1, 1},  {1, 1},  {1, 1},  {2, 2},  {2, 2}, {1, 1}, {1, 1}, {4, 8}, {1, 3},
    {4, 8}, {2, 12}, {8, 12}, {2, 12}, {2, 12}, {2, 6}, {1, 1}, {2, 4},
};
constexpr unsigned kKnownFields = sizeof kFields / sizeof kFields[0];

// What the radiotap fields say about the frame behind them.
struct RadioFacts {
    uint8_t flags = 0;
    bool hasDbm = false;
    bool hasDb = false;
    int8_t dbm = 0;
    uint8_t db = 0;
};

// Where a walk through the fields of one radiotap header of `length` bytes stands.
struct FieldWalk {
    const uint8_t* header;
    std::size_t length;
    std::size_t offset;
};

// The next `size` bytes at `align` (a power of two, from the header's start), or null past
// the header.
const uint8_t* reserve(FieldWalk& walk, std::size_t align, std::size_t size) {
    std::size_t at = (walk.offset + align - 1) & ~(align - 1);
    if (at > walk.length || size > walk.length - at) return nullptr;
    walk.offset = at + size;
    return walk.header + at;
}

void noteField(unsigned field, const uint8_t* value, RadioFacts& facts) {
    if (field == kFieldFlags) facts.flags = value[0];
    if (field == kFieldDbmSignal && !facts.hasDbm) {
        facts.hasDbm = true;
        facts.dbm = static_cast<int8_t>(value[0]);
    }
    if (field == kFieldDbSignal && !facts.hasDb) {
        facts.hasDb = true;
        facts.db = value[0];
    }
}

// Takes the radiotap-namespace fields named in `word` (field numbers from `bit0`). False when
// a field is unknown or runs past the header: nothing after it can be placed.
bool takeFields(FieldWalk& walk, uint32_t word, unsigned bit0, RadioFacts& facts) {
    for (uint32_t fields = word & ((1u << kFirstSteeringBit) - 1); fields; fields &= fields - 1) {
        unsigned field = bit0 + static_cast<unsigned>(__builtin_ctz(fields));
        if (field >= kKnownFields) return false;
        const uint8_t* value = reserve(walk, kFields[field].align, kFields[field].size);
        if (!value) return false;
        noteField(field, value, facts);
    }
    return true;
}

// Takes a vendor namespace's header (OUI, sub-namespace, the length of its data); false when
// it runs past the header.
bool takeVendorHeader(FieldWalk& walk, std::size_t& dataBytes) {
    const uint8_t* header = reserve(walk, 2, 6);
    if (!header) return false;
    dataBytes = little16(header + 4);
    return true;
}

// Offset of the first field: after the presence words, each of which but the last sets the
// extension bit. 0 when the words run past the header.
std::size_t fieldsStart(const uint8_t* header, std::size_t length) {
    std::size_t word = 4;
    for (;;) {
        if (word + 4 > length) return 0;
        if (!(little32(header + word) & kExtendedBit)) return word + 4;
        word += 4;
    }
}

// Walks every presence word and its fields. Fields past an unknown or overlong one cannot be
// placed, so the walk stops there and keeps what it found before.
void readRadioFields(const uint8_t* header, std::size_t length, std::size_t start,
                     RadioFacts& facts) {
    FieldWalk walk{header, length, start};
    unsigned bit0 = 0;
    bool vendor = false;
    std::size_t vendorBytes = 0;
    for (std::size_t word = 4; word < start; word += 4) {
        uint32_t present = little32(header + word);
        // A vendor namespace's data is stepped over once, whatever its words say.
        bool placed = vendor ? reserve(walk, 1, std::exchange(vendorBytes, 0)) != nullptr
                             : takeFields(walk, present, bit0, facts);
        if (!placed) return;
        switch (present & (kRadiotapNamespaceBit | kVendorNamespaceBit)) {
            case 0:
                bit0 += 32;
                break;
            case kRadiotapNamespaceBit:
                bit0 = 0;
                vendor = false;
                break;
            case kVendorNamespaceBit:
                bit0 = 0;
                vendor = true;
                if (!takeVendorHeader(walk, vendorBytes)) return;
                break;
            default:  // both: meaningless, so neither is followed
                break;
        }
    }
}

// Length of the 802.11 header and the offset of the address the text line shows after " SA:"
// (or " RA:"); `addressAt` is 0 for a frame that shows neither.
struct HeaderShape {
    FrameResult result;
    std::size_t length;
    std::size_t addressAt;
};

constexpr std::size_t kAddress1 = 4, kAddress2 = 10, kAddress3 = 16, kAddress4 = 24;

HeaderShape controlShape(unsigned subtype) {
    switch (subtype) {
        case 7:  // control wrapper
            return {FrameResult::kNoAddress, 10, 0};
        case 8:  // block ack request
            return {FrameResult::kRead, 20, kAddress1};
        case 9:  // block ack
            return {FrameResult::kRead, 10, kAddress1};
        case 10:  // power-save poll: a BSSID and a transmitter, neither shown as SA or RA
            return {FrameResult::kNoAddress, 16, 0};
        case 11:  // request to send
            return {FrameResult::kRead, 16, kAddress1};
        case 12:  // clear to send
        case 13:  // acknowledgement
            return {FrameResult::kRead, 10, kAddress1};
        case 14:  // contention-free end, and with an ack
        case 15:
            return {FrameResult::kRead, 16, kAddress1};
        default:
            return {FrameResult::kUnknownFrame, 0, 0};
    }
}

HeaderShape dataShape(uint16_t control) {
    const bool toDs = control & 0x0100, fromDs = control & 0x0200;
    const bool qos = (control >> 4) & 0x8;
    std::size_t length = (toDs && fromDs ? 30 : 24) + (qos ? 2 : 0);
    std::size_t address = toDs && fromDs ? kAddress4 : fromDs ? kAddress3 : kAddress2;
    return {FrameResult::kRead, length, address};
}

HeaderShape headerShape(uint16_t control) {
    switch ((control >> 2) & 0x3) {
        case 0:  // management: the transmitter is the second address
            return {FrameResult::kRead, 24, kAddress2};
        case 1:
            return controlShape((control >> 4) & 0xF);
        case 2:
            return dataShape(control);
        default:
            return {FrameResult::kUnknownFrame, 0, 0};
    }
}

// True for a beacon or a probe response (management subtypes 8 and 5).
bool isAccessPointFrame(uint16_t control) {
    const unsigned type = (control >> 2) & 0x3, subtype = (control >> 4) & 0xF;
    return type == 0 && (subtype == 8 || subtype == 5);
}

// Reads the 802.11 header of `captured` bytes (of `length` on the air) into `facts.address`,
// and a probe request's body into `probe` when asked.
FrameResult readHeader(const uint8_t* frame, std::size_t captured, std::size_t length,
                       uint8_t flags, FrameFacts& facts, ProbeFacts* probe) {
    if (flags & kFlagFcs) {
        if (length < kFcsBytes) return FrameResult::kTruncated;
        length -= kFcsBytes;
        if (captured > length) captured = length;
    }
    if (captured < 2) return FrameResult::kTruncated;
    HeaderShape shape = headerShape(little16(frame));
    if (shape.result == FrameResult::kUnknownFrame) return shape.result;
    std::size_t headerLength = shape.length;
    if (flags & kFlagDataPad) headerLength = (headerLength + 3) / 4 * 4;
    if (captured < headerLength) return FrameResult::kTruncated;
    if (shape.result != FrameResult::kRead) return shape.result;
    std::memcpy(facts.address, frame + shape.addressAt, sizeof facts.address);
    facts.isAccessPoint = isAccessPointFrame(little16(frame));
    facts.isProbe = probe && isProbeRequest(frame, captured);
    if (facts.isProbe) readProbeRequest(frame, captured, *probe);
    return FrameResult::kRead;
}

}  // namespace

const char* frameResultName(FrameResult result) {
    switch (result) {
        case FrameResult::kRead:
            return "read";
        case FrameResult::kNoAddress:
            return "no address";
        case FrameResult::kBadRadiotap:
            return "radiotap header does not fit";
        case FrameResult::kTruncated:
            return "802.11 header cut short";
        case FrameResult::kUnknownFrame:
            return "unknown frame type";
        case FrameResult::kBadChecksum:
            return "checksum failed";
    }
    return "?";
}

FrameResult readFrame(const uint8_t* bytes, std::size_t captured, std::size_t length,
                      FrameFacts& facts, ProbeFacts* probe) {
    facts.isProbe = false;
    facts.isAccessPoint = false;
    if (captured < kRadiotapFixed) return FrameResult::kBadRadiotap;
    const std::size_t radiotapLength = little16(bytes + 2);
    if (radiotapLength < kRadiotapFixed || radiotapLength > captured) {
        return FrameResult::kBadRadiotap;
    }
    const std::size_t start = fieldsStart(bytes, radiotapLength);
    if (start == 0) return FrameResult::kBadRadiotap;
    RadioFacts radio;
    readRadioFields(bytes, radiotapLength, start, radio);
    // Corrupted on the air: its addresses would become devices that never were.
    if (radio.flags & kFlagBadFcs) return FrameResult::kBadChecksum;
    // A length on the air shorter than what was captured is not believed.
    const std::size_t onAir = length > captured ? length : captured;
    FrameResult result = readHeader(bytes + radiotapLength, captured - radiotapLength,
                                    onAir - radiotapLength, radio.flags, facts, probe);
    if (result != FrameResult::kRead) return result;
    facts.signal = radio.hasDbm ? radio.dbm : radio.hasDb ? radio.db : 0;
    return FrameResult::kRead;
}
