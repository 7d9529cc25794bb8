#include "table/linker_groups.h"

#include <cstring>

#include "bytes.h"
#include "log.h"

namespace {

// --- the group pool: least recently heard last, expired and evicted from that end -------------

void unlink(GroupPool& pool, uint32_t slot) {
    RecentLinks& links = pool.items[slot].recent;
    (links.newer == kNoGroup ? pool.newest : pool.items[links.newer].recent.older) = links.older;
    (links.older == kNoGroup ? pool.oldest : pool.items[links.older].recent.newer) = links.newer;
    links = RecentLinks{};
}

void pushNewest(GroupPool& pool, uint32_t slot) {
    RecentLinks& links = pool.items[slot].recent;
    links.older = pool.newest;
    links.newer = kNoGroup;
    if (pool.newest != kNoGroup) pool.items[pool.newest].recent.newer = slot;
    pool.newest = slot;
    if (pool.oldest == kNoGroup) pool.oldest = slot;
}

// A free slot, or kNoGroup when the pool is at its cap.
uint32_t freeSlot(GroupPool& pool) {
    if (!pool.spare.empty()) {
        uint32_t slot = pool.spare.back();
        pool.spare.pop_back();
        return slot;
    }
    if (pool.items.size() >= pool.cap) return kNoGroup;
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

void unindexOwnGroup(DeviceLinker& linker, uint32_t slot) {
    erase(linker.ownIndex, indexHash(linker, addressKey(linker.groups.items[slot].name)), slot,
          [&](uint32_t other) {
              return indexHash(linker, addressKey(linker.groups.items[other].name));
          });
}

// Where the candidates of `fingerprint` are kept, or kNoGroup.
uint32_t candidatesSlot(const DeviceLinker& linker, uint64_t fingerprint) {
    return lookup(linker.fingerprintIndex, indexHash(linker, fingerprint), [&](uint32_t slot) {
        return linker.fingerprints[slot].fingerprint == fingerprint;
    });
}

Candidates* candidatesOf(DeviceLinker& linker, uint64_t fingerprint) {
    const uint32_t at = candidatesSlot(linker, fingerprint);
    return at == kNoGroup ? nullptr : &linker.fingerprints[at];
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
    for (uint32_t& group : candidates.groups) group = kNoGroup;
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

// Takes the group off the candidates of `fingerprint`, keeping the rest in order; a fingerprint
// that no group shows any more is dropped.
void forgetCandidate(DeviceLinker& linker, uint64_t fingerprint, uint32_t group) {
    Candidates* found = candidatesOf(linker, fingerprint);
    if (!found) return;
    uint32_t* slots = found->groups;
    int kept = 0;
    for (int i = 0; i < kFingerprintCandidates; ++i) {
        if (slots[i] != group && slots[i] != kNoGroup) slots[kept++] = slots[i];
    }
    if (kept == 0) return dropCandidates(linker, *found);
    while (kept < kFingerprintCandidates) slots[kept++] = kNoGroup;
}

// Takes `fingerprint` off the group's own list, keeping the rest in order.
void removeFingerprint(DeviceGroup& group, uint64_t fingerprint) {
    int kept = 0;
    for (uint64_t own : group.fingerprints) {
        if (own != fingerprint) group.fingerprints[kept++] = own;
    }
    while (kept < kGroupFingerprints) group.fingerprints[kept++] = 0;
}

// Makes `fingerprint` the group's newest (its oldest goes when it had all it keeps).
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
// longer found through it, and loses it from its own list.
void promoteCandidate(DeviceLinker& linker, uint32_t slot, uint64_t fingerprint) {
    Candidates* found = candidatesOf(linker, fingerprint);
    uint32_t* slots = (found ? *found : addCandidates(linker, fingerprint)).groups;
    if (slots[0] == slot) return;
    int at = 0;
    while (at < kFingerprintCandidates - 1 && slots[at] != slot) ++at;
    if (slots[at] != slot && slots[at] != kNoGroup) {
        removeFingerprint(linker.groups.items[slots[at]], fingerprint);
    }
    for (; at > 0; --at) slots[at] = slots[at - 1];
    slots[0] = slot;
}

void dropGroup(DeviceLinker& linker, uint32_t slot) {
    const DeviceGroup& group = linker.groups.items[slot];
    if (group.ownAddress) unindexOwnGroup(linker, slot);
    for (uint64_t fingerprint : group.fingerprints) {
        if (fingerprint) forgetCandidate(linker, fingerprint, slot);
    }
    release(linker.groups, slot);
}

}  // namespace

uint64_t addressKey(const uint8_t address[6]) {
    uint64_t key = 0;
    for (int i = 0; i < 6; ++i) key = key << 8 | address[i];
    return key;
}

void touchGroup(GroupPool& pool, uint32_t slot, int64_t now) {
    pool.items[slot].lastHeard = now;
    if (pool.newest == slot) return;
    unlink(pool, slot);
    pushNewest(pool, slot);
}

void forgetGroup(DeviceLinker& linker, uint32_t slot) {
    dropGroup(linker, slot);
}

void expireGroups(DeviceLinker& linker, int64_t now, int64_t idleMs) {
    GroupPool& groups = linker.groups;
    while (groups.oldest != kNoGroup && now - groups.items[groups.oldest].lastHeard > idleMs) {
        dropGroup(linker, groups.oldest);
    }
}

uint32_t newGroup(DeviceLinker& linker, const LinkInput& frame, int64_t now) {
    uint32_t slot = freeSlot(linker.groups);
    if (slot == kNoGroup) {  // at the cap: the group heard least recently makes room
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

// No sender has such a name, and the address that founded the other group may be the one that
// moved.
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

uint32_t findOwnGroup(const DeviceLinker& linker, uint64_t key) {
    return lookup(linker.ownIndex, indexHash(linker, key),
                  [&](uint32_t slot) { return addressKey(linker.groups.items[slot].name) == key; });
}

uint32_t ownGroup(DeviceLinker& linker, const LinkInput& frame, int64_t now) {
    const uint64_t key = addressKey(frame.address);
    const uint32_t found = findOwnGroup(linker, key);
    if (found != kNoGroup) return found;
    uint32_t slot = newGroup(linker, frame, now);
    linker.groups.items[slot].ownAddress = true;
    insert(linker.ownIndex, indexHash(linker, key), slot);
    return slot;
}

const Candidates* findCandidates(const DeviceLinker& linker, uint64_t fingerprint) {
    const uint32_t at = candidatesSlot(linker, fingerprint);
    return at == kNoGroup ? nullptr : &linker.fingerprints[at];
}

void tieFingerprint(DeviceLinker& linker, uint32_t slot, uint64_t fingerprint) {
    addFingerprint(linker, slot, fingerprint);
    promoteCandidate(linker, slot, fingerprint);
}
