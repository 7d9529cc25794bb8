// The console table: host, date and one row per device.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>
#include <vector>

#include "table/device_table.h"

// `time` in local time as "%Y-%m-%d %H:%M:%S". Always 0.
int dateFormat(char* buffer, std::size_t size, std::time_t time);

// The screen printed after clearing the console.
std::string consoleText(const std::string& host, const char* date,
                        const std::vector<Entry>& entries);

// Clears the console and prints the table. Takes the table's lock itself. Always 0.
int display(EntryList& list);
