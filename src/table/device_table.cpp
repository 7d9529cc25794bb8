#include "table/device_table.h"

#include <sys/mman.h>

#include <algorithm>
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

Node& node(const EntryList& list, Position at) {
    return nodeAt(list, at);
}

// Positions in use span this many, holes left by blocks handed back included.
std::size_t positionSpan(const EntryList& list) {
    return list.blocks.size() * kBlockRecords;
}

// Records the blocks held can take.
std::size_t capacityOf(const EntryList& list) {
    return kBlockRecords *
           (list.blocks.size() - std::count(list.blocks.begin(), list.blocks.end(), nullptr));
}

// The low bits of a slot that hold position + 1; the rest hold the hash's tag.
uint32_t positionMask(const EntryList& list) {
    return static_cast<uint32_t>(list.slots.size() - 1);
}

// Slot of `mac` in the index, or of the empty slot where it would go.
std::size_t findSlot(const EntryList& list, const char* mac, uint32_t hash) {
    const uint32_t mask = positionMask(list);
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        uint32_t held = list.slots[slot];
        if (held == 0) return slot;
        if ((held & ~mask) == (hash & ~mask) &&
            std::memcmp(node(list, (held & mask) - 1).entry.mac, mac, kMacBytes) == 0) {
            return slot;
        }
    }
}

void indexRecord(EntryList& list, Position at) {
    uint32_t hash = macHash(node(list, at).entry.mac, list.hashKey);
    list.slots[findSlot(list, node(list, at).entry.mac, hash)] =
        (hash & ~positionMask(list)) | (at + 1);
}

// Takes the record at `at` out of the index, moving later members of its probe run back so
// that every lookup still finds them.
void unindexRecord(EntryList& list, Position at) {
    const uint32_t mask = positionMask(list);
    std::size_t hole =
        findSlot(list, node(list, at).entry.mac, macHash(node(list, at).entry.mac, list.hashKey));
    list.slots[hole] = 0;
    for (std::size_t slot = (hole + 1) & mask; list.slots[slot] != 0; slot = (slot + 1) & mask) {
        uint32_t held = list.slots[slot];
        std::size_t home = macHash(node(list, (held & mask) - 1).entry.mac, list.hashKey) & mask;
        // Move it into the hole unless its home lies cyclically in (hole, slot].
        bool homeAfterHole =
            hole <= slot ? (home > hole && home <= slot) : (home > hole || home <= slot);
        if (homeAfterHole) continue;
        list.slots[hole] = held;
        list.slots[slot] = 0;
        hole = slot;
    }
}

// Refills the index from the records (after pruning, or at a new size); a lost one stays so.
void rebuildIndex(EntryList& list) {
    if (list.slots.empty()) return;
    std::fill(list.slots.begin(), list.slots.end(), 0);
    for (Position at = list.order.first; at != kNoPosition; at = node(list, at).order.after)
        indexRecord(list, at);
}

// Index size for `records` live records among `capacity` positions: a power of two that keeps
// the index at most three quarters full and has room for every position + 1 in its low bits.
std::size_t slotsFor(std::size_t records, std::size_t capacity) {
    std::size_t size = 16;
    while (records * 4 > size * 3 || capacity >= size) size *= 2;
    if (size > (std::size_t{1} << 31)) throw std::bad_alloc();  // no bits left for a tag
    return size;
}

// Resizes the index to `size` slots and refills it from the records. Where memory is short
// the old index goes first, since the records can refill it; when even then there is no room,
// the index is rebuilt at its old size, or left empty (lost) when that cannot be had back
// either, and std::bad_alloc thrown. The records stay as they are.
void resizeIndex(EntryList& list, std::size_t size) {
    std::size_t oldSize = list.slots.size();
    try {
        std::vector<uint32_t> resized(size);
        list.slots.swap(resized);
    } catch (const std::bad_alloc&) {
        std::vector<uint32_t>().swap(list.slots);
        try {
            list.slots.resize(size);
        } catch (const std::bad_alloc&) {
            try {
                list.slots.resize(oldSize);
                rebuildIndex(list);
            } catch (const std::bad_alloc&) {
            }
            throw;
        }
    }
    rebuildIndex(list);
}

