#include "report/runner.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <initializer_list>
#include <thread>

#include "stop.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kFirstPause{5};
constexpr milliseconds kLongestPause{200};
constexpr std::chrono::seconds kGrace{1};  // between TERM and KILL

// Starts `sh -c command` as the leader of a new process group, with the signals we handle or
// ignore back at their defaults. The child's pid, or -1 with errno set.
pid_t spawnShell(const std::string& command) {
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGPIPE, SIGTERM, SIGINT, SIGHUP}) sigaddset(&defaults, signal);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    const char* arguments[] = {"sh", "-c", command.c_str(), nullptr};
    pid_t pid = -1;
    int error = posix_spawn(&pid, "/bin/sh", nullptr, &attributes,
                            const_cast<char* const*>(arguments), environ);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        errno = error;
        return -1;
    }
    return pid;
}

CommandResult resultOf(int status) {
    if (WIFSIGNALED(status)) return {CommandResult::kSignalled, WTERMSIG(status)};
    return {CommandResult::kExited, WEXITSTATUS(status)};
}

// Reaps `pid` if it has ended by `until`, polling with growing pauses; false when it has not.
bool reapBy(pid_t pid, Clock::time_point until, bool watchStop, int& status) {
    milliseconds pause = kFirstPause;
    for (;;) {
        pid_t reaped = waitpid(pid, &status, WNOHANG);
        if (reaped == pid) return true;
        if (reaped < 0 && errno != EINTR) {
            status = 0;  // not our child any more: nothing left to wait for
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
    if (!reapBy(pid, Clock::now() + kGrace, false, status)) {
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
    if (reapBy(pid, until, true, status)) return resultOf(status);
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
        case CommandResult::kNotStarted:
            break;
    }
    return "cannot start /bin/sh (errno " + std::to_string(result.value) + ")";
}

CommandResult runCommand(const std::string& command, int timeoutSeconds) {
    std::fflush(stdout);
    std::fflush(stderr);
    CleanupHold hold;
    if (!hold.held()) return {CommandResult::kStopped, 0};
    pid_t pid = spawnShell(command);
    if (pid < 0) return {CommandResult::kNotStarted, errno};
    publishCommandGroup(hold.slot, pid);
    // A stop that came before the group was published found nothing to end.
    if (stopRequested()) kill(-pid, SIGTERM);
    return await(pid, timeoutSeconds);
}
