// Posts the document with curl through the shell, then hands it to the backup.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "table/device_table.h"

// Documents longer than this travel in a temporary file: the kernel refuses a single
// command-line argument over 128 KiB.
constexpr std::size_t kInlineDocumentLimit = 64 * 1024;

// What a report needs of the settings.
struct ReportSettings {
    std::optional<std::string> endpoint;   // `full_url`; no upload without it
    std::optional<std::string> backupDir;  // `backup_dir`; no backup without it
    bool showCurl = false;                 // print the command and let curl's output through
};

// Appends `text` for use inside single quotes in a POSIX shell: every ' becomes '\''.
void appendShellQuoted(std::string& out, const std::string& text);

// The curl command posting `data` (the document, or "@file") to `endpoint`; silenced unless
// `show` is set.
std::string buildCommand(const std::string& data, const std::string& endpoint, bool show);

// Builds the document from the table, uploads it to the endpoint and hands it to the backup.
void report(const ReportSettings& settings, const EntryList& list);