// Gets back an index lost to a failed resize; std::bad_alloc when there is still no room.
void recoverIndex(EntryList& list) {
    if (list.slots.empty()) resizeIndex(list, slotsFor(list.size, positionSpan(list)));
}

void* mapMemory(std::size_t bytes) {
    void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return memory == MAP_FAILED ? nullptr : memory;
}

// Zeroed memory for one block, from the system; its pages are committed only when written.
// Mapped twice as large and trimmed to an aligned block where the address space allows.
Block mapBlock() {
    char* memory = static_cast<char*>(mapMemory(2 * kBlockBytes));
    if (memory) {
        std::uintptr_t address = reinterpret_cast<std::uintptr_t>(memory);
        std::size_t head = (kBlockBytes - address % kBlockBytes) % kBlockBytes;
        if (head > 0) munmap(memory, head);
        munmap(memory + head + kBlockBytes, kBlockBytes - head);
        memory += head;
    } else {
        memory = static_cast<char*>(mapMemory(kBlockBytes));
        if (!memory) throw std::bad_alloc();
    }
#ifdef MADV_HUGEPAGE
    madvise(memory, kBlockBytes, MADV_HUGEPAGE);  // refused where the kernel has none: fine
#endif
    return Block(reinterpret_cast<Node*>(memory));
}

// Maps a block into the first hole left by a block handed back, or after the last, and makes
// it the one new records are taken from.
void addBlock(EntryList& list) {
    Block block = mapBlock();
    auto hole = std::find(list.blocks.begin(), list.blocks.end(), nullptr);
    std::size_t index = hole - list.blocks.begin();
    if (hole == list.blocks.end()) list.blocks.emplace_back();
    list.blocks[index] = std::move(block);
    list.fresh = static_cast<Position>(index * kBlockRecords);
}

// A node for a new record (a dropped one first, else a never-used one), with the index sized
// for one more record. The table is unchanged when memory runs out (std::bad_alloc).
Position takeNode(EntryList& list) {
    if (list.freeNodes == kNoPosition && list.fresh == kNoPosition) {
        if (positionSpan(list) + kBlockRecords > kNoPosition) throw std::bad_alloc();
        addBlock(list);
    }
    std::size_t needed = slotsFor(list.size + 1, positionSpan(list));
    if (needed > list.slots.size()) resizeIndex(list, needed);
    Position at;
    if (list.freeNodes != kNoPosition) {
        at = list.freeNodes;
        list.freeNodes = node(list, at).order.after;
    } else {
        at = list.fresh++;
        if (list.fresh % kBlockRecords == 0) list.fresh = kNoPosition;
    }
    node(list, at) = Node{};
    return at;
}

void freeNode(EntryList& list, Position at) {
    node(list, at).entry.count = 0;
    node(list, at).order.after = list.freeNodes;
    list.freeNodes = at;
}

// Appends `at` at the end of `chain`, through the links `links` of each node.
void append(EntryList& list, Chain& chain, Links Node::*links, Position at) {
    node(list, at).*links = Links{chain.last, kNoPosition};
    if (chain.last != kNoPosition) {
        (node(list, chain.last).*links).after = at;
    } else {
        chain.first = at;
    }
    chain.last = at;
}

// Keeps the report's walk on live records when `at` leaves the order of first appearance.
void stepWalkPast(EntryList& list, Position at) {
    if (list.walkNext == kNoPosition) return;
    const Links around = node(list, at).order;
    if (at == list.walkLast) {
        if (list.walkNext == at) list.walkNext = kNoPosition;  // it was the walk's last record
        list.walkLast = around.before;
    }
    if (at == list.walkNext) list.walkNext = around.after;
}

// Takes `at` out of `chain`, joining its neighbours.
void unlink(EntryList& list, Chain& chain, Links Node::*links, Position at) {
    if (links == &Node::order) stepWalkPast(list, at);
    Links around = node(list, at).*links;
    if (around.before != kNoPosition) {
        (node(list, around.before).*links).after = around.after;
    } else {
        chain.first = around.after;
    }
    if (around.after != kNoPosition) {
        (node(list, around.after).*links).before = around.before;
    } else {
        chain.last = around.before;
    }
}

// Only a capped table keeps the recency order: it costs a few writes per reading.
void markHeard(EntryList& list, Position at) {
    if (list.maxDevices == 0 || list.recency.last == at) return;
    bool listed = node(list, at).recency.before != kNoPosition || list.recency.first == at;
    if (listed) unlink(list, list.recency, &Node::recency, at);
    append(list, list.recency, &Node::recency, at);
}

