// The table of devices heard: one record per MAC text, in order of first appearance.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "table/signal_filter.h"

constexpr uint32_t kCountLimit = 1000;

// What one capture line tells about one frame.
struct Reading {
    char mac[18];     // the 17 characters after the address marker, zero-padded
    int32_t signal;   // dB, 0 when the line carries none
    int32_t seconds;  // capture time of day, seconds since midnight
};

struct Entry {
    char mac[18];                    // the MAC text as read, zero-padded; the record's key
    int32_t signal;                  // smoothed signal in dB
    uint32_t count;                  // readings, saturating at kCountLimit
    uint32_t firstSeen;              // wall-clock seconds of the first reading
    uint32_t lastSeen;               // wall-clock seconds of the latest reading
    uint32_t lastSeconds;            // capture time of day of the latest reading
    int32_t history[kHistorySlots];  // recent signals, newest first, zero-terminated
};

struct EntryList {
    std::vector<Entry> entries;
    // Open-addressing index: slot holds position + 1 of the record whose MAC hashes there, or 0.
    std::vector<uint32_t> slots;
    uint64_t hashKey = 0;  // random per table, so crafted addresses cannot pile up in one slot
    // Pruning bookkeeping: after a full pass at `cutoff` every record lies above it, so until
    // the cut-off moves only the record touched since can have fallen to or below it.
    bool prunedAtCutoff = false;
    uint32_t cutoff = 0;
    uint32_t touched = kNoneTouched;
    // Serialises the capture loop (the only writer) with readers; taken only by the functions
    // below, so no caller can forget it.
    mutable std::mutex lock;

    static constexpr uint32_t kNoneTouched = UINT32_MAX;
    EntryList();
};

// Counts `reading` on the record of its address (appended when new), tracing the table's
// addresses before and after at `traceLevel` 3 and above. 0, or -1 when out of memory.
int updateEntryList(const Reading& reading, EntryList& list, int traceLevel);
// Stores one reading in `entry`: count, times, burst history, filtered signal. Always 0.
int updateEntry(const Reading& reading, Entry& entry);
// Drops every record last seen at or before `now` - `maxAge` (wrapping, unsigned); a `maxAge`
// of 0 keeps all. Always 0.
int cleanEntryList(EntryList& list, int maxAge, uint32_t now);

// Number of records at this moment.
std::size_t entryCount(const EntryList& list);

// Calls `visit(const Entry&)` for every record in order of first appearance, holding the table
// still for the whole walk.
template <class Visit>
void visitEntries(const EntryList& list, Visit visit) {
    std::lock_guard<std::mutex> hold(list.lock);
    for (const Entry& entry : list.entries) visit(entry);
}
