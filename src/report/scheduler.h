// The report thread: console table and upload, each on its own timer.
#pragma once

#include <cstdint>

// True when `interval` seconds (a signed 32-bit difference) have passed since `mark`, which
// then moves to `now`.
bool isDue(uint32_t now, uint32_t& mark, int interval);

// Thread body; `table` is the EntryList. Turns once a second for ever.
void* reportThread(void* table);

// Asks the report thread for one last report (upload, spool, backup as set), after which it
// ends the process with status 0.
void requestLastReport();
