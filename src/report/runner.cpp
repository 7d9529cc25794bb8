#include "report/runner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "log.h"
#include "report/files.h"
#include "report/spawn.h"
#include "stop.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kFirstPause{5};
constexpr milliseconds kLongestPause{200};
constexpr std::chrono::seconds kGrace{1};  // between TERM and KILL

CommandResult resultOf(int status) {
    if (WIFSIGNALED(status)) return {CommandResult::kSignalled, WTERMSIG(status)};
    return {CommandResult::kExited, WEXITSTATUS(status)};
}

// Reaps `pid` if it has ended by `until`, polling with growing pauses; false when it has not.
// `lost` is the errno when its status cannot be collected (then it counts as ended).
bool reapBy(pid_t pid, Clock::time_point until, bool watchStop, int& status, int& lost) {
    milliseconds pause = kFirstPause;
    for (;;) {
        pid_t reaped = waitpid(pid, &status, WNOHANG);
        if (reaped == pid) return true;
        if (reaped < 0 && errno != EINTR) {
            lost = errno;  // not our child any more: nothing left to wait for
            return true;
        }
        if (watchStop && stopRequested()) return false;
        Clock::time_point now = Clock::now();
        if (now >= until) return false;
        std::this_thread::sleep_for(std::min<Clock::duration>(pause, until - now));
        pause = std::min(pause * 2, kLongestPause);
    }
}

// Ends the whole group led by `pid`: TERM, KILL after the grace, and KILL again for whatever
// the leader left behind once it is reaped.
void endGroup(pid_t pid) {
    kill(-pid, SIGTERM);
    int status;
    int lost = 0;
    if (!reapBy(pid, Clock::now() + kGrace, false, status, lost)) {
        kill(-pid, SIGKILL);
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    kill(-pid, SIGKILL);
}

// Waits for the command; on an overrun or a stop ends its group first.
CommandResult await(pid_t pid, int timeoutSeconds) {
    Clock::time_point until = timeoutSeconds > 0
                                  ? Clock::now() + std::chrono::seconds(timeoutSeconds)
                                  : Clock::time_point::max();
    int status = 0;
    int lost = 0;
    if (reapBy(pid, until, true, status, lost)) {
        CommandResult result = lost ? CommandResult{CommandResult::kLost, lost} : resultOf(status);
        // Ended by the stop's TERM, or too early to tell: not the command's failure.
        if (!succeeded(result) && stopRequested()) return {CommandResult::kStopped, 0};
        return result;
    }
    CommandResult::Outcome why =
        stopRequested() ? CommandResult::kStopped : CommandResult::kTimedOut;
    endGroup(pid);
    return {why, 0};
}

}  // namespace

bool succeeded(const CommandResult& result) {
    return result.outcome == CommandResult::kExited && result.value == 0;
}

std::string failureReason(const CommandResult& result, int timeoutSeconds) {
    switch (result.outcome) {
        case CommandResult::kExited:
            return "curl exit status " + std::to_string(result.value);
        case CommandResult::kSignalled:
            return "curl ended by signal " + std::to_string(result.value);
        case CommandResult::kTimedOut:
            return "no answer within " + std::to_string(timeoutSeconds) + " s";
        case CommandResult::kStopped:
            return "stopped";
        case CommandResult::kLost:
            return "curl's status lost (errno " + std::to_string(result.value) + ")";
        case CommandResult::kNotStarted:
            break;
    }
    return "cannot start /bin/sh (errno " + std::to_string(result.value) + ")";
}

namespace {

// Runs the command with the descriptors of `files` (those at or above 0) in place of ours.
CommandResult runWithFiles(const std::string& command, int timeoutSeconds,
                           const CommandFiles& files) {
    std::fflush(stdout);
    std::fflush(stderr);
    CleanupHold hold;
    if (!hold.held()) return {CommandResult::kStopped, 0};
    pid_t pid = spawnShell(command, files.input, files.output);
    if (pid < 0) return {CommandResult::kNotStarted, errno};
    publishCommandGroup(hold.slot, pid);
    // A stop that came before the group was published found nothing to end.
    if (stopRequested()) kill(-pid, SIGTERM);
    return await(pid, timeoutSeconds);
}

// Copies what `fd` holds, from its start, to our standard output; what cannot be written there
// is dropped.
void relay(int fd) {
    std::string chunk(4096, '\0');
    lseek(fd, 0, SEEK_SET);
    ssize_t got;
    while ((got = read(fd, &chunk[0], chunk.size())) > 0) logBytes(chunk.data(), got);
    logFlush();
}

}  // namespace

CommandResult runCommand(const std::string& command, int timeoutSeconds,
                         const CommandFiles& files) {
    return runWithFiles(command, timeoutSeconds, files);
}

CommandResult runCommandRelayingOutput(const std::string& command, int timeoutSeconds,
                                       const CommandFiles& files) {
    CommandFiles relayed{files.input, unnamedFile()};
    // As before when no file can be had: straight through.
    if (relayed.output < 0) return runCommand(command, timeoutSeconds, {files.input, -1});
    CommandResult result = runWithFiles(command, timeoutSeconds, relayed);
    const int output = relayed.output;
    relay(output);
    close(output);
    return result;
}
