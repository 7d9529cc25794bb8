// The table of devices heard: one record per MAC text, in order of first appearance.
#pragma once

#include <cstdint>
#include <ctime>
#include <mutex>
#include <vector>

#include "table/signal_filter.h"

constexpr uint32_t kCountLimit = 1000;

struct Entry {
    char mac[18];        // the MAC text as read, zero-padded; the record's key
    int32_t signal;      // smoothed signal in dB
    uint32_t count;      // readings, saturating at kCountLimit
    uint32_t firstSeen;  // wall-clock seconds of the first reading
    uint32_t lastSeen;   // wall-clock seconds of the latest reading
    uint32_t lastSeconds;  // capture time of day of the latest reading
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
    // Serialises the capture loop (the only writer) with readers walking the table.
    std::mutex lock;

    static constexpr uint32_t kNoneTouched = UINT32_MAX;
    EntryList();
};

// Wall-clock seconds since the epoch; tests point `wallClockSource` at their own clock.
extern std::time_t (*wallClockSource)();
inline std::time_t wallClock() { return wallClockSource(); }

// Counts the reading on the record of `mac` (appended when new). 0, or -1 when out of memory.
int updateEntryList(const char* mac, int32_t signal, int32_t seconds, EntryList& list);
// Stores one reading in `entry`: count, times, burst history, filtered signal. Always 0.
int updateEntry(const char* mac, int32_t signal, int32_t seconds, Entry& entry);
// Drops every record last seen at or before now - max_entry_age (wrapping, unsigned); 0 keeps
// all. Always 0.
int cleanEntryList(EntryList& list);
