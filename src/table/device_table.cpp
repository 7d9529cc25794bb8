#include "table/device_table.h"

#include <cstring>
#include <new>

#include "bytes.h"
#include "clock.h"
#include "log.h"

namespace {

constexpr uint32_t kBurstGap = 3;  // a reading less than 3 s after the previous continues its burst
constexpr std::size_t kMacBytes = sizeof(Entry::mac);

// Hash of the zero-padded MAC text, keyed so outsiders cannot predict collisions; read in
// little-endian words on every machine, so that its last digit places the record on a
// big-endian router too.
uint64_t macHash(const char* mac, uint64_t key) {
    uint8_t bytes[24] = {};
    static_assert(kMacBytes <= sizeof bytes, "an address's text fits three words");
    std::memcpy(bytes, mac, kMacBytes);
    uint64_t h = key;
    for (int at = 0; at < 24; at += 8) h = foldWord(h, little64(bytes + at));
    return h;
}

Node& node(const EntryList& list, Position at) {
    return nodeAt(list, at);
}

// Links of the order of first appearance, and of recency, as the orders take them.
auto orderOf(EntryList& list) {
    return [&list](Position at) -> Links& { return node(list, at).order; };
}
auto recencyOf(EntryList& list) {
    return [&list](Position at) -> Links& { return node(list, at).recency; };
}

uint64_t hashAt(const EntryList& list, Position at) {
    return macHash(node(list, at).entry.mac, list.hashKey);
}

// Position of the record of `mac` (whose hash is `hash`), or kNoPosition.
Position findRecord(const EntryList& list, const char* mac, uint64_t hash) {
    return lookup(list.index, hash, [&list, mac](Position at) {
        return std::memcmp(node(list, at).entry.mac, mac, kMacBytes) == 0;
    });
}

void unindexRecord(EntryList& list, Position at) {
    erase(list.index, hashAt(list, at), at, [&list](Position held) { return hashAt(list, held); });
}

// Refills the index from the records (after pruning, or at a new size); a lost one stays so.
void rebuildIndex(EntryList& list) {
    if (list.index.slots.empty()) return;
    clearSlots(list.index);
    for (Position at = list.order.first; at != kNoPosition; at = node(list, at).order.after)
        insert(list.index, hashAt(list, at), at);
}

// Resizes the index to `size` slots and refills it from the records. Where memory is short
// the old index goes first, since the records can refill it; when even then there is no room,
// the index is rebuilt at its old size, or left empty (lost) when that cannot be had back
// either, and std::bad_alloc thrown. The records stay as they are.
void resizeIndex(EntryList& list, std::size_t size) {
    try {
        resizeSlots(list.index, size);
    } catch (const std::bad_alloc&) {
        rebuildIndex(list);
        throw;
    }
    rebuildIndex(list);
}

// Gets back an index lost to a failed resize; std::bad_alloc when there is still no room.
void recoverIndex(EntryList& list) {
    if (list.index.slots.empty())
        resizeIndex(list, indexSlotsFor(list.size, positionSpan(list.blocks)));
}

// A node for a new record (a dropped one first, else a never-used one), with the index sized
// for one more record. The table is unchanged when memory runs out (std::bad_alloc).
Position newNode(EntryList& list) {
    reserveNode(list.blocks);
    std::size_t needed = indexSlotsFor(list.size + 1, positionSpan(list.blocks));
    if (needed > list.index.slots.size()) resizeIndex(list, needed);
    return takeNode(list.blocks);
}

// Takes `at` out of the order of first appearance, keeping the report's walk on live records.
void leaveOrder(EntryList& list, Position at) {
    stepPast(list.walk, at, node(list, at).order);
    unlink(list.order, orderOf(list), at);
}

// Only a capped table keeps the recency order: it costs a few writes per reading.
void markHeard(EntryList& list, Position at) {
    if (list.maxDevices != 0) moveToEnd(list.recency, recencyOf(list), at);
}

// Drops the record heard least recently, in constant time; its node is free for the next.
void evictOldest(EntryList& list) {
    Position at = list.recency.first;
    unindexRecord(list, at);
    unlink(list.recency, recencyOf(list), at);
    leaveOrder(list, at);
    freeNode(list.blocks, at);
    --list.size;
}

// Position of the record of `mac` (whose hash is `hash`), appending a zeroed one when the
// address is new.
Position findOrAppend(EntryList& list, const char* mac, uint64_t hash) {
    Position found = findRecord(list, mac, hash);
    if (found != kNoPosition) return found;
    if (list.maxDevices != 0 && list.size >= list.maxDevices) evictOldest(list);
    Position at = newNode(list);
    std::memcpy(node(list, at).entry.mac, mac, kMacBytes);
    append(list.order, orderOf(list), at);
    insert(list.index, hash, at);
    ++list.size;
    return at;
}

// The bits of a word that hold its first `bytes` bytes in memory order.
uint64_t leadingBytes(std::size_t bytes) {
    if (bytes >= 8) return ~uint64_t{0};
    if (bytes == 0) return 0;
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return ~uint64_t{0} << (8 * (8 - bytes));
#else
    return (uint64_t{1} << (8 * bytes)) - 1;
#endif
}

// True when one of the word's bytes is 0.
bool hasZeroByte(uint64_t word) {
    return ((word - 0x0101010101010101ull) & ~word & 0x8080808080808080ull) != 0;
}

// Length of the MAC text in `words` (the 18 bytes of `text`): 17 at most.
std::size_t macLength(const uint64_t (&words)[3], const char* text) {
    if (!hasZeroByte(words[0]) && !hasZeroByte(words[1]) && text[kMacBytes - 2] != '\0') {
        return kMacBytes - 1;  // the usual full address, found without a byte loop
    }
    std::size_t length = 0;
    while (length < kMacBytes - 1 && text[length] != '\0') ++length;
    return length;
}

// Copies the MAC text up to its first NUL (17 characters at most), zero-padding the rest.
// Works on whole words, so that what is written is read back at the same width.
void copyMac(char* to, const char (&from)[kMacBytes]) {
    uint64_t words[3] = {};
    std::memcpy(words, from, kMacBytes);
    std::size_t length = macLength(words, from);
    for (std::size_t i = 0; i < 3; ++i)
        words[i] &= leadingBytes(length > 8 * i ? length - 8 * i : 0);
    std::memcpy(to, words, kMacBytes);
}

void traceMacs(const EntryList& list, const char* format) {
    for (Position at = list.order.first; at != kNoPosition; at = node(list, at).order.after) {
        logText(format, node(list, at).entry.mac);
    }
}

// Fits the index to the records left and refills it. A smaller index is only taken when memory
// for it can be had; otherwise the one there is kept (or stays lost), so this cannot fail.
void fitIndex(EntryList& list) {
    std::size_t fitting = indexSlotsFor(list.size, positionSpan(list.blocks));
    if (list.index.slots.empty()) {
        try {
            resizeIndex(list, fitting);
        } catch (const std::bad_alloc&) {
        }
        return;
    }
    shrinkSlots(list.index, fitting);
    rebuildIndex(list);
}

// Keeps, in order, the records last heard after `cutoff`, noting the oldest of them.
void pruneAll(EntryList& list, int64_t cutoff) {
    uint32_t before = list.size;
    int64_t oldest = kNothingHeard;
    for (Position at = list.order.first; at != kNoPosition;) {
        Position next = node(list, at).order.after;
        const int64_t heard = node(list, at).entry.lastHeard;
        if (heard <= cutoff) {
            leaveOrder(list, at);
            if (list.maxDevices != 0) unlink(list.recency, recencyOf(list), at);
            freeNode(list.blocks, at);
            --list.size;
        } else if (heard < oldest) {
            oldest = heard;
        }
        at = next;
    }
    if (list.size != before) {
        releaseEmptyBlocks(list.blocks, list.size);
        fitIndex(list);
    }
    list.oldestHeard = oldest;
}

// Drops every record and hands every block back: the table as it was at start.
void startNewDay(EntryList& list) {
    releaseAll(list.blocks);
    list.order = Chain{};
    list.recency = Chain{};
    list.size = 0;
    list.oldestHeard = kNothingHeard;
    list.walk = Walk{};
    fitIndex(list);
    list.newDayAsked = false;
}

}  // namespace