// Drops the record heard least recently, in constant time; its node is free for the next.
void evictOldest(EntryList& list) {
    Position at = list.recency.first;
    unindexRecord(list, at);
    unlink(list, list.recency, &Node::recency, at);
    unlink(list, list.order, &Node::order, at);
    freeNode(list, at);
    --list.size;
}

// Position of the record of `mac` (whose hash is `hash`), appending a zeroed one when the
// address is new.
Position findOrAppend(EntryList& list, const char* mac, uint32_t hash) {
    uint32_t held = list.slots[findSlot(list, mac, hash)];
    if (held != 0) return (held & positionMask(list)) - 1;
    if (list.maxDevices != 0 && list.size >= list.maxDevices) evictOldest(list);
    Position at = takeNode(list);
    std::memcpy(node(list, at).entry.mac, mac, kMacBytes);
    append(list, list.order, &Node::order, at);
    indexRecord(list, at);
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

// True when block `b` holds a record, looking at its nodes before `used`.
bool blockInUse(const EntryList& list, std::size_t b, Position used) {
    for (Position i = 0; i < used; ++i) {
        if (list.blocks[b][i].entry.count != 0) return true;
    }
    return false;
}

// After a large cull, hands back the blocks left without a record, so that one burst of random
// addresses does not pin memory for the rest of the run, and refills the free list from the
// rest. Needs no memory: it runs when memory may be short.
void releaseEmptyBlocks(EntryList& list) {
    std::size_t capacity = capacityOf(list);
    if (capacity < 4 * kBlockRecords || std::size_t{list.size} * 4 > capacity) return;
    list.freeNodes = kNoPosition;
    for (std::size_t b = list.blocks.size(); b-- > 0;) {
        if (!list.blocks[b]) continue;
        const Position base = static_cast<Position>(b * kBlockRecords);
        bool freshHere = list.fresh != kNoPosition && list.fresh - base < kBlockRecords;
        // Nodes at and after the frontier were never used: they stay out of the free list.
        Position used = freshHere ? list.fresh - base : kBlockRecords;
        if (!blockInUse(list, b, used)) {
            list.blocks[b].reset();
            if (freshHere) list.fresh = kNoPosition;
            continue;
        }
        for (Position i = used; i-- > 0;) {
            if (list.blocks[b][i].entry.count == 0) freeNode(list, base + i);
        }
    }
    while (!list.blocks.empty() && !list.blocks.back()) list.blocks.pop_back();
}

// Fits the index to the records left and refills it. A smaller index is only taken when memory
// for it can be had; otherwise the one there is kept (or stays lost), so this cannot fail.
void fitIndex(EntryList& list) {
    std::size_t fitting = slotsFor(list.size, positionSpan(list));
    if (list.slots.empty()) {
        try {
            resizeIndex(list, fitting);
        } catch (const std::bad_alloc&) {
        }
        return;
    }
    if (fitting < list.slots.size()) {
        try {
            std::vector<uint32_t> smaller(fitting);
            list.slots.swap(smaller);
        } catch (const std::bad_alloc&) {
        }
    }
    rebuildIndex(list);
}

// Keeps, in order, the records last seen after `cutoff`.
void pruneAll(EntryList& list, uint32_t cutoff) {
    uint32_t before = list.size;
    for (Position at = list.order.first; at != kNoPosition;) {
        Position next = node(list, at).order.after;
        if (node(list, at).entry.lastSeen <= cutoff) {
            unlink(list, list.order, &Node::order, at);
            if (list.maxDevices != 0) unlink(list, list.recency, &Node::recency, at);
            freeNode(list, at);
            --list.size;
        }
        at = next;
    }
    if (list.size != before) {
        releaseEmptyBlocks(list);
        fitIndex(list);
    }
    list.prunedAtCutoff = true;
    list.cutoff = cutoff;
}

// Drops every record and hands every block back: the table as it was at start.
void startNewDay(EntryList& list) {
    list.blocks.clear();
    list.order = Chain{};
    list.recency = Chain{};
    list.freeNodes = kNoPosition;
    list.fresh = kNoPosition;
    list.size = 0;
    list.touched = kNoPosition;
    list.prunedAtCutoff = false;
    list.walkNext = list.walkLast = kNoPosition;
    fitIndex(list);
    list.newDayAsked = false;
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

void BlockUnmap::operator()(Node* nodes) const {
    munmap(nodes, kBlockBytes);
}

EntryList::EntryList(std::size_t maxDevices)
    : slots(slotsFor(0, 0)), hashKey(randomKey()), maxDevices(maxDevices) {}

namespace {

// updateEntry for a reading whose address is already zero-padded, with the clock already read
// once, at `heardAt`: a first reading stamps that as its first time and reads the clock again
// for its latest.
void storeReading(const Reading& reading, Entry& entry, uint32_t heardAt) {
    uint32_t previous = entry.lastSeconds;
    entry.lastSeconds = static_cast<uint32_t>(reading.seconds);
    std::memcpy(entry.mac, reading.mac, kMacBytes);
    std::memcpy(entry.device, reading.device, sizeof entry.device);
    if (entry.count < kCountLimit) ++entry.count;
    if (entry.firstSeen == 0) {
        entry.firstSeen = heardAt;
        heardAt = static_cast<uint32_t>(wallClock());
    }
    entry.lastSeen = heardAt;
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
    storeReading(stored, entry, static_cast<uint32_t>(wallClock()));
    return 0;
}

int updateEntryList(const Reading& reading, EntryList& list, int traceLevel) {
    Reading stored = reading;  // the key is the zero-padded text up to its first NUL
    copyMac(stored.mac, reading.mac);
    // Only this thread changes the table, so it may look at the index before taking the lock:
    // in a large table the slot is then on its way while the lock and the clock are taken.
    uint32_t hash = macHash(stored.mac, list.hashKey);
    if (!list.slots.empty()) __builtin_prefetch(&list.slots[hash & positionMask(list)]);
    std::lock_guard<std::mutex> hold(list.lock);
    if (list.newDayAsked) startNewDay(list);
    const bool tracing = traceLevel >= kTraceLines;
    if (tracing) traceMacs(list, "In list MAC Previous: %s\n");
    bool kept = true;
    try {
        uint32_t heardAt = static_cast<uint32_t>(wallClock());
        recoverIndex(list);
        Position at = findOrAppend(list, stored.mac, hash);
        storeReading(stored, node(list, at).entry, heardAt);
        markHeard(list, at);
        // A second update before pruning breaks the one-touched-record shortcut.
        if (list.touched != kNoPosition) list.prunedAtCutoff = false;
        list.touched = at;
    } catch (const std::bad_alloc&) {
        kept = false;
    }
    if (tracing) traceMacs(list, "In list MAC After: %s\n");
    if (kept) return 0;
    logText("No more available memory");
    return -1;
}

int cleanEntryList(EntryList& list, int maxAge, uint32_t now) {
    // The bookkeeping is the writer's alone; readers only need the lock kept while records go.
    uint32_t cutoff = now - static_cast<uint32_t>(maxAge);
    Position touched = list.touched;
    list.touched = kNoPosition;
    if (maxAge == 0) {
        list.prunedAtCutoff = false;  // records added meanwhile have never been checked
        return 0;
    }
    bool touchedFell = touched != kNoPosition && node(list, touched).entry.lastSeen <= cutoff;
    if (list.prunedAtCutoff && cutoff == list.cutoff && !touchedFell) return 0;
    std::lock_guard<std::mutex> hold(list.lock);
    pruneAll(list, cutoff);
    return 0;
}

void beginWalk(const EntryList& list) {
    std::lock_guard<std::mutex> hold(list.lock);
    // After the day's last document its records are no longer reported.
    list.walkNext = list.newDayAsked ? kNoPosition : list.order.first;
    list.walkLast = list.newDayAsked ? kNoPosition : list.order.last;
}

bool nextSlice(const EntryList& list, std::vector<Entry>& slice) {
    slice.clear();
    std::lock_guard<std::mutex> hold(list.lock);
    while (list.walkNext != kNoPosition && slice.size() < kWalkSlice) {
        const Node& at = nodeAt(list, list.walkNext);
        slice.push_back(at.entry);
        list.walkNext = list.walkNext == list.walkLast ? kNoPosition : at.order.after;
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
    return capacityOf(list);
}
