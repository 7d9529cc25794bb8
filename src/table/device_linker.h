// Links the random addresses that one phone uses, one after another, into one device group, so
// that devices are counted rather than addresses. Every rule is in device_linker.cpp, named,
// with its reason. Bounded: an address's link lives in its table record and lapses with it or
// when idle; groups expire and have a hard cap with the least recently heard evicted first; one
// frame costs a constant amount of work.
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
    bool infrastructure;      // a beacon or a probe response: its sender is an access point
};

// Hard cap of the linker's state: its addresses are kept by the table, one link per record.
struct LinkerLimits {
    std::size_t groups = 2048;
};

// Neighbours in a least-recently-heard order, as slot numbers (kNoPosition: none).
struct RecentLinks {
    uint32_t newer = kNoPosition;
    uint32_t older = kNoPosition;
};

// The group an address belongs to, kept with the address's record in the table; all zero for
// an address not linked (yet, or any longer).
struct AddressLink {
    uint32_t group = 0;
    uint32_t groupSerial = 0;  // the group's serial when linked, never 0: a reused slot is another
    uint32_t lastHeard = 0;    // seconds of the frames' clock
    uint16_t frames = 0;       // heard so many times (stops at the most)
    uint16_t joinsSeen = 0;    // its group's joins when it was last heard
};

constexpr int kGroupFingerprints = 3;  // a phone shows one to three as its state changes

// One device: the addresses linked to it share this record.
struct DeviceGroup {
    uint8_t name[6] = {};          // the address that founded it
    bool ownAddress = false;       // a device that keeps its address: never joined by another
    bool infrastructure = false;   // sent beacons or probe responses: an access point, not counted
    bool joinedThisBurst = false;  // an address joined it since it was last silent for a burst gap
    bool newKind = false;          // founded by an address on elements no group showed then
    uint16_t joins = 0;            // addresses linked to it so far (wraps)
    uint16_t frames = 0;           // heard so many times (stops at the most)
    int16_t signal = 0;            // smoothed dBm, 0 when none
    uint16_t lastSequence = 0;
    uint32_t serial = 0;  // 0 for a free slot
    uint32_t window = 0;  // the last report window it was counted in, plus one
    uint64_t fingerprints[kGroupFingerprints] = {};
    uint64_t ssid = 0;  // keyed hash of its last directed SSID, 0 when none
    int64_t lastHeard = 0;
    RecentLinks recent;
};

// The groups: a fixed-capacity pool in least-recently-heard order.
struct GroupPool {
    std::vector<DeviceGroup> items;
    std::vector<uint32_t> spare;  // free slots
    uint32_t newest = kNoPosition;
    uint32_t oldest = kNoPosition;
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
    GroupPool groups;
    AddressIndex ownIndex;                 // the groups of devices that keep their address, by it
    std::vector<Candidates> fingerprints;  // at most three per group
    std::vector<uint32_t> spareFingerprints;
    AddressIndex fingerprintIndex;
    uint64_t hashKey;  // random per run, so crafted keys cannot pile up in one probe chain
    uint64_t ssidKey;  // random per run: directed SSIDs are only compared, never kept
    uint32_t nextSerial = 1;
    int64_t latestTime = INT64_MIN;  // the linker's clock: the latest frame time, shifted
    int64_t clockShift = 0;          // how far the frames' clock stepped back in all
    bool capReached = false;         // said once
};

// Links the frame's address, whose link so far is `link`, to a device group (making one when no
// rule links it), counts that group in `window` the first time it is heard there, and writes the
// group's name; true when the group is counted in the open window.
bool linkFrame(DeviceLinker& linker, const LinkInput& frame, AddressLink& link,
               DeviceWindow& window, uint8_t device[6]);

// True when the group of an address, linked by `link` (or, unlinked, the device that keeps the
// address `device`), lives and counts as a device: a client (not an access point) that keeps
// its address, or a group of random addresses from its fifth frame.
bool groupCounted(const DeviceLinker& linker, const AddressLink& link, const uint8_t device[6]);

// Groups alive now.
std::size_t liveGroups(const DeviceLinker& linker);
