// The console table: host, date and one row per device.
#pragma once

#include <string>

#include "table/device_table.h"

// The five heading lines of the screen.
std::string consoleHeading(const std::string& host, const char* date);

// Appends one device's row: address, signal, count, first and last seen in local time.
void appendConsoleRow(std::string& screen, const Entry& entry);

// Clears the console (`clear` may run `timeoutSeconds` at most, none when 0 or less) and
// prints the table. Always 0.
int display(const EntryList& list, int timeoutSeconds);
