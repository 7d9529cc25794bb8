// Keeps a copy of each uploaded document while the marker file exists.
#pragma once

#include <string>

#include "report/files.h"

// Writes what `write` writes to "<dir>/<now>.dat" when "<dir>/writebackup" can be read. The
// file appears whole or not at all. Always 0; failures lose the backup silently.
int backup(const FileWriter& write, const std::string& dir);

// The same for `document` and a line end.
int backup(const std::string& document, const std::string& dir);
