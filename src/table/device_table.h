// The table of devices heard: one record per MAC text, in order of first appearance.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "table/device_window.h"
#include "table/signal_filter.h"

constexpr uint32_t kCountLimit = 1000;

// What one capture line tells about one frame.
struct Reading {
    char mac[18];            // the 17 characters after the address marker, zero-padded
    int32_t signal;          // dB, 0 when the line carries none
    int32_t seconds;         // capture time of day, seconds since midnight
    uint8_t device[6] = {};  // the device group's name when devices are counted; zero: itself
};

struct Entry {
    char mac[18];                    // the MAC text as read, zero-padded; the record's key
    uint8_t device[6];               // its device group's name; zero: the address itself
    int32_t signal;                  // smoothed signal in dB
    uint32_t count;                  // readings, saturating at kCountLimit
    uint32_t firstSeen;              // wall-clock seconds of the first reading
    uint32_t lastSeen;               // wall-clock seconds of the latest reading
    uint32_t lastSeconds;            // capture time of day of the latest reading
    int32_t history[kHistorySlots];  // recent signals, newest first, zero-terminated
};

// Where a record lives: its block and its place in the block, as one number.
using Position = uint32_t;
constexpr Position kNoPosition = UINT32_MAX;

// A record's neighbours in one of the table's two orders.
struct Links {
    Position before = kNoPosition;
    Position after = kNoPosition;
};

// The ends of one order.
struct Chain {
    Position first = kNoPosition;
    Position last = kNoPosition;
};

// A record with its links: the order of first appearance, and (with a cap) the order in
// which records were last heard, least recent first.
struct Node {
    Entry entry;    // count 0 marks a free node
    Links order;    // first appearance; for a free node, order.after links the free list
    Links recency;  // last heard, kept only with a cap
};

// Records live in blocks that never move, so the table grows without a second copy of itself.
// A block is 2 MiB mapped from the system at once, aligned so that the kernel may back it with
// one huge page (fewer TLB misses in a large table); its pages are only taken as records fill it.
constexpr std::size_t kBlockBytes = std::size_t{2} << 20;
constexpr Position kBlockRecords = kBlockBytes / sizeof(Node);

// Hands a block's pages back to the system.
struct BlockUnmap {
    void operator()(Node* nodes) const;
};
using Block = std::unique_ptr<Node[], BlockUnmap>;

struct EntryList {
    std::vector<Block> blocks;  // null where a block was handed back
    // Open-addressing index, a power of two larger than the positions in use: an empty slot is
    // 0; otherwise the low bits (as many as the size takes) hold position + 1 and the high bits
    // the top of the address hash, so most probes settle without touching a record.
    std::vector<uint32_t> slots;
    uint64_t hashKey = 0;  // random per table, so crafted addresses cannot pile up in one slot
    std::size_t maxDevices = 0;        // 0: no cap
    uint32_t size = 0;                 // live records
    Chain order;                       // first appearance
    Chain recency;                     // least recently heard first (with a cap)
    Position freeNodes = kNoPosition;  // records dropped, ready for new ones
    Position fresh = kNoPosition;      // the next never-used node of the newest block
    // Pruning bookkeeping: after a full pass at `cutoff` every record lies above it, so until
    // the cut-off moves only the record touched since can have fallen to or below it.
    bool prunedAtCutoff = false;
    uint32_t cutoff = 0;
    Position touched = kNoPosition;
    // Set under the lock by the walk that made a day's last document: its records belong to a
    // day already reported, so walks skip them and the writer clears them before its next change.
    mutable bool newDayAsked = false;
    // The report's walk in slices (see nextSlice): the next record to copy and the last one of
    // the walk. The writer moves them off a record it drops, so they always name live records.
    mutable Position walkNext = kNoPosition;
    mutable Position walkLast = kNoPosition;
    // Serialises the capture loop (the only writer) with readers while records change; taken
    // only by the functions below, so no caller can forget it.
    mutable std::mutex lock;
    // Devices heard in the report window, when they are counted; locked on its own.
    mutable DeviceWindow devices;

    // `maxDevices` records at most: a new address then replaces the one heard least recently.
    explicit EntryList(std::size_t maxDevices = 0);
};

inline Node& nodeAt(const EntryList& list, Position position) {
    return list.blocks[position / kBlockRecords][position % kBlockRecords];
}

// Counts `reading` on the record of its address (appended when new), tracing the table's
// addresses before and after at `traceLevel` 3 and above. 0, or -1 when out of memory (the table
// is then as it was). Starts a new day first when one was asked for.
int updateEntryList(const Reading& reading, EntryList& list, int traceLevel);
// Stores one reading in `entry`: count, times, burst history, filtered signal. Always 0.
int updateEntry(const Reading& reading, Entry& entry);
// Drops every record last seen at or before `now` - `maxAge` (wrapping, unsigned); a `maxAge`
// of 0 keeps all. Needs no memory, so it cannot fail. Always 0.
int cleanEntryList(EntryList& list, int maxAge, uint32_t now);

// Number of records at this moment.
std::size_t entryCount(const EntryList& list);

// Number of records the blocks held now can take.
std::size_t entryCapacity(const EntryList& list);

// Asks the writer to start a new day: from now on walks see no record, and the writer clears
// them all before its next change.
void askNewDay(const EntryList& list);

// What a walk leaves behind.
enum class AfterWalk { kKeep, kNewDay };
// Records copied per slice of a walk: the capture loop waits for one slice at most.
constexpr std::size_t kWalkSlice = 256;

// Starts a walk over the records present now, in order of first appearance (a walk left
// unfinished is dropped). One walk at a time: the report thread's.
void beginWalk(const EntryList& list);

// Copies the walk's next records (kWalkSlice at most) into `slice`, holding the table only for
// the copy; false, with `slice` empty, when the walk is over. Records dropped meanwhile are
// skipped, records added meanwhile are left out, updates meanwhile show.
bool nextSlice(const EntryList& list, std::vector<Entry>& slice);

// Calls `visit(const Entry&)` for every record in order of first appearance, holding the table
// still for the whole walk; with kNewDay, asks for a new day before letting it go, so that no
// reading falls between the walk and the clearing.
template <class Visit>
void visitEntries(const EntryList& list, Visit visit, AfterWalk after = AfterWalk::kKeep) {
    std::lock_guard<std::mutex> hold(list.lock);
    for (Position at = list.newDayAsked ? kNoPosition : list.order.first; at != kNoPosition;
         at = nodeAt(list, at).order.after) {
        visit(static_cast<const Entry&>(nodeAt(list, at).entry));
    }
    if (after == AfterWalk::kNewDay) list.newDayAsked = true;
}

// Calls `visit(const Entry&)` for every record in order of first appearance, slice by slice,
// without holding the table while it visits. With kNewDay (once a day) the table is held for
// the whole walk instead, so that no reading falls between the day's last document and the
// clearing.
template <class Visit>
void walkEntries(const EntryList& list, Visit visit, AfterWalk after = AfterWalk::kKeep) {
    if (after == AfterWalk::kNewDay) return visitEntries(list, visit, after);
    std::vector<Entry> slice;
    slice.reserve(kWalkSlice);
    beginWalk(list);
    while (nextSlice(list, slice)) {
        for (const Entry& entry : slice) visit(entry);
    }
}
