// The device linker's two stores, shared by its source files and used by nothing else: the
// group pool in least-recently-heard order (with the index of devices that keep their
// address), and the candidates: for each fingerprint, the groups that showed it lately.
#pragma once

#include <cstdint>

#include "table/device_linker.h"

// No slot: the end of a recency list, a free candidate, a key the index does not hold.
constexpr uint32_t kNoGroup = kNoPosition;

uint64_t addressKey(const uint8_t address[6]);

// Makes the group the most recently heard, at `now`.
void touchGroup(GroupPool& pool, uint32_t slot, int64_t now);

// A new group founded by the frame's sender, named by it; at the cap the least recently heard
// group makes room.
uint32_t newGroup(DeviceLinker& linker, const LinkInput& frame, int64_t now);

// A new group split off another, named by its serial with the group bit set.
uint32_t newSplitGroup(DeviceLinker& linker, const LinkInput& frame, int64_t now);

// Forgets the group in `slot`: it no longer links anything, and its slot is free.
void forgetGroup(DeviceLinker& linker, uint32_t slot);

// Forgets the groups unheard for more than `idleMs`; amortised, each goes once.
void expireGroups(DeviceLinker& linker, int64_t now, int64_t idleMs);

// The group of the device that keeps the address `key`, or kNoGroup.
uint32_t findOwnGroup(const DeviceLinker& linker, uint64_t key);

// The group of the device that keeps the frame's address, made when there is none.
uint32_t ownGroup(DeviceLinker& linker, const LinkInput& frame, int64_t now);

// The candidates of `fingerprint`, or null when no group shows it.
const Candidates* findCandidates(const DeviceLinker& linker, uint64_t fingerprint);

// Ties `fingerprint` to the group: its newest (its oldest goes when it had all it keeps), and
// the group first among the fingerprint's candidates (one pushed off the end loses it).
void tieFingerprint(DeviceLinker& linker, uint32_t slot, uint64_t fingerprint);
