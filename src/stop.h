// Ending the daemon on TERM, INT or HUP without leaving a command's processes or a temporary
// file behind, and surviving a reader of standard output that went away.
//
// The handler only records the signal and ends the running commands' process groups; the
// threads end the process at their next safe point, and a thread that runs a command cleans up
// after it first, so no file is left.
#pragma once

#include <sys/types.h>

// TERM, INT and HUP request a stop, unless our parent left them ignored: then they stay so;
// PIPE is ignored (commands get it back at their start); CHLD goes back to its default.
void installSignalHandlers();

// True once a stop was requested.
bool stopRequested();

// At a safe point: when a stop was requested and no command is running, flushes standard
// output and ends the process as the signal would (as the first process of a pid namespace,
// which that signal cannot end, with status 128 + the signal); a thread other than the one that
// took the stop duty waits here instead, for ever. Returns when there is no stop to carry out.
void endIfStopRequested();

// The calling thread (the report thread, with a spool) becomes the one that ends the process
// on a stop: it keeps the last document first. Other threads then wait at their safe points.
void takeStopDuty();

// A thread about to leave something behind (a command's processes, a temporary file) takes a
// slot, and so holds off the end of the process until it has cleaned up and released the slot;
// -1 when a stop was requested (start nothing). A thread holding a slot gets the same one again.
int claimCommandSlot();
// Makes the command's process group known to the handler, which ends it on a stop.
void publishCommandGroup(int slot, pid_t group);
// Gives back one claim; the slot is free once every claim of the thread is given back.
void releaseCommandSlot(int slot);

// A claim for the length of a scope.
struct CleanupHold {
    CleanupHold() : slot(claimCommandSlot()) {}
    ~CleanupHold() {
        if (slot >= 0) releaseCommandSlot(slot);
    }
    CleanupHold(const CleanupHold&) = delete;
    CleanupHold& operator=(const CleanupHold&) = delete;
    bool held() const { return slot >= 0; }
    int slot;
};
