// Runs a shell command as a child that we own: its own process group, a deadline, and no
// process of it left behind when it overruns or the daemon stops.
#pragma once

#include <string>

struct CommandResult {
    enum Outcome { kExited, kSignalled, kTimedOut, kStopped, kNotStarted, kLost };
    Outcome outcome;
    // The exit status, the signal, or errno when the shell could not be started or its status
    // could not be collected (kLost).
    int value;
};

// True when the command ran and exited with status 0.
bool succeeded(const CommandResult& result);

// Why a command failed, in a few words ("curl exit status 7", "no answer within 60 s").
std::string failureReason(const CommandResult& result, int timeoutSeconds);

// Descriptors a command gets in place of ours: its standard input and output (-1: ours).
struct CommandFiles {
    int input = -1;
    int output = -1;
};

// Runs `command` with /bin/sh -c in a new process group and waits for it, at most
// `timeoutSeconds` when that is above 0. An overrun or a stop ends the whole group: TERM, then
// KILL after a short grace. What we printed is flushed first so the command cannot overtake it.
// Starts nothing once a stop was requested (kStopped); a command that failed because of a stop
// is kStopped too.
CommandResult runCommand(const std::string& command, int timeoutSeconds,
                         const CommandFiles& files = {});

// As runCommand, but the command's standard output goes to an unnamed temporary file that is
// copied to ours once it ended: a reader of our output that went away cannot fail the command.
// An output in `files` is not used.
CommandResult runCommandRelayingOutput(const std::string& command, int timeoutSeconds,
                                       const CommandFiles& files = {});
