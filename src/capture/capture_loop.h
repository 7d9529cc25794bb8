// Turns capture lines into readings and feeds them to the device table.
#pragma once

#include <string>

#include "table/device_table.h"

// What the capture loop needs of the settings.
struct CaptureSettings {
    int traceLevel;      // `debug`
    int maxAge;          // `max_entry_age`
    int commandTimeout;  // `upload_timeout`, for the console's `clear`
};

// Fills `reading` from a line holding " SA:" (or, failing that, " RA:"); false for other lines.
bool parseCaptureLine(const std::string& line, Reading& reading);

// One turn of the capture loop: reads a line of descriptor 0 and stores its reading, or sleeps
// one second when it carries none. Ends the process on a fatal error.
void captureTurn(EntryList& list, const CaptureSettings& settings);
