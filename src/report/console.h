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

// Which thread prints the table. The report thread walks it in slices, so that the capture loop
// waits for one slice at most; the capture loop, its only writer, holds it for the whole walk,
// which leaves the report thread's walk (one at a time) alone.
enum class ConsoleThread { kReport, kCapture };

// Clears the console (`clear` may run `timeoutSeconds` at most, none when 0 or less) and
// prints the table, with pseudonyms of the day of its own time when `privacy` is on; with
// `counting`, the window's device count and each record's device (or the count alone). Always 0;
// std::bad_alloc (or the pseudonyms' failure) leaves it before anything is printed.
int display(const EntryList& list, int timeoutSeconds, const Privacy& privacy, ConsoleThread thread,
            const DocumentCounting& counting = DocumentCounting{});
