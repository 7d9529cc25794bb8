#include "table/device_linker.h"

#include <algorithm>
#include <cstring>

#include "bytes.h"
#include "log.h"

namespace {

// No slot: the end of a recency list, a free candidate, a key the index does not hold.
constexpr uint32_t kNone = kNoPosition;

// How long a link or a group is kept without a frame. A random address lives seconds, but a
// phone whose screen is off scans every few minutes; a device unheard for an hour has left.
constexpr int64_t kAddressIdleMs = 10 * 60 * 1000;
constexpr int64_t kGroupIdleMs = 60 * 60 * 1000;

// A new address continues a group's sequence numbers when its first number follows the group's
// last closely (see continuesSequence), within this time: phones that keep their counter across
// an address change, also across a screen-off pause between scans.
constexpr int64_t kSequenceLinkMs = 10 * 60 * 1000;
constexpr int kSequenceStep = 16;
constexpr int kSequenceStepMost = 64;

// A phone sends its probe requests in bursts (frames tens of milliseconds apart) with seconds of
// silence between: a group unheard this long is between bursts.
constexpr int64_t kBurstGapMs = 1000;

// A group of random addresses counts as a device from its third frame: one or two frames under
// elements never heard again are a phone's passing state (or a damaged frame), not a device.
constexpr uint16_t kFramesToCount = 3;

uint64_t addressKey(const uint8_t address[6]) {
    uint64_t key = 0;
    for (int i = 0; i < 6; ++i) key = key << 8 | address[i];
    return key;
}

bool locallyAdministered(const uint8_t address[6]) {
    return address[0] & 0x02;
}

// --- the group pool: least recently heard last, expired and evicted from that end -------------

void unlink(GroupPool& pool, uint32_t slot) {
    RecentLinks& links = pool.items[slot].recent;
    (links.newer == kNone ? pool.newest : pool.items[links.newer].recent.older) = links.older;
    (links.older == kNone ? pool.oldest : pool.items[links.older].recent.newer) = links.newer;
    links = RecentLinks{};
}

void pushNewest(GroupPool& pool, uint32_t slot) {
    RecentLinks& links = pool.items[slot].recent;
    links.older = pool.newest;
    links.newer = kNone;
    if (pool.newest != kNone) pool.items[pool.newest].recent.newer = slot;
    pool.newest = slot;
    if (pool.oldest == kNone) pool.oldest = slot;
}

void touch(GroupPool& pool, uint32_t slot, int64_t now) {
    pool.items[slot].lastHeard = now;
    if (pool.newest == slot) return;
    unlink(pool, slot);
    pushNewest(pool, slot);
}

// A free slot, or kNone when the pool is at its cap.
uint32_t freeSlot(GroupPool& pool) {
    if (!pool.spare.empty()) {
        uint32_t slot = pool.spare.back();
        pool.spare.pop_back();
        return slot;
    }
    if (pool.items.size() >= pool.cap) return kNone;
    pool.items.emplace_back();
    return static_cast<uint32_t>(pool.items.size() - 1);
}

void release(GroupPool& pool, uint32_t slot) {
    unlink(pool, slot);
    pool.items[slot] = DeviceGroup{};
    pool.spare.push_back(slot);
    --pool.live;
}

// --- the indexes ----------------------------------------------------------------------

uint64_t indexHash(const DeviceLinker& linker, uint64_t key) {
    return foldWord(linker.hashKey, key);
}

uint32_t findOwnGroup(const DeviceLinker& linker, uint64_t key) {
    return lookup(linker.ownIndex, indexHash(linker, key),
                  [&](uint32_t slot) { return addressKey(linker.groups.items[slot].name) == key; });
}

void unindexOwnGroup(DeviceLinker& linker, uint32_t slot) {
    erase(linker.ownIndex, indexHash(linker, addressKey(linker.groups.items[slot].name)), slot,
          [&](uint32_t other) {
              return indexHash(linker, addressKey(linker.groups.items[other].name));
          });
}

// The candidates of `fingerprint`, or null when no group shows it.
Candidates* findCandidates(DeviceLinker& linker, uint64_t fingerprint) {
    uint32_t at =
        lookup(linker.fingerprintIndex, indexHash(linker, fingerprint),
               [&](uint32_t slot) { return linker.fingerprints[slot].fingerprint == fingerprint; });
    return at == kNone ? nullptr : &linker.fingerprints[at];
}

Candidates& addCandidates(DeviceLinker& linker, uint64_t fingerprint) {
    uint32_t slot;
    if (linker.spareFingerprints.empty()) {
        slot = static_cast<uint32_t>(linker.fingerprints.size());
        linker.fingerprints.emplace_back();
    } else {
        slot = linker.spareFingerprints.back();
        linker.spareFingerprints.pop_back();
    }
    Candidates& candidates = linker.fingerprints[slot];
    candidates.fingerprint = fingerprint;
    for (uint32_t& group : candidates.groups) group = kNone;
    insert(linker.fingerprintIndex, indexHash(linker, fingerprint), slot);
    return candidates;
}

void dropCandidates(DeviceLinker& linker, Candidates& candidates) {
    uint32_t slot = static_cast<uint32_t>(&candidates - linker.fingerprints.data());
    erase(
        linker.fingerprintIndex, indexHash(linker, candidates.fingerprint), slot,
        [&](uint32_t other) { return indexHash(linker, linker.fingerprints[other].fingerprint); });
    linker.spareFingerprints.push_back(slot);
}

// --- addresses and groups ------------------------------------------------------------------

void forgetCandidate(DeviceLinker& linker, uint64_t fingerprint, uint32_t group) {
    Candidates* found = findCandidates(linker, fingerprint);
    if (!found) return;
    uint32_t* slots = found->groups;
    int kept = 0;
    for (int i = 0; i < kFingerprintCandidates; ++i) {
        if (slots[i] != group && slots[i] != kNone) slots[kept++] = slots[i];
    }
    if (kept == 0) return dropCandidates(linker, *found);
    while (kept < kFingerprintCandidates) slots[kept++] = kNone;
}

void dropGroup(DeviceLinker& linker, uint32_t slot) {
    const DeviceGroup& group = linker.groups.items[slot];
    if (group.ownAddress) unindexOwnGroup(linker, slot);
    for (uint64_t fingerprint : group.fingerprints) {
        if (fingerprint) forgetCandidate(linker, fingerprint, slot);
    }
    release(linker.groups, slot);
}

// Forgets the groups silent too long; amortised, each goes once.
void expire(DeviceLinker& linker, int64_t now) {
    GroupPool& groups = linker.groups;
    while (groups.oldest != kNone && now - groups.items[groups.oldest].lastHeard > kGroupIdleMs) {
        dropGroup(linker, groups.oldest);
    }
}

uint32_t newGroup(DeviceLinker& linker, const LinkInput& frame, int64_t now) {
    uint32_t slot = freeSlot(linker.groups);
    if (slot == kNone) {  // at the cap: the group heard least recently makes room
        if (!linker.capReached) {
            linker.capReached = true;
            logLine(
                "Device groups at their cap of %zu: the least recently heard make room, and "
                "a device heard again after that counts again",
                linker.groups.cap);
        }
        dropGroup(linker, linker.groups.oldest);
        slot = freeSlot(linker.groups);
    }
    DeviceGroup& group = linker.groups.items[slot];
    std::memcpy(group.name, frame.address, 6);
    group.serial = linker.nextSerial;  // unique while 2^32 groups are not made, never 0
    linker.nextSerial = linker.nextSerial == UINT32_MAX ? 1 : linker.nextSerial + 1;
    group.signal = static_cast<int16_t>(frame.signal);
    group.lastHeard = now;
    ++linker.groups.live;
    pushNewest(linker.groups, slot);
    return slot;
}

// A group split off another, named by its serial with the group bit set: no sender has such
// an address, and the address that founded the other may be the one that moved.
uint32_t newSplitGroup(DeviceLinker& linker, const LinkInput& frame, int64_t now) {
    const uint32_t slot = newGroup(linker, frame, now);
    DeviceGroup& group = linker.groups.items[slot];
    const uint8_t name[6] = {0x03,
                             0,
                             static_cast<uint8_t>(group.serial >> 24),
                             static_cast<uint8_t>(group.serial >> 16),
                             static_cast<uint8_t>(group.serial >> 8),
                             static_cast<uint8_t>(group.serial)};
    std::memcpy(group.name, name, 6);
    return slot;
}

// The frames' time, moved on by as much as their clock ever stepped back (the wall clock set by
// hand or at boot): the linker's own runs on, so idle times and expiry stay true.
int64_t linkerTime(DeviceLinker& linker, int64_t frameTime) {
    const int64_t now = frameTime + linker.clockShift;
    if (now < linker.latestTime) {
        linker.clockShift += linker.latestTime - now;
        return linker.latestTime;
    }
    linker.latestTime = now;
    return now;
}

// Seconds of the linker's clock, as an address's link keeps them.
uint32_t linkSeconds(int64_t now) {
    return static_cast<uint32_t>(now / 1000);
}

void linkAddress(DeviceLinker& linker, AddressLink& link, uint32_t group, int64_t now) {
    link.group = group;
    link.groupSerial = linker.groups.items[group].serial;
    link.frames = 1;
    link.lastHeard = linkSeconds(now);
    link.joinsSeen = ++linker.groups.items[group].joins;
}

// True when the address is linked to a group that lives and was heard within kAddressIdleMs;
// counts its frame. Otherwise clears the link, to be linked anew.
bool knownAddress(const DeviceLinker& linker, AddressLink& link, int64_t now) {
    const bool linked = link.groupSerial != 0 && link.group < linker.groups.items.size() &&
                        linker.groups.items[link.group].serial == link.groupSerial &&
                        int64_t{linkSeconds(now)} - link.lastHeard <= kAddressIdleMs / 1000;
    if (!linked) {
        link = AddressLink{};
        return false;
    }
    link.lastHeard = linkSeconds(now);
    if (link.frames < UINT16_MAX) ++link.frames;
    return true;
}

// A known address's elements are read again at its 4th, 16th, 64th... frame: enough to see a
// phone change state under one address, at a fraction of the cost of every frame.
bool rereadElements(const AddressLink& link) {
    const unsigned frames = link.frames;
    return (frames & (frames - 1)) == 0 && (frames & 0x5554u) != 0;
}

uint32_t ownGroup(DeviceLinker& linker, const LinkInput& frame, int64_t now) {
    const uint64_t key = addressKey(frame.address);
    const uint32_t found = findOwnGroup(linker, key);
    if (found != kNone) return found;
    uint32_t slot = newGroup(linker, frame, now);
    linker.groups.items[slot].ownAddress = true;
    insert(linker.ownIndex, indexHash(linker, key), slot);
    return slot;
}

uint64_t ssidHash(const DeviceLinker& linker, const ProbeFacts& probe) {
    if (!probe.ssid) return 0;
    uint64_t hash = linker.ssidKey;
    for (std::size_t i = 0; i < probe.ssidLength; ++i) {
        hash = (hash ^ probe.ssid[i]) * 0x100000001B3ull;
    }
    return hash | 1;
}

// --- the rules that link a new random address to a group -----------------------------------

// Sequence numbers advance with every frame a phone sends on any channel, so the step that one
// channel sees grows with the time between: 16 at once, 8 more a second, 64 at most (a random
// number lands that close one time in 64).
bool continuesSequence(const DeviceGroup& group, const ProbeFacts& probe, int64_t now) {
    const int64_t gap = now - group.lastHeard;
    const int step = (probe.sequence - group.lastSequence) & 0xFFF;
    const int64_t limit = std::min<int64_t>(kSequenceStepMost, kSequenceStep + 8 * gap / 1000);
    return gap <= kSequenceLinkMs && step >= 1 && step <= limit;
}

// A group that links most of its addresses by sequence numbers is a phone that keeps its
// counter: a new address that does not continue it belongs to another phone.
bool keepsSequence(const DeviceGroup& group) {
    return group.sequenceLinks > group.otherLinks;
}

// The candidate heard most recently, leaving out `except`, groups that keep their sequence
// numbers (a new address that did not continue them is another phone) and, when `silence` is
// set, groups heard within that many milliseconds; kNone when none is left.
uint32_t latestOfKind(const DeviceLinker& linker, const Candidates& candidates, uint32_t except,
                      int64_t silence, int64_t now) {
    uint32_t latest = kNone;
    for (int i = 0; i < kFingerprintCandidates && candidates.groups[i] != kNone; ++i) {
        const uint32_t slot = candidates.groups[i];
        const DeviceGroup& group = linker.groups.items[slot];
        if (slot == except || keepsSequence(group)) continue;
        if (silence > 0 && now - group.lastHeard < silence) continue;
        if (latest == kNone || group.lastHeard > linker.groups.items[latest].lastHeard) {
            latest = slot;
        }
    }
    return latest;
}

// The group that a new random address sending `probe` belongs to, or kNone. The candidates are
// the groups that showed the same fingerprint lately, most recently heard first.
uint32_t matchingGroup(DeviceLinker& linker, const ProbeFacts& probe, uint64_t fingerprint,
                       uint64_t ssid, int64_t now) {
    const Candidates* found = findCandidates(linker, fingerprint);
    if (!found) return kNone;
    const uint32_t* candidates = found->groups;
    // Rule "sequence continues": the phone kept its sequence counter across the change.
    for (int i = 0; i < kFingerprintCandidates && candidates[i] != kNone; ++i) {
        DeviceGroup& group = linker.groups.items[candidates[i]];
        if (continuesSequence(group, probe, now)) {
            if (group.sequenceLinks < 255) ++group.sequenceLinks;
            return candidates[i];
        }
    }
    // Rule "same directed SSID": a phone looking for the same network by name.
    for (int i = 0; ssid && i < kFingerprintCandidates && candidates[i] != kNone; ++i) {
        if (linker.groups.items[candidates[i]].ssid == ssid) return candidates[i];
    }
    // Rule "latest of its kind": phones draw a new sequence number with each address, so the
    // group of this fingerprint heard most recently is the likeliest, unless that group links
    // its addresses by sequence numbers (a new address that does not continue them is another
    // phone).
    const uint32_t latest = latestOfKind(linker, *found, kNone, 0, now);
    if (latest != kNone && linker.groups.items[latest].otherLinks < UINT8_MAX) {
        ++linker.groups.items[latest].otherLinks;
    }
    return latest;  // kNone: rule "new device", nothing links it
}

// Rule "an address returns": a phone leaves an address for good when it takes a new one, so an
// address heard again after another joined its group belongs to another device of that kind.
bool returned(const AddressLink& link, const DeviceGroup& group) {
    return link.joinsSeen != group.joins;
}

// Where a returned address goes: the latest group of its kind that is between bursts (its phone
// may have sent this), else a new one. Never more groups than the devices seen at once.
uint32_t regroup(DeviceLinker& linker, AddressLink& link, const LinkInput& frame,
                 uint64_t fingerprint, int64_t now) {
    const Candidates* found = fingerprint ? findCandidates(linker, fingerprint) : nullptr;
    uint32_t target = found ? latestOfKind(linker, *found, link.group, kBurstGapMs, now) : kNone;
    if (target == kNone) target = newSplitGroup(linker, frame, now);
    DeviceGroup& group = linker.groups.items[target];
    link.group = target;
    link.groupSerial = group.serial;
    link.joinsSeen = ++group.joins;
    return target;
}

// Takes `fingerprint` off the group's own list, keeping the rest in order.
void removeFingerprint(DeviceGroup& group, uint64_t fingerprint) {
    int kept = 0;
    for (uint64_t own : group.fingerprints) {
        if (own != fingerprint) group.fingerprints[kept++] = own;
    }
    while (kept < kGroupFingerprints) group.fingerprints[kept++] = 0;
}

// Makes `fingerprint` the group's newest (its oldest goes when it had three already).
void addFingerprint(DeviceLinker& linker, uint32_t slot, uint64_t fingerprint) {
    DeviceGroup& group = linker.groups.items[slot];
    for (uint64_t own : group.fingerprints) {
        if (own == fingerprint) return;
    }
    uint64_t oldest = group.fingerprints[kGroupFingerprints - 1];
    if (oldest) forgetCandidate(linker, oldest, slot);
    std::memmove(group.fingerprints + 1, group.fingerprints,
                 sizeof(uint64_t) * (kGroupFingerprints - 1));
    group.fingerprints[0] = fingerprint;
}

// Puts the group first among the candidates of `fingerprint`; one pushed off the end is no
// longer found through it.
void promoteCandidate(DeviceLinker& linker, uint32_t slot, uint64_t fingerprint) {
    Candidates* found = findCandidates(linker, fingerprint);
    uint32_t* slots = (found ? *found : addCandidates(linker, fingerprint)).groups;
    if (slots[0] == slot) return;
    int at = 0;
    while (at < kFingerprintCandidates - 1 && slots[at] != slot) ++at;
    if (slots[at] != slot && slots[at] != kNone) {
        removeFingerprint(linker.groups.items[slots[at]], fingerprint);
    }
    for (; at > 0; --at) slots[at] = slots[at - 1];
    slots[0] = slot;
}

void hear(DeviceGroup& group, const LinkInput& frame, uint64_t ssid, int64_t now) {
    if (frame.probe) {
        group.lastSequence = frame.probe->sequence;
        if (ssid) group.ssid = ssid;
    }
    if (frame.signal != 0) {
        group.signal = group.signal == 0
                           ? static_cast<int16_t>(frame.signal)
                           : static_cast<int16_t>((3 * group.signal + frame.signal) / 4);
    }
    group.lastHeard = now;
}

bool counts(const DeviceGroup& group) {
    return group.ownAddress || group.frames >= kFramesToCount;
}

}  // namespace

