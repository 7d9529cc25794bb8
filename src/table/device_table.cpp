#include "table/device_table.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <random>

#include "clock.h"
#include "log.h"

namespace {

constexpr uint32_t kBurstGap = 3;  // a reading less than 3 s after the previous continues its burst
constexpr std::size_t kMacBytes = sizeof(Entry::mac);

// Hash of the zero-padded MAC text, keyed so outsiders cannot predict collisions.
uint32_t macHash(const char* mac, uint64_t key) {
    uint64_t words[3] = {};
    std::memcpy(words, mac, kMacBytes);
    uint64_t h = key;
    for (uint64_t word : words) {
        h = (h ^ word) * 0x9E3779B97F4A7C15ull;
        h ^= h >> 29;
    }
    return static_cast<uint32_t>(h >> 32);
}

// An index slot is 0 when empty; otherwise its low bits hold the record's position + 1 and its
// top 8 bits the top of the address hash, so most probes settle without touching a record.
constexpr uint32_t kPositionMask = (1u << 24) - 1;
constexpr std::size_t kMaxRecords = kPositionMask - 1;

uint32_t tagOf(uint32_t hash) {
    return hash & ~kPositionMask;
}

// Slot of `mac` in the index, or of the empty slot where it would go.
std::size_t findSlot(const EntryList& list, const char* mac, uint32_t hash) {
    std::size_t mask = list.slots.size() - 1;
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        uint32_t held = list.slots[slot];
        if (held == 0) return slot;
        if (tagOf(held) == tagOf(hash) &&
            std::memcmp(list.entries[(held & kPositionMask) - 1].mac, mac, kMacBytes) == 0) {
            return slot;
        }
    }
}

void indexRecord(EntryList& list, std::size_t position) {
    uint32_t hash = macHash(list.entries[position].mac, list.hashKey);
    list.slots[findSlot(list, list.entries[position].mac, hash)] =
        tagOf(hash) | static_cast<uint32_t>(position + 1);
}

// Refills the index from the records (after pruning moved them, or to a new size).
void rebuildIndex(EntryList& list) {
    std::fill(list.slots.begin(), list.slots.end(), 0);
    for (std::size_t i = 0; i < list.entries.size(); ++i) indexRecord(list, i);
}

// Index size for `records`: a power of two that keeps it at most three quarters full.
std::size_t slotsFor(std::size_t records) {
    std::size_t size = 16;
    while (records * 4 > size * 3) size *= 2;
    return size;
}

// Makes room for one more record, keeping the index at most three quarters full. The table is
// unchanged when memory runs out (std::bad_alloc).
void reserveOneMore(EntryList& list) {
    std::size_t needed = list.entries.size() + 1;
    if (needed > kMaxRecords) throw std::bad_alloc();
    if (needed > list.entries.capacity()) {
        // Grow by half rather than double: memory per device matters more than copies here.
        list.entries.reserve(needed + needed / 2 + 8);
    }
    if (slotsFor(needed) > list.slots.size()) {
        std::vector<uint32_t> bigger(slotsFor(needed));
        list.slots.swap(bigger);
        rebuildIndex(list);
    }
}

// Position of the record of `mac`, appending a zeroed one when the address is new.
std::size_t findOrAppend(EntryList& list, const char* mac) {
    uint32_t hash = macHash(mac, list.hashKey);
    uint32_t held = list.slots[findSlot(list, mac, hash)];
    if (held != 0) return (held & kPositionMask) - 1;
    reserveOneMore(list);
    list.entries.push_back(Entry{});
    std::memcpy(list.entries.back().mac, mac, kMacBytes);
    indexRecord(list, list.entries.size() - 1);
    return list.entries.size() - 1;
}

// Copies the MAC text up to its first NUL (17 characters at most), zero-padding the rest.
void copyMac(char* to, const char* from) {
    char text[kMacBytes] = {};
    std::memcpy(text, from, strnlen(from, kMacBytes - 1));
    std::memcpy(to, text, kMacBytes);
}

void traceMacs(const EntryList& list, const char* format) {
    for (const Entry& entry : list.entries) logText(format, entry.mac);
}

