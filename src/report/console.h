// The console table: host, date and one row per device.
#pragma once

#include <string>

#include "report/document.h"
#include "report/privacy.h"
#include "table/device_table.h"

// The five heading lines of the screen.
std::string consoleHeading(const std::string& host, const char* date);

// Appends one device's row: address (or with `pseudonyms` its pseudonym), signal, count, first
// and last seen in local time.
void appendConsoleRow(std::string& screen, const Entry& entry,
                      PseudonymWriter* pseudonyms = nullptr);

// Clears the console (`clear` may run `timeoutSeconds` at most, none when 0 or less) and
// prints the table, with pseudonyms of the day of its own time when `privacy` is on. Always 0.
int display(const EntryList& list, int timeoutSeconds, const Privacy& privacy = Privacy{},
            const DocumentCounting& counting = DocumentCounting{});
