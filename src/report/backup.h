// Keeps a copy of each uploaded document while the marker file exists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "report/files.h"

// Writes what `write` writes to "<dir>/<now>.dat" when "<dir>/writebackup" can be read. The
// file appears whole or not at all. Always 0; failures lose the backup silently.
int backup(const FileWriter& write, const std::string& dir);

// The same for `document` and a line end.
int backup(const std::string& document, const std::string& dir);

// While backups are on (the marker can be read), keeps the newest "<digits>.dat" files of
// `dir` that fit in both `maxFiles` files and `maxBytes` bytes together (0: no such limit) and
// removes all older ones. Other files are neither counted nor touched.
void pruneBackups(const std::string& dir, std::size_t maxFiles, std::uint64_t maxBytes);
