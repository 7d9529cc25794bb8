// Ending the daemon on TERM, INT or HUP without leaving a command's processes or a temporary
// file behind, and surviving a reader of standard output that went away.
//
// The handler only records the signal and ends the running commands' process groups; the
// threads end the process at their next safe point, and a thread that runs a command cleans up
// after it first, so no file is left.
#pragma once

#include <sys/types.h>

// TERM, INT and HUP request a stop; PIPE is ignored (commands get it back at their start).
void installSignalHandlers();

// True once a stop was requested.
bool stopRequested();

// At a safe point: when a stop was requested and no command is running, flushes standard
// output and ends the process as the signal would. Returns otherwise.
void endIfStopRequested();

// A command about to start takes a slot; -1 when a stop was requested (start nothing).
int claimCommandSlot();
// Makes the command's process group known to the handler, which ends it on a stop.
void publishCommandGroup(int slot, pid_t group);
// The command has been reaped.
void releaseCommandSlot(int slot);
