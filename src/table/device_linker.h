// Links the random addresses that one phone uses, one after another, into one device group, so
// that devices are counted rather than addresses. Every rule is in device_linker.cpp, named,
// with its reason. Bounded: addresses and groups expire, each has a hard cap with the least
// recently heard evicted first, and one frame costs a constant amount of work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "table/address_index.h"
#include "table/device_window.h"
#include "table/probe_facts.h"

// What the linker needs of one frame.
struct LinkInput {
    uint8_t address[6];       // the sender
    int64_t milliseconds;     // the frame's time
    int32_t signal;           // dBm, 0 when none
    const ProbeFacts* probe;  // a probe request's body, or null for any other frame
};

// Hard caps of the linker's state.
struct LinkerLimits {
    std::size_t addresses = 8192;
    std::size_t groups = 2048;
};

// Neighbours in a least-recently-heard order, as slot numbers.
struct RecentLinks {
    uint32_t newer = UINT32_MAX;
    uint32_t older = UINT32_MAX;
};

// An address heard lately, and the group it belongs to.
struct LinkedAddress {
    uint64_t key = 0;  // the address as a number
    uint32_t group = 0;
    uint32_t groupSerial = 0;  // the group's serial when linked: a reused slot is another group
    uint16_t frames = 0;       // heard so many times (stops at the most)
    uint16_t joinsSeen = 0;    // its group's joins when it was last heard
    int64_t lastHeard = 0;
    RecentLinks recent;
};

constexpr int kGroupFingerprints = 3;  // a phone shows one to three as its state changes

// One device: the addresses linked to it share this record.
struct DeviceGroup {
    uint8_t name[6] = {};       // the address that founded it
    bool ownAddress = false;    // a device that keeps its address: never joined by another
    uint8_t sequenceLinks = 0;  // addresses it was linked to by continuing sequence numbers
    uint8_t otherLinks = 0;     // and by being the latest of its kind
    uint16_t joins = 0;         // addresses linked to it so far (wraps)
    uint16_t frames = 0;        // heard so many times (stops at the most)
    int16_t signal = 0;         // smoothed dBm, 0 when none
    uint16_t lastSequence = 0;
    uint32_t serial = 0;  // 0 for a free slot
    uint32_t window = 0;  // the last report window it was counted in, plus one
    uint64_t fingerprints[kGroupFingerprints] = {};
    uint64_t ssid = 0;  // keyed hash of its last directed SSID, 0 when none
    int64_t lastHeard = 0;
    RecentLinks recent;
};

// A fixed-capacity pool in least-recently-heard order.
template <class Item>
struct RecentPool {
    std::vector<Item> items;
    std::vector<uint32_t> spare;  // free slots
    uint32_t newest = UINT32_MAX;
    uint32_t oldest = UINT32_MAX;
    std::size_t live = 0;
    std::size_t cap = 0;
};

constexpr int kFingerprintCandidates = 4;  // groups kept per fingerprint, most recent first

// The groups that showed one fingerprint lately, most recent first.
struct Candidates {
    uint64_t fingerprint = 0;
    uint32_t groups[kFingerprintCandidates];
};

struct DeviceLinker {
    explicit DeviceLinker(LinkerLimits limits = LinkerLimits{});
    RecentPool<LinkedAddress> addresses;
    RecentPool<DeviceGroup> groups;
    AddressIndex addressIndex;             // the addresses by their key
    AddressIndex ownIndex;                 // the groups of devices that keep their address, by it
    std::vector<Candidates> fingerprints;  // at most three per group
    std::vector<uint32_t> spareFingerprints;
    AddressIndex fingerprintIndex;
    uint64_t hashKey;  // random per run, so crafted addresses cannot pile up in one probe chain
    uint64_t ssidKey;  // random per run: directed SSIDs are only compared, never kept
    uint32_t nextSerial = 1;
};

// Links the frame's address to a device group (making one when no rule links it) and counts
// that group in `window` the first time it is heard there; writes the group's name.
void linkFrame(DeviceLinker& linker, const LinkInput& frame, DeviceWindow& window,
               uint8_t device[6]);

// Groups and addresses alive now.
std::size_t liveGroups(const DeviceLinker& linker);
std::size_t liveAddresses(const DeviceLinker& linker);