DeviceLinker::DeviceLinker(LinkerLimits limits)
    : hashKey(randomHashKey()), ssidKey(randomHashKey() | 1) {
    groups.cap = limits.groups;
    ownIndex.slots.assign(indexSlotsFor(limits.groups, limits.groups), 0);
    fingerprintIndex.slots.assign(
        indexSlotsFor(limits.groups * kGroupFingerprints, limits.groups * kGroupFingerprints), 0);
}

void linkFrame(DeviceLinker& linker, const LinkInput& frame, AddressLink& link,
               DeviceWindow& window, uint8_t device[6]) {
    const int64_t now = linkerTime(linker, frame.milliseconds);
    expire(linker, now);
    const uint64_t ssid = frame.probe ? ssidHash(linker, *frame.probe) : 0;
    uint64_t fingerprint = 0;
    uint32_t slot;
    if (knownAddress(linker, link, now)) {
        slot = link.group;
        const bool moves = returned(link, linker.groups.items[slot]);
        if (frame.probe && (moves || rereadElements(link))) {
            fingerprint = elementFingerprint(*frame.probe);
        }
        if (moves) slot = regroup(linker, link, frame, fingerprint, now);
    } else if (!locallyAdministered(frame.address) || !frame.probe) {
        // Rule "own address": a globally administered address is not drawn at random, and an
        // address that sends anything but probe requests (a client in a network) keeps it, also
        // when it probes later (found among the own groups here); any other is a new random one.
        slot = ownGroup(linker, frame, now);
    } else if ((slot = findOwnGroup(linker, addressKey(frame.address))) == kNone) {
        fingerprint = elementFingerprint(*frame.probe);
        slot = matchingGroup(linker, *frame.probe, fingerprint, ssid, now);
        if (slot == kNone) slot = newGroup(linker, frame, now);
        linkAddress(linker, link, slot, now);
    }
    DeviceGroup& group = linker.groups.items[slot];
    if (fingerprint) {
        addFingerprint(linker, slot, fingerprint);
        promoteCandidate(linker, slot, fingerprint);
    }
    hear(group, frame, ssid, now);
    touch(linker.groups, slot, now);
    if (group.frames < UINT16_MAX) ++group.frames;
    if (counts(group)) countInWindow(window, group.window);
    std::memcpy(device, group.name, 6);
}

std::size_t liveGroups(const DeviceLinker& linker) {
    return linker.groups.live;
}
