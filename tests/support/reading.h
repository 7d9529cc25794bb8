// Builds a reading as the capture loop would hand it to the table.
#pragma once

#include <cstring>

#include "table/device_table.h"

inline Reading readingOf(const char* mac, int32_t signal, int32_t seconds) {
    Reading reading{};
    std::memcpy(reading.mac, mac, strnlen(mac, sizeof reading.mac - 1));
    reading.signal = signal;
    reading.seconds = seconds;
    return reading;
}

#include <vector>

// The records in the order the reports show them.
inline std::vector<Entry> entriesOf(const EntryList& list) {
    std::vector<Entry> entries;
    visitEntries(list, [&](const Entry& entry) { entries.push_back(entry); });
    return entries;
}
