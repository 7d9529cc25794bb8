// Files the reports write: whole or not at all.
#pragma once

#include <sys/types.h>

#include <string>

// Writes all of `text` to `fd`; false when the descriptor takes less (full disk, error).
bool writeAll(int fd, const std::string& text);

// Creates a new file from `pattern` (ending in "XXXXXX", replaced to make it unique), gives it
// `mode`, writes `content` and syncs it. Its path, or empty with nothing left behind.
std::string writeNewFile(std::string pattern, const std::string& content, mode_t mode);

// Puts `content` at `path` in one step: written beside it under a temporary name that no
// reader of the directory picks up, then renamed. False, with nothing left behind, on failure.
bool replaceFile(const std::string& path, const std::string& content, mode_t mode);
