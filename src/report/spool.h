// Documents kept while the uplink is down, one file each, sent again oldest first.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>
#include <vector>

// Keeps `document` in `dir` as "<time>.json" (or "<time>-<n>.json" when that name is taken),
// written under a temporary name and renamed. Before that, drops the oldest files, with one
// message line each, until the new one fits in `maxBytes`. False when it was not kept.
bool spoolDocument(const std::string& dir, std::time_t time, const std::string& document,
                   std::size_t maxBytes);

// Paths of the spooled documents in `dir`, oldest first; other files are not ours.
std::vector<std::string> spooledFiles(const std::string& dir);