EntryList::EntryList(std::size_t maxDevices, bool linksDevices)
    : index{std::vector<uint32_t>(indexSlotsFor(0, 0))},
      hashKey(randomHashKey()),
      maxDevices(maxDevices) {
    blocks.withLinks = linksDevices;
}

namespace {

// updateEntry for a reading whose address is already zero-padded, with the clocks already read
// once, the wall clock at `heardAt` and the monotonic one at `heardSteady`: a first reading
// stamps `heardAt` as its first time and reads the wall clock again for its latest.
void storeReading(const Reading& reading, Entry& entry, uint32_t heardAt, uint32_t heardSteady) {
    uint32_t previous = entry.lastSeconds;
    entry.lastSeconds = static_cast<uint32_t>(reading.seconds);
    std::memcpy(entry.mac, reading.mac, kMacBytes);
    std::memcpy(entry.device, reading.device, sizeof entry.device);
    entry.counted = reading.counted;
    if (entry.count < kCountLimit) ++entry.count;
    if (entry.firstSeen == 0) {
        entry.firstSeen = heardAt;
        heardAt = static_cast<uint32_t>(wallClock());
    }
    entry.lastSeen = heardAt;
    entry.lastHeard = heardSteady;
    if (entry.lastSeconds - previous < kBurstGap) {
        std::memmove(entry.history + 1, entry.history, (kHistorySlots - 2) * sizeof(int32_t));
    } else {
        std::memset(entry.history, 0, (kHistorySlots - 1) * sizeof(int32_t));
    }
    entry.history[0] = reading.signal;
    gaussFilter(entry.history);
    // An empty history has no mean: the record keeps its previous signal.
    if (entry.history[0] != 0) entry.signal = static_cast<int32_t>(mean(entry.history) + 0.5);
}

}  // namespace

