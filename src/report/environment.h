// The few points where reporting touches the system around it.
#pragma once

#include <string>

// This machine's host name; empty when the lookup fails.
std::string hostName();

// Runs `command` through the shell and waits for it, after flushing what we printed so far
// so that the command's own output cannot overtake it.
void runCommand(const std::string& command);
