// Files the reports write: whole or not at all.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

// Writes the content of a new file to the descriptor it is given; false when that failed.
using FileWriter = std::function<bool(int fd)>;

// Writes all of `text` to `fd`; false when the descriptor takes less (full disk, error).
bool writeAll(int fd, const std::string& text);

// Appends the whole regular file at `path` to `fd` through a small buffer; false on any error.
bool copyFileTo(const std::string& path, int fd);

// Appends the whole file open at `from` (read from its start, its offset left alone) to `fd`;
// false on any error.
bool copyOpenFileTo(int from, int fd);

// Creates a new file from `pattern` (ending in "XXXXXX", replaced to make it unique), gives it
// `mode`, lets `write` fill it and syncs it. Its path, or empty with nothing left behind.
std::string writeNewFile(std::string pattern, const FileWriter& write, mode_t mode);
std::string writeNewFile(std::string pattern, const std::string& content, mode_t mode);

// Puts what `write` writes at `path` in one step: written beside it under a temporary name
// that no reader of the directory picks up, then renamed. False, with nothing left behind, on
// failure.
bool replaceFile(const std::string& path, const FileWriter& write, mode_t mode);
bool replaceFile(const std::string& path, const std::string& content, mode_t mode);

// Gives the file at `from` the name `to` unless that name is taken: false with errno EEXIST
// then, and with the error otherwise. Through a hard link where the file system has them.
bool moveWithoutReplacing(const std::string& from, const std::string& to);

// Creates `path` and its missing parents with `mode`; true when it is a directory afterwards.
bool makeDirectories(const std::string& path, mode_t mode);

// A pattern for writeNewFile in $TMPDIR, else /tmp: "<dir>/pelmar-XXXXXX".
std::string temporaryFilePattern();

// A new file of temporaryFilePattern() without a name (unlinked at once, so nothing is left
// behind whatever ends the daemon), open for reading and writing and closed on exec; -1 when
// none can be made.
int unnamedFile();

// Removes what an earlier run of the daemon that was killed left in the temporary directory:
// regular files (no links followed) named by temporaryFilePattern(), owned by our user and
// untouched for `minimumAge` seconds (a running daemon's are younger: they live for an
// instant).
void removeStaleTemporaryFiles(int minimumAge);
