// Turns the device table into one JSON document and posts it with curl.
#pragma once

#include <cstddef>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "table/device_table.h"

// Documents longer than this travel in a temporary file: the kernel refuses a single
// command-line argument over 128 KiB.
constexpr std::size_t kInlineDocumentLimit = 64 * 1024;

// `time` in UTC as "%Y-%m-%dT%H:%M:%S+00:00". Always 0.
int dateJSON(char* buffer, std::size_t size, std::time_t time);

// Appends `text` as the inside of a JSON string: quote, backslash, control characters and
// bytes that are not UTF-8 are escaped; everything else is copied unchanged.
void appendJsonText(std::string& out, const char* text);

// Appends `text` for use inside single quotes in a POSIX shell: every ' becomes '\''.
void appendShellQuoted(std::string& out, const std::string& text);

// The whole document for the records, stamped with `host` and `time`.
std::string buildDocument(const std::string& host, std::time_t time,
                          const std::vector<Entry>& entries);

// The curl command posting `data` (the document, or "@file") to `endpoint`; silenced unless
// `show` is set.
std::string buildCommand(const std::string& data, const std::string& endpoint, bool show);

// Uploads the table to `endpoint` (skipped when absent) and hands the document to the backup.
void report(const std::optional<std::string>& endpoint, EntryList& list,
            const std::optional<std::string>& backupDir);

// Says once on standard error when the configuration leaves uploads off.
void warnIfUploadsOff();
