// Keeps a copy of each uploaded document while the marker file exists.
#pragma once

#include <string>

// Writes `document` and a line end to "<dir>/<now>.dat" when "<dir>/writebackup" can be read.
// The file appears whole or not at all. Always 0; failures lose the backup silently.
int backup(const std::string& document, const std::string& dir);
