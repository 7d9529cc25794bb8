// Starts a shell command as a child that holds nothing of ours: its own process group, signals
// at their defaults, and no descriptor but the three standard ones (libpcap's capture socket, a
// file being written: whatever the daemon has open, now or later, stays with the daemon).
#pragma once

#include <sys/types.h>

#include <string>

// Starts `sh -c command` as the leader of a new process group, with SIGPIPE (which we ignore)
// and every signal we catch at its default and no signal blocked; with `input` or `output` at or
// above 0, that descriptor is its standard input or output, even one at 0, 1 or 2 (a file that
// took the slot of a standard descriptor we were started without, which the command then gets as
// /dev/null unless it receives the other file there). Signals our parent left ignored stay
// ignored, as nohup means. The child's pid, or -1 with errno set when the shell cannot be
// started.
pid_t spawnShell(const std::string& command, int input, int output);

// Closes every descriptor above 2 but `keep` (-1: none), as a child between fork and exec may:
// it allocates nothing. Where the kernel cannot close a range, each one below `openLimit` (the
// soft RLIMIT_NOFILE, read before the fork) is closed in turn.
void closeDescriptorsAbove2(int keep, int openLimit);

// The fallback of closeDescriptorsAbove2: closes each descriptor from 3 to `openLimit` - 1 but
// `keep`, one call at a time.
void closeEachDescriptorAbove2(int keep, int openLimit);
