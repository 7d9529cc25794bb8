#include "table/device_linker.h"

#include <algorithm>
#include <cstring>

#include "bytes.h"
#include "table/linker_groups.h"

namespace {

// How long a link or a group is kept without a frame. A random address lives seconds, but a
// phone whose screen is off scans every few minutes; a device unheard for an hour has left.
constexpr int64_t kAddressIdleMs = 10 * 60 * 1000;
constexpr int64_t kGroupIdleMs = 60 * 60 * 1000;

// A new address continues a group's sequence numbers when its first number follows the group's
// last closely (see continuesSequence), within this time. Seconds, not minutes: over minutes a
// phone's counter runs on by hundreds on other channels, and identical phones' random numbers
// land close by chance.
constexpr int64_t kSequenceLinkMs = 5 * 1000;
constexpr int kSequenceStep = 16;
constexpr int kSequenceStepPerSecond = 8;

// A phone sends its probe requests in bursts (frames tens of milliseconds apart) with seconds of
// silence between: a group unheard this long is between bursts.
constexpr int64_t kBurstGapMs = 1000;

// An address heard again after this long a silence is its phone going back to it (one address
// kept per network, a small pool), not another phone, whatever joined its group meanwhile. It is
// linked as a new address is, and goes back to the group it left only when no group of its
// present kind takes it: among phones of one kind, that group may since carry another of them.
constexpr int64_t kReturnSilenceMs = 30 * 1000;

// Signal that tells two phones of one kind apart: more than a phone's own wander between
// bursts (a few dB), well under the spread of places in a room or a street.
constexpr int kSignalMarginDb = 8;

// A group of random addresses counts as a device from its fifth frame: a burst or two under
// elements not heard again are a phone's passing state (or a damaged frame), not a device.
constexpr uint16_t kFramesToCount = 5;

bool locallyAdministered(const uint8_t address[6]) {
    return address[0] & 0x02;
}

// The most the frames' clock may have stepped back in all: 285,000 years, beyond any real
// clock's steps, while the linker's times (frames end in the year 9999) and their products stay
// far from overflow. Frames stamped in 1970 and 9999 by turns reach it within a hundred; past it
// the linker's clock stands still until theirs catches up.
constexpr int64_t kMostClockShiftMs = INT64_MAX / 1024;

// The frames' time, moved on by as much as their clock ever stepped back (the wall clock set by
// hand or at boot): the linker's own runs on, so idle times and expiry stay true.
int64_t linkerTime(DeviceLinker& linker, int64_t frameTime) {
    const int64_t now = frameTime + linker.clockShift;
    if (now < linker.latestTime) {
        linker.clockShift +=
            std::min(linker.latestTime - now, kMostClockShiftMs - linker.clockShift);
        return linker.latestTime;
    }
    linker.latestTime = now;
    return now;
}

// Seconds of the linker's clock, as an address's link keeps them.
uint32_t linkSeconds(int64_t now) {
    return static_cast<uint32_t>(now / 1000);
}

void join(DeviceGroup& group, AddressLink& link, uint32_t slot) {
    link.group = slot;
    link.groupSerial = group.serial;
    link.joinsSeen = ++group.joins;
}

void linkAddress(DeviceLinker& linker, AddressLink& link, uint32_t slot, int64_t now) {
    join(linker.groups.items[slot], link, slot);
    link.frames = 1;
    link.lastHeard = linkSeconds(now);
}

// The group that `link` names, when it lives; kNoGroup otherwise.
uint32_t liveGroup(const DeviceLinker& linker, const AddressLink& link) {
    const bool lives = link.groupSerial != 0 && link.group < linker.groups.items.size() &&
                       linker.groups.items[link.group].serial == link.groupSerial;
    return lives ? link.group : kNoGroup;
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

// A known address's elements are read again at the first frame of each of its bursts (silent
// over a second: `silence` counts whole seconds) and at its 4th, 16th, 64th... frame: enough to
// see a phone change state under one address, at a fraction of the cost of every frame.
bool rereadElements(const AddressLink& link, uint32_t silence) {
    const unsigned frames = link.frames;
    return silence >= 2 || ((frames & (frames - 1)) == 0 && (frames & 0x5554u) != 0);
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
// channel sees grows with the time between: 16 at once, 8 more a second, within seconds.
bool continuesSequence(const DeviceGroup& group, const ProbeFacts& probe, int64_t now) {
    const int64_t gap = now - group.lastHeard;
    const int step = (probe.sequence - group.lastSequence) & 0xFFF;
    const int64_t limit = kSequenceStep + kSequenceStepPerSecond * gap / 1000;
    return gap <= kSequenceLinkMs && step >= 1 && step <= limit;
}

// The candidate heard most recently, leaving out `except` and, when `silence` is set, groups
// heard within that many milliseconds; kNoGroup when none is left.
uint32_t latestOfKind(const DeviceLinker& linker, const Candidates& candidates, uint32_t except,
                      int64_t silence, int64_t now) {
    uint32_t latest = kNoGroup;
    for (int i = 0; i < kFingerprintCandidates && candidates.groups[i] != kNoGroup; ++i) {
        const uint32_t slot = candidates.groups[i];
        const DeviceGroup& group = linker.groups.items[slot];
        if (slot == except) continue;
        if (silence > 0 && now - group.lastHeard < silence) continue;
        if (latest == kNoGroup || group.lastHeard > linker.groups.items[latest].lastHeard) {
            latest = slot;
        }
    }
    return latest;
}

// The group that a new random address sending `probe` belongs to, or kNoGroup. The candidates
// are the groups that showed the same fingerprint lately, most recently heard first.
// How far a group's smoothed signal is from `signal`, in dB; far beyond any when either has none.
int signalOff(const DeviceGroup& group, int32_t signal) {
    return group.signal == 0 || signal == 0 ? 1000 : std::abs(group.signal - signal);
}

// Rule "where it is heard": among the groups of its kind, the one whose signal is closer by
// more than kSignalMarginDb than the latest's, else the latest. Phones of one kind are told
// apart by where they are; a phone's own signal wanders a few dB between bursts.
uint32_t closerInSignal(const DeviceLinker& linker, const Candidates& candidates, uint32_t latest,
                        int32_t signal) {
    if (latest == kNoGroup) return latest;
    const GroupPool& pool = linker.groups;
    uint32_t best = latest;
    for (int i = 0; i < kFingerprintCandidates && candidates.groups[i] != kNoGroup; ++i) {
        const uint32_t slot = candidates.groups[i];
        if (signalOff(pool.items[slot], signal) < signalOff(pool.items[best], signal)) best = slot;
    }
    const int gain = signalOff(pool.items[latest], signal) - signalOff(pool.items[best], signal);
    return gain > kSignalMarginDb ? best : latest;
}

uint32_t matchingGroup(const DeviceLinker& linker, const ProbeFacts& probe, uint64_t fingerprint,
                       uint64_t ssid, int32_t signal, int64_t now) {
    const Candidates* found = findCandidates(linker, fingerprint);
    if (!found) return kNoGroup;
    const uint32_t* candidates = found->groups;
    // Rule "sequence continues": the phone kept its sequence counter across the change. A
    // counter that does not continue says nothing: phones draw a new one, restart it after a
    // pause, or run it on elsewhere.
    for (int i = 0; i < kFingerprintCandidates && candidates[i] != kNoGroup; ++i) {
        if (continuesSequence(linker.groups.items[candidates[i]], probe, now)) {
            return candidates[i];
        }
    }
    // Rule "same directed SSID": a phone looking for the same network by name.
    for (int i = 0; ssid && i < kFingerprintCandidates && candidates[i] != kNoGroup; ++i) {
        if (linker.groups.items[candidates[i]].ssid == ssid) return candidates[i];
    }
    // Rule "latest of its kind": the group of this fingerprint heard most recently is the
    // likeliest, unless another is heard clearly closer to where this address is; kNoGroup:
    // rule "new device", nothing links it.
    return closerInSignal(linker, *found, latestOfKind(linker, *found, kNoGroup, 0, now), signal);
}

// Rule "an address returns": a phone leaves an address when it takes a new one, so an address
// heard again within the burst in which another joined its group belongs to another device of
// that kind. After a longer silence it is its own phone going back to it (see
// resumesAfterSilence). `silence` counts the address's whole seconds.
bool returnedWithinBurst(const AddressLink& link, const DeviceGroup& group, uint32_t silence,
                         int64_t now) {
    return link.joinsSeen != group.joins && group.joinedThisBurst &&
           now - group.lastHeard <= kBurstGapMs && silence <= kReturnSilenceMs / 1000;
}

// Where a returned address goes: the latest group of its kind that is between bursts (its phone
// may have sent this), else a new one. Never more groups than the devices seen at once.
uint32_t regroup(DeviceLinker& linker, AddressLink& link, const LinkInput& frame,
                 uint64_t fingerprint, int64_t now) {
    const Candidates* found = fingerprint ? findCandidates(linker, fingerprint) : nullptr;
    uint32_t target = found ? latestOfKind(linker, *found, link.group, kBurstGapMs, now) : kNoGroup;
    if (target == kNoGroup) target = newSplitGroup(linker, frame, now);
    join(linker.groups.items[target], link, target);
    return target;
}

// Rule "an address resumes": a random address that probes again after kReturnSilenceMs is linked
// anew, by the rules for a new address.
bool resumesAfterSilence(const DeviceLinker& linker, const AddressLink& link,
                         const LinkInput& frame, uint32_t silence) {
    return silence > kReturnSilenceMs / 1000 && frame.probe && locallyAdministered(frame.address) &&
           !linker.groups.items[link.group].ownAddress;
}

// Takes the frame into the group; `joined`: its address joined the group with it.
void hear(DeviceGroup& group, const LinkInput& frame, uint64_t ssid, bool joined, int64_t now) {
    if (now - group.lastHeard > kBurstGapMs) group.joinedThisBurst = false;
    if (joined) group.joinedThisBurst = true;
    if (frame.probe) {
        group.lastSequence = frame.probe->sequence;
        if (ssid) group.ssid = ssid;
    }
    if (frame.signal != 0) {
        group.signal = group.signal == 0
                           ? static_cast<int16_t>(frame.signal)
                           : static_cast<int16_t>((3 * group.signal + frame.signal) / 4);
    }
    if (frame.infrastructure) group.infrastructure = true;
    group.lastHeard = now;
}

// Rule "infrastructure is not a device": a sender of beacons or probe responses is an access
// point, kept as a group (its records name it) but never counted.
bool counts(const DeviceGroup& group) {
    if (group.infrastructure) return false;
    return group.ownAddress || group.frames >= kFramesToCount;
}

bool showsFingerprint(const DeviceGroup& group, uint64_t fingerprint) {
    for (uint64_t own : group.fingerprints) {
        if (own == fingerprint) return true;
    }
    return false;
}

// Rule "a passing state": a group that one address founded on elements no group showed, and that
// is not counted yet, is that address's phone in a passing state (a scan of another type, a
// change of mode) when the address's later elements are another group's kind. The address moves
// to that group, which learns the first elements as one of its states; the group it leaves,
// named by it alone and never counted, is forgotten. `joined` when it moved.
uint32_t leavesPassingState(DeviceLinker& linker, const LinkInput& frame, AddressLink& link,
                            uint64_t fingerprint, uint64_t ssid, bool& joined, int64_t now) {
    const uint32_t slot = link.group;
    const DeviceGroup& group = linker.groups.items[slot];
    if (!group.newKind || group.joins != 1 || group.window != 0 || counts(group) ||
        showsFingerprint(group, fingerprint)) {
        return slot;
    }
    const uint32_t target =
        matchingGroup(linker, *frame.probe, fingerprint, ssid, frame.signal, now);
    if (target == kNoGroup) return slot;
    const unsigned frames = group.frames;
    uint64_t states[kGroupFingerprints];
    std::memcpy(states, group.fingerprints, sizeof states);
    forgetGroup(linker, slot);
    for (int i = kGroupFingerprints; i-- > 0;) {
        if (states[i]) tieFingerprint(linker, target, states[i]);
    }
    DeviceGroup& to = linker.groups.items[target];
    to.frames = static_cast<uint16_t>(std::min<unsigned>(to.frames + frames, UINT16_MAX));
    join(to, link, target);
    joined = true;
    return target;
}

// Rule "a phone's own address continues it": in some states a phone probes under its own
// (global) address. Its probe request with the elements of a group of random addresses that is
// between bursts (silent over kBurstGapMs: not another phone probing beside it), was heard
// within kAddressIdleMs and not more than kSignalMarginDb away (where both have a signal: the
// same place) continues that group, the latest such; else the address is a device of its own.
// `joined` when it continues a group.
uint32_t ownAddressProbes(DeviceLinker& linker, const LinkInput& frame, AddressLink& link,
                          bool& joined, int64_t now) {
    const uint32_t own = findOwnGroup(linker, addressKey(frame.address));
    if (own != kNoGroup) return own;
    const Candidates* found = findCandidates(linker, elementFingerprint(*frame.probe));
    uint32_t latest = kNoGroup;
    for (int i = 0; found && i < kFingerprintCandidates && found->groups[i] != kNoGroup; ++i) {
        const uint32_t slot = found->groups[i];
        const DeviceGroup& group = linker.groups.items[slot];
        const int64_t silent = now - group.lastHeard;
        if (group.infrastructure || silent <= kBurstGapMs || silent > kAddressIdleMs) continue;
        if (group.signal != 0 && frame.signal != 0 &&
            signalOff(group, frame.signal) > kSignalMarginDb) {
            continue;
        }
        if (latest == kNoGroup || group.lastHeard > linker.groups.items[latest].lastHeard) {
            latest = slot;
        }
    }
    if (latest == kNoGroup) return ownGroup(linker, frame, now);
    linkAddress(linker, link, latest, now);
    joined = true;
    return latest;
}

// The group of a known address: its own, or another when it returned (see returnedWithinBurst:
// then `moved`). Reads its elements again when due, into `fingerprint`.
uint32_t knownGroup(DeviceLinker& linker, const LinkInput& frame, AddressLink& link,
                    uint32_t silence, uint64_t& fingerprint, bool& moved, int64_t now) {
    const DeviceGroup& group = linker.groups.items[link.group];
    moved = returnedWithinBurst(link, group, silence, now);
    if (frame.probe && (moved || rereadElements(link, silence))) {
        fingerprint = elementFingerprint(*frame.probe);
    }
    if (moved) return regroup(linker, link, frame, fingerprint, now);
    link.joinsSeen = group.joins;  // a later join is after this address's return, if any
    return link.group;
}

// The group of a random address linked by the rules for a new one, its elements read into
// `fingerprint`. A `resumed` address that no group of its present kind takes, or that its own
// takes, stays with its own: not a join (see returnedWithinBurst), so `joined` stays unset. An
// address whose `named` group still lives founds one named by a serial, so that no two groups
// that may both be counted carry one name.
uint32_t linkNew(DeviceLinker& linker, const LinkInput& frame, AddressLink& link, bool resumed,
                 bool named, uint64_t ssid, uint64_t& fingerprint, bool& joined, int64_t now) {
    fingerprint = elementFingerprint(*frame.probe);
    uint32_t slot = matchingGroup(linker, *frame.probe, fingerprint, ssid, frame.signal, now);
    if (resumed && (slot == kNoGroup || slot == link.group)) {
        link.joinsSeen = linker.groups.items[link.group].joins;
        return link.group;
    }
    if (slot == kNoGroup) {
        slot = named ? newSplitGroup(linker, frame, now) : newGroup(linker, frame, now);
        linker.groups.items[slot].newKind = true;
    }
    linkAddress(linker, link, slot, now);
    joined = true;
    return slot;
}

}  // namespace

DeviceLinker::DeviceLinker(LinkerLimits limits)
    : hashKey(randomHashKey()), ssidKey(randomHashKey() | 1) {
    groups.cap = limits.groups;
    ownIndex.slots.assign(indexSlotsFor(limits.groups, limits.groups), 0);
    fingerprintIndex.slots.assign(
        indexSlotsFor(limits.groups * kGroupFingerprints, limits.groups * kGroupFingerprints), 0);
}

bool linkFrame(DeviceLinker& linker, const LinkInput& frame, AddressLink& link,
               DeviceWindow& window, uint8_t device[6]) {
    const int64_t now = linkerTime(linker, frame.milliseconds);
    expireGroups(linker, now, kGroupIdleMs);
    const uint64_t ssid = frame.probe ? ssidHash(linker, *frame.probe) : 0;
    const uint32_t silence = linkSeconds(now) - link.lastHeard;
    uint64_t fingerprint = 0;
    bool joined = false;
    uint32_t slot;
    const bool named = liveGroup(linker, link) != kNoGroup;
    const bool known = knownAddress(linker, link, now);
    if (known && !resumesAfterSilence(linker, link, frame, silence)) {
        slot = knownGroup(linker, frame, link, silence, fingerprint, joined, now);
        if (fingerprint && !joined) {
            slot = leavesPassingState(linker, frame, link, fingerprint, ssid, joined, now);
        }
    } else if (!frame.probe) {
        // Rule "own address": a globally administered address is not drawn at random, and an
        // address that sends anything but probe requests (a client in a network) keeps it, also
        // when it probes later (found among the own groups here); any other is a new random one.
        slot = ownGroup(linker, frame, now);
    } else if (!locallyAdministered(frame.address)) {
        slot = ownAddressProbes(linker, frame, link, joined, now);
    } else if ((slot = findOwnGroup(linker, addressKey(frame.address))) == kNoGroup) {
        slot = linkNew(linker, frame, link, known, named, ssid, fingerprint, joined, now);
    }
    // Rule "a group learns its phone's states": elements that changed under a known address
    // are tied to its group, so the next address in that state joins it.
    if (fingerprint) tieFingerprint(linker, slot, fingerprint);
    DeviceGroup& group = linker.groups.items[slot];
    hear(group, frame, ssid, joined, now);
    touchGroup(linker.groups, slot, now);
    if (group.frames < UINT16_MAX) ++group.frames;
    const bool counted = counts(group);
    if (counted) countInWindow(window, group.window);
    std::memcpy(device, group.name, 6);
    return counted || group.window == window.current.load(std::memory_order_acquire);
}

bool groupCounted(const DeviceLinker& linker, const AddressLink& link, const uint8_t device[6]) {
    if (link.groupSerial == 0) {  // a device that keeps its address is found by it
        const uint32_t own = findOwnGroup(linker, addressKey(device));
        return own != kNoGroup && counts(linker.groups.items[own]);
    }
    if (link.group >= linker.groups.items.size()) return false;
    const DeviceGroup& group = linker.groups.items[link.group];
    return group.serial == link.groupSerial && counts(group);
}

std::size_t liveGroups(const DeviceLinker& linker) {
    return linker.groups.live;
}
