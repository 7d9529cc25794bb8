// Keeps a copy of each uploaded document while the marker file exists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "report/files.h"

// What a backup came to: `on` when the marker could be read; the name written, or empty.
struct BackupOutcome {
    bool on = false;
    std::string name;
};

// Writes what `write` writes to "<dir>/<now>.dat" when "<dir>/writebackup" can be read,
// replacing a backup of the same second. The file appears whole or not at all; failures lose
// the backup without a line.
BackupOutcome writeBackup(const FileWriter& write, const std::string& dir);

// The same for `document` and a line end; always 0.
int backup(const std::string& document, const std::string& dir);

// While backups are on (the marker can be read), keeps the newest "<digits>.dat" files of
// `dir` that fit in both `maxFiles` files and `maxBytes` bytes together (0: no such limit) and
// removes all older ones. Newest means last written, not the highest name, which a step back
// of the clock makes wrong: the names in `written` (this run's, oldest first) are the newest,
// in that order; the other files are older, by modification time, then by the time in their
// names. Removed names leave `written`, which is emptied when there is no limit. Other files
// are neither counted nor touched.
void pruneBackups(const std::string& dir, std::size_t maxFiles, std::uint64_t maxBytes,
                  std::vector<std::string>& written);