// After a large cull, hands memory back so that one burst of random addresses does not pin
// it for the rest of the run. Keeps the current storage when memory is short.
void shrinkIfSparse(EntryList& list) {
    std::size_t size = list.entries.size();
    if (list.entries.capacity() < 4096 || size * 4 > list.entries.capacity()) return;
    try {
        std::vector<Entry> compact(list.entries.begin(), list.entries.end());
        std::vector<uint32_t> slots(slotsFor(size));
        list.entries.swap(compact);
        list.slots.swap(slots);
    } catch (const std::bad_alloc&) {
    }
}

// Keeps, in order, the records last seen after `cutoff`.
void pruneAll(EntryList& list, uint32_t cutoff) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < list.entries.size(); ++i) {
        if (list.entries[i].lastSeen <= cutoff) continue;
        if (kept != i) list.entries[kept] = list.entries[i];
        ++kept;
    }
    if (kept != list.entries.size()) {
        list.entries.resize(kept);
        shrinkIfSparse(list);
        rebuildIndex(list);
    }
    list.prunedAtCutoff = true;
    list.cutoff = cutoff;
}

uint64_t randomKey() {
    try {
        std::random_device device;
        return (uint64_t{device()} << 32) ^ device();
    } catch (...) {
        return static_cast<uint64_t>(std::time(nullptr)) * 0x9E3779B97F4A7C15ull;
    }
}

}  // namespace

EntryList::EntryList() : slots(slotsFor(0)), hashKey(randomKey()) {}

int updateEntry(const Reading& reading, Entry& entry) {
    uint32_t previous = entry.lastSeconds;
    entry.lastSeconds = static_cast<uint32_t>(reading.seconds);
    copyMac(entry.mac, reading.mac);
    if (entry.count < kCountLimit) ++entry.count;
    if (entry.firstSeen == 0) entry.firstSeen = static_cast<uint32_t>(wallClock());
    entry.lastSeen = static_cast<uint32_t>(wallClock());
    if (entry.lastSeconds - previous < kBurstGap) {
        std::memmove(entry.history + 1, entry.history, (kHistorySlots - 2) * sizeof(int32_t));
    } else {
        std::memset(entry.history, 0, (kHistorySlots - 1) * sizeof(int32_t));
    }
    entry.history[0] = reading.signal;
    gaussFilter(entry.history);
    // An empty history has no mean: the record keeps its previous signal.
    if (entry.history[0] != 0) entry.signal = static_cast<int32_t>(mean(entry.history) + 0.5);
    return 0;
}

int updateEntryList(const Reading& reading, EntryList& list, int traceLevel) {
    std::lock_guard<std::mutex> hold(list.lock);
    const bool tracing = traceLevel >= kTraceLines;
    if (tracing) traceMacs(list, "In list MAC Previous: %s\n");
    Reading stored = reading;  // the key is the zero-padded text up to its first NUL
    copyMac(stored.mac, reading.mac);
    bool kept = true;
    try {
        std::size_t position = findOrAppend(list, stored.mac);
        updateEntry(stored, list.entries[position]);
        // A second update before pruning breaks the one-touched-record shortcut.
        if (list.touched != EntryList::kNoneTouched) list.prunedAtCutoff = false;
        list.touched = static_cast<uint32_t>(position);
    } catch (const std::bad_alloc&) {
        kept = false;
    }
    if (tracing) traceMacs(list, "In list MAC After: %s\n");
    if (kept) return 0;
    logText("No more available memory");
    return -1;
}

int cleanEntryList(EntryList& list, int maxAge, uint32_t now) {
    std::lock_guard<std::mutex> hold(list.lock);
    uint32_t cutoff = now - static_cast<uint32_t>(maxAge);
    uint32_t touched = list.touched;
    list.touched = EntryList::kNoneTouched;
    if (maxAge == 0) {
        list.prunedAtCutoff = false;  // records added meanwhile have never been checked
        return 0;
    }
    bool touchedFell = touched != EntryList::kNoneTouched && touched < list.entries.size() &&
                       list.entries[touched].lastSeen <= cutoff;
    if (!list.prunedAtCutoff || cutoff != list.cutoff || touchedFell) pruneAll(list, cutoff);
    return 0;
}

std::size_t entryCount(const EntryList& list) {
    std::lock_guard<std::mutex> hold(list.lock);
    return list.entries.size();
}
