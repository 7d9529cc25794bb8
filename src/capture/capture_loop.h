// Turns capture lines into readings and feeds them to the device table.
#pragma once

#include <cstdint>
#include <string>

#include "table/device_table.h"

// What one capture line tells about one frame.
struct Reading {
    char mac[18];     // the 17 characters after the address marker, zero-padded
    int32_t signal;   // dB, 0 when the line carries none
    int32_t seconds;  // capture time of day, seconds since midnight
};

// Fills `reading` from a line holding " SA:" (or, failing that, " RA:"); false for other lines.
bool parseCaptureLine(const std::string& line, Reading& reading);

// One turn of the capture loop: reads a line of descriptor 0 and stores its reading, or sleeps
// one second when it carries none. Ends the process on a fatal error.
void captureTurn(EntryList& list);

// Flushes what was printed and ends the process at once, without running destructors under
// the report thread's feet.
[[noreturn]] void fatalExit(int status);