int updateEntry(const Reading& reading, Entry& entry) {
    Reading stored = reading;
    copyMac(stored.mac, reading.mac);
    storeReading(stored, entry, static_cast<uint32_t>(wallClock()),
                 static_cast<uint32_t>(monotonicClock()));
    return 0;
}

int updateEntryList(const Reading& reading, EntryList& list, int traceLevel,
                    const Linking* linking) {
    Reading stored = reading;  // the key is the zero-padded text up to its first NUL
    copyMac(stored.mac, reading.mac);
    // Only this thread changes the table, so it may look at the index before taking the lock:
    // in a large table the slot is then on its way while the lock and the clock are taken.
    uint64_t hash = macHash(stored.mac, list.hashKey);
    prefetchSlot(list.index, hash);
    std::lock_guard<std::mutex> hold(list.lock);
    if (list.newDayAsked) startNewDay(list);
    const bool tracing = traceLevel >= kTraceLines;
    if (tracing) traceMacs(list, "In list MAC Previous: %s\n");
    bool kept = true;
    try {
        uint32_t heardAt = static_cast<uint32_t>(wallClock());
        uint32_t heardSteady = static_cast<uint32_t>(monotonicClock());
        recoverIndex(list);
        Position at = findOrAppend(list, stored.mac, hash);
        if (linking && list.blocks.withLinks) {
            list.linker = &linking->linker;
            stored.counted = linkFrame(linking->linker, linking->frame, linkAt(list.blocks, at),
                                       list.devices, stored.device);
        }
        storeReading(stored, node(list, at).entry, heardAt, heardSteady);
        markHeard(list, at);
        if (heardSteady < list.oldestHeard) list.oldestHeard = heardSteady;
    } catch (const std::bad_alloc&) {
        kept = false;
    }
    if (tracing) traceMacs(list, "In list MAC After: %s\n");
    if (kept) return 0;
    logText("No more available memory");
    return -1;
}

int pruneDueEntries(EntryList& list, int64_t cutoff) {
    std::lock_guard<std::mutex> hold(list.lock);
    pruneAll(list, cutoff);
    return 0;
}

void beginWalk(const EntryList& list) {
    std::lock_guard<std::mutex> hold(list.lock);
    // After the day's last document its records are no longer reported.
    list.walk = list.newDayAsked ? Walk{} : Walk{list.order.first, list.order.last};
}

bool nextSlice(const EntryList& list, std::vector<Entry>& slice) {
    slice.clear();
    std::lock_guard<std::mutex> hold(list.lock);
    Walk& walk = list.walk;
    while (walk.next != kNoPosition && slice.size() < kWalkSlice) {
        const Node& at = nodeAt(list, walk.next);
        slice.push_back(walkedEntry(list, walk.next));
        walk.next = walk.next == walk.last ? kNoPosition : at.order.after;
    }
    return !slice.empty();
}

std::size_t entryCount(const EntryList& list) {
    std::lock_guard<std::mutex> hold(list.lock);
    return list.newDayAsked ? 0 : list.size;
}

void askNewDay(const EntryList& list) {
    std::lock_guard<std::mutex> hold(list.lock);
    list.newDayAsked = true;
}

std::size_t entryCapacity(const EntryList& list) {
    std::lock_guard<std::mutex> hold(list.lock);
    return capacityOf(list.blocks);
}
