// What the table keeps per device, and what one capture line brings for it.
#pragma once

#include <cstdint>
#include <cstring>

#include "table/address_text.h"
#include "table/signal_filter.h"

constexpr uint32_t kCountLimit = 1000;

// What one capture line tells about one frame.
struct Reading {
    char mac[18];            // the 17 characters after the address marker, zero-padded
    int32_t signal;          // dB, 0 when the line carries none
    int32_t seconds;         // capture time of day, seconds since midnight
    uint8_t device[6] = {};  // the device group's name when devices are counted; zero: itself
    bool counted = true;     // its device group is counted in the open report window
};

struct Entry {
    char mac[18];       // the MAC text as read, zero-padded; the record's key
    uint8_t device[6];  // its device group's name when devices are counted; zero: itself
    uint16_t count;     // readings, saturating at kCountLimit; in what would be padding
    // Its device group was counted in the report window of its latest reading (a record of a
    // table that does not link devices is its own device, always counted), or (as the walks see
    // it in the copies they hand out) counts now; in what would be padding too.
    bool counted;
    int32_t signal;  // smoothed signal in dB
    // Monotonic seconds of the latest reading: the record's age, which steps of the wall clock
    // leave alone.
    uint32_t lastHeard;
    uint32_t firstSeen;              // wall-clock seconds of the first reading
    uint32_t lastSeen;               // wall-clock seconds of the latest reading
    uint32_t lastSeconds;            // capture time of day of the latest reading
    int32_t history[kHistorySlots];  // recent signals, newest first, zero-terminated
};
static_assert(kCountLimit <= UINT16_MAX, "the count is kept in 16 bits");

// The name of the record's device group as 17 characters: the address that founded it, or the
// record's own address text when it has none.
inline void deviceName(const Entry& entry, char name[18]) {
    static const uint8_t kItself[sizeof entry.device] = {};
    if (std::memcmp(entry.device, kItself, sizeof kItself) == 0) {
        std::memcpy(name, entry.mac, 18);
    } else {
        formatAddress(entry.device, name);
    }
}
