// Documents kept while the uplink is down, one file each, sent again oldest first.
//
// Files are named "<n>.json" by a sequence that goes on from the highest number in the
// directory, so the order holds across restarts and whatever the wall clock does; names of the
// older "<time>-<n>.json" form are still read. Documents the endpoint refuses for good go to
// "rejected/". The cap counts every file the daemon made there, temporary ones included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "report/files.h"

struct Spool {
    std::string dir;
    std::size_t maxBytes = 0;
    uint64_t next = 0;        // number of the next file; 0 until the directory was read
    std::string undeletable;  // a delivered file that could not be removed: no use until it can
};

// Creates the directory with its parents, removes temporary files left by a crash and keeps
// the spool to its cap.
void openSpool(Spool& spool);

// Drops the oldest files (rejected ones first), one line each, until `incoming` more bytes fit
// under the cap; false when they cannot.
bool enforceCap(Spool& spool, std::size_t incoming);

// True when the spool may be used: a delivered file that could not be removed is tried again
// first, and while it stays the spool is neither written nor sent from.
bool spoolUsable(Spool& spool);

// Keeps a document of `size` bytes, written by `write`, as the next file (under a temporary
// name, then renamed), making room first. False, with a line, when it was not kept.
bool keepDocument(Spool& spool, std::size_t size, const FileWriter& write);

// Paths of the spooled documents in `dir`, oldest first; other files are not ours.
std::vector<std::string> spooledFiles(const std::string& dir);

// Takes `path` out of the way for good, into "rejected/" (deleted when it cannot be moved),
// with one line naming it and `why`.
void rejectFile(Spool& spool, const std::string& path, const std::string& why);

// Removes `path` once it was delivered; when that fails, one line says so and the spool is not
// used until the file can be removed.
void removeDelivered(Spool& spool, const std::string& path);
