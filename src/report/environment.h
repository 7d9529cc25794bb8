// The few points where reporting touches the system around it.
#pragma once

#include <string>

// This machine's host name; empty when the lookup fails.
std::string hostName();

// Writes all of `text` to `fd`; false when the descriptor takes less (full disk, error).
bool writeAll(int fd, const std::string& text);

// Runs `command` through the shell and waits for it, after flushing what we printed so far
// so that the command's own output cannot overtake it.
void runCommand(const std::string& command);
