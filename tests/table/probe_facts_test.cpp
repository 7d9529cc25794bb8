#include "table/probe_facts.h"

#include <gtest/gtest.h>

#include <vector>

#include "capture/probe_request.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Rates, HT capabilities and a vendor element 00:50:f2 type 8 of one phone, behind an SSID and a
// channel.
Bytes phone(Bytes ssid = {}, uint8_t channel = 6, uint8_t wps = 0x10, uint8_t fils = 0x17) {
    Bytes elements{0, static_cast<uint8_t>(ssid.size())};
    for (uint8_t byte : ssid) elements.push_back(byte);
    for (uint8_t byte : Bytes{1,    4,   0x02, 0x04, 0x0b, 0x16, 3,    1,   channel, 45, 2, 0xef,
                              0x01, 221, 5,    0x00, 0x50, 0xf2, 0x08, wps, 255,     2,  2, fils}) {
        elements.push_back(byte);
    }
    return elements;
}

Bytes withByte(Bytes elements, std::size_t at, uint8_t byte) {
    elements.at(at) = byte;
    return elements;
}

uint64_t fingerprintOf(const Bytes& elements) {
    ProbeFacts probe;
    probe.elements = elements.data();
    probe.elementsLength = elements.size();
    return elementFingerprint(probe);
}

struct Pair {
    const char* name;
    Bytes one;
    Bytes other;
    bool same;
};

const Pair kPairs[] = {
    {"another directed SSID", phone(), phone({'c', 'a', 'f', 'e'}), true},
    {"another channel", phone(), phone({}, 11), true},
    {"another 00:50:f2 type 8 body", phone(), phone({}, 6, 0x77), true},
    {"other FILS parameters", phone(), phone({}, 6, 0x10, 0x2a), true},
    {"other rates", phone(),
     [] {
         Bytes b = phone();
         b[6] = 0x0c;
         return b;
     }(),
     false},
    {"HT power-state bits: SM power save", phone(), withByte(phone(), 13, 0xe3), true},
    {"HT power-state bits: 40 MHz intolerant", phone(), withByte(phone(), 14, 0x41), true},
    {"another HT capability", phone(), withByte(phone(), 13, 0xaf), false},
    {"a channel element between others", Bytes{1, 1, 2, 3, 1, 6, 45, 1, 0},
     Bytes{1, 1, 2, 45, 1, 0}, true},
    {"an element cut short ends the walk", Bytes{1, 2, 3, 4}, Bytes{1, 2, 3, 4, 45, 200, 1}, true},
    {"a lone id byte is no element", Bytes{1, 1, 2}, Bytes{1, 1, 2, 45}, true},
    {"an element more", Bytes{1, 1, 2}, Bytes{1, 1, 2, 45, 0}, false},
    {"order counts", Bytes{1, 1, 2, 50, 1, 3}, Bytes{50, 1, 3, 1, 1, 2}, false},
    {"nothing against an empty SSID", Bytes{}, Bytes{0, 0}, true},
};

TEST(ElementFingerprint, KeepsWhatDescribesThePhone) {
    for (const Pair& pair : kPairs) {
        EXPECT_EQ(fingerprintOf(pair.one) == fingerprintOf(pair.other), pair.same) << pair.name;
        EXPECT_NE(fingerprintOf(pair.one), 0u) << pair.name;
    }
}

TEST(ReadProbeRequest, SequenceElementsAndDirectedSsid) {
    Bytes frame{0x40, 0, 0, 0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 2,    1,
                2,    3, 4, 5, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x50, 0x12};
    Bytes directed = phone({'h', 'o', 'm', 'e'});
    for (uint8_t byte : directed) frame.push_back(byte);
    ASSERT_TRUE(isProbeRequest(frame.data(), frame.size()));
    ProbeFacts facts;
    readProbeRequest(frame.data(), frame.size(), facts);
    EXPECT_EQ(facts.sequence, 0x125);
    EXPECT_EQ(facts.elementsLength, directed.size());
    ASSERT_EQ(facts.ssidLength, 4u);
    EXPECT_EQ(facts.ssid[0], 'h');
    // With the Order bit, four bytes of HT control come before the elements.
    Bytes ordered = frame;
    ordered[1] = 0x80;
    ordered.insert(ordered.begin() + 24, {1, 2, 3, 4});
    readProbeRequest(ordered.data(), ordered.size(), facts);
    EXPECT_EQ(facts.ssidLength, 4u);
    EXPECT_EQ(facts.elementsLength, directed.size());
    // An SSID longer than what is left is none; a header cut short is no probe request.
    frame[25] = 200;
    readProbeRequest(frame.data(), frame.size(), facts);
    EXPECT_EQ(facts.ssid, nullptr);
    EXPECT_FALSE(isProbeRequest(frame.data(), 23));
    frame[0] = 0x50;  // a probe response
    EXPECT_FALSE(isProbeRequest(frame.data(), frame.size()));
}

}  // namespace
