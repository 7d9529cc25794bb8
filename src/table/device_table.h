// The table of devices heard: one record per MAC text, in order of first appearance. Its
// records live in blocks (blocks.h), are found through an index (address_index.h) and kept in
// orders (orders.h); this is where the three are kept in step, under one lock.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "table/address_index.h"
#include "table/blocks.h"
#include "table/device_window.h"
#include "table/entry.h"
#include "table/orders.h"

// The oldest time heard of a table without records: after any cut-off.
constexpr int64_t kNothingHeard = INT64_MAX;

struct EntryList {
    Blocks blocks;         // where the records live
    AddressIndex index;    // MAC text to position
    uint64_t hashKey = 0;  // random per table, so crafted addresses cannot pile up in one slot
    std::size_t maxDevices = 0;  // 0: no cap
    uint32_t size = 0;           // live records
    Chain order;                 // first appearance
    Chain recency;               // least recently heard first (with a cap)
    // No record was last heard before this (monotonic seconds): pruning has nothing to do
    // while its cut-off lies below it. Readings only raise it; a pass sets it to the oldest left.
    int64_t oldestHeard = kNothingHeard;
    // Set under the lock by the walk that made a day's last document: its records belong to a
    // day already reported, so walks skip them and the writer clears them before its next change.
    mutable bool newDayAsked = false;
    // The report's walk in slices (see nextSlice) along the order of first appearance. The
    // writer moves it off a record it drops, so it always names live records.
    mutable Walk walk;
    // Serialises the capture loop (the only writer) with readers while records change; taken
    // only by the functions below, so no caller can forget it.
    mutable std::mutex lock;
    // Devices heard in the report window, when they are counted; locked on its own.
    mutable DeviceWindow devices;
    // The linker whose groups the records' links name, once it linked one (under the lock): the
    // walks ask it whether a record's group counts.
    const DeviceLinker* linker = nullptr;

    // `maxDevices` records at most: a new address then replaces the one heard least recently.
    // With `linksDevices`, each record keeps its address's link to a device group.
    explicit EntryList(std::size_t maxDevices = 0, bool linksDevices = false);
};

inline Node& nodeAt(const EntryList& list, Position position) {
    return nodeAt(list.blocks, position);
}

// A frame to link to its device group as its record is counted.
struct Linking {
    DeviceLinker& linker;
    const LinkInput& frame;
};

// Counts `reading` on the record of its address (appended when new), tracing the table's
// addresses before and after at `traceLevel` 3 and above; with `linking` (in a table made with
// `linksDevices`; ignored in another), links the frame first and names its device group in the
// record. 0, or -1 when out of memory (the table is then as it
// was). Starts a new day first when one was asked for.
int updateEntryList(const Reading& reading, EntryList& list, int traceLevel,
                    const Linking* linking = nullptr);
// Stores one reading in `entry`: count, times, burst history, filtered signal. Always 0.
int updateEntry(const Reading& reading, Entry& entry);
// Drops every record last heard at or before `cutoff` (monotonic seconds) and notes the oldest
// left: cleanEntryList once that has something to drop. Always 0.
int pruneDueEntries(EntryList& list, int64_t cutoff);
// Drops every record last heard at or before `now` - `maxAge`, all on the monotonic clock (`now`
// as monotonicClock() reads it), so that steps of the wall clock change no record's age; none
// while that lies before the clock's start. A `maxAge` of 0 keeps all, a negative one drops all.
// Costs one comparison (inline, at every frame) until the oldest record falls due. Needs no
// memory, so it cannot fail. Always 0.
inline int cleanEntryList(EntryList& list, int maxAge, uint32_t now) {
    // The bookkeeping is the writer's alone; readers only need the lock kept while records go.
    const int64_t cutoff = int64_t{now} - maxAge;
    if (maxAge == 0 || cutoff < list.oldestHeard) return 0;
    return pruneDueEntries(list, cutoff);
}

// The record at `at` as walks hand it out (under the lock): a copy, `counted` also when its group
// counts by now, after its own frames (those of an address that began its group, say).
inline Entry walkedEntry(const EntryList& list, Position at) {
    Entry entry = nodeAt(list, at).entry;
    if (list.linker && !entry.counted) {
        entry.counted = groupCounted(*list.linker, linkAt(list.blocks, at), entry.device);
    }
    return entry;
}

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

// Always true: a walk whose work needs no finishing.
inline bool walkDone() {
    return true;
}

// Calls `visit(const Entry&)` for every record (as walkedEntry copies it) in order of first
// appearance, then `finished()` (true when what the walk made is whole), holding the table
// still throughout; with kNewDay, asks for a new day before letting it go when it is whole, so
// that no reading falls between the walk and the clearing, and none is lost with a document
// that could not be made.
template <class Visit, class Finished = bool (*)()>
void visitEntries(const EntryList& list, Visit visit, AfterWalk after = AfterWalk::kKeep,
                  Finished finished = walkDone) {
    std::lock_guard<std::mutex> hold(list.lock);
    for (Position at = list.newDayAsked ? kNoPosition : list.order.first; at != kNoPosition;
         at = nodeAt(list, at).order.after) {
        const Entry entry = walkedEntry(list, at);
        visit(entry);
    }
    if (finished() && after == AfterWalk::kNewDay) list.newDayAsked = true;
}

// Calls `visit(const Entry&)` for every record in order of first appearance, slice by slice,
// without holding the table while it visits. With kNewDay (once a day) the table is held for
// the whole walk instead, so that no reading falls between the day's last document and the
// clearing.
template <class Visit, class Finished = bool (*)()>
void walkEntries(const EntryList& list, Visit visit, AfterWalk after = AfterWalk::kKeep,
                 Finished finished = walkDone) {
    if (after == AfterWalk::kNewDay) return visitEntries(list, visit, after, finished);
    std::vector<Entry> slice;
    slice.reserve(kWalkSlice);
    beginWalk(list);
    while (nextSlice(list, slice)) {
        for (const Entry& entry : slice) visit(entry);
    }
    finished();
}
