// Turns capture lines into readings and feeds them to the device table.
#pragma once

#include <optional>
#include <string>

#include "report/document.h"
#include "report/privacy.h"
#include "table/device_linker.h"
#include "table/device_table.h"

// What the capture loop needs of the settings.
struct CaptureSettings {
    int traceLevel;                // `debug`
    int maxAge;                    // `max_entry_age`
    int commandTimeout;            // `upload_timeout`, for the console's `clear`
    Privacy privacy;               // pseudonyms in the console table
    std::optional<int> minSignal;  // `min_signal`: weaker readings are ignored
    bool skipRandomMacs;           // `skip_random_macs`: locally administered addresses are ignored
    bool exitAtEnd = false;        // `exit_at_end`: the end of input ends the capture
    DocumentCounting counting{};   // the device column and count in the console table
};

// Fills `reading` from a line holding " SA:" (or, failing that, " RA:"); false for other lines.
bool parseCaptureLine(const std::string& line, Reading& reading);

// True when the settings say to ignore `reading` entirely: a signal below the floor (a reading
// without one, 0, is kept), or a locally administered address.
bool ignoredReading(const Reading& reading, const CaptureSettings& settings);

// Hands one reading to the table: traces it, applies the ignore rules, counts it (linking its
// frame with `linking`), prunes, and shows the table at trace level 4. Ends the process when the
// table cannot take it.
void storeReading(const Reading& reading, EntryList& list, const CaptureSettings& settings,
                  const Linking* linking = nullptr);

// Drops the records not heard for `max_entry_age` seconds, on the capture side (the table's
// writer): after every reading, ignored ones too, and each second without one.
void pruneOldEntries(EntryList& list, const CaptureSettings& settings);

// One turn of the capture loop: reads a line of descriptor 0 and stores its reading, or sleeps
// one second when it carries none. Ends the process on a fatal error. False, without the sleep,
// once standard input has ended and the settings say to stop there. With `linker`, each
// address counts as a device of its own in the report window.
bool captureTurn(EntryList& list, const CaptureSettings& settings, DeviceLinker* linker = nullptr);
