#include "stop.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <initializer_list>

namespace {

// One slot per thread that may run a command (the capture loop and the report thread).
// 0 free, -1 claimed before its group exists, else the group's id.
constexpr int kSlots = 2;
std::atomic<pid_t> commandGroups[kSlots];
std::atomic<int> stopSignal{0};
std::atomic<bool> stopDutyTaken{false};
thread_local bool stopDuty = false;
// The calling thread's slot and how many claims it holds on it.
thread_local int heldSlot = -1;
thread_local int claims = 0;

void onStopSignal(int signal) {
    stopSignal.store(signal);
    for (std::atomic<pid_t>& group : commandGroups) {
        pid_t id = group.load();
        if (id > 0) kill(-id, SIGTERM);
    }
}

bool commandRunning() {
    for (std::atomic<pid_t>& group : commandGroups) {
        if (group.load() != 0) return true;
    }
    return false;
}

// True when our parent left `signal` ignored (HUP under nohup, INT in a background job).
bool leftIgnored(int signal) {
    struct sigaction current = {};
    return sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

void setHandler(int signal, void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}

}  // namespace

void installSignalHandlers() {
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        if (!leftIgnored(signal)) setHandler(signal, onStopSignal);
    }
    setHandler(SIGPIPE, SIG_IGN);
    // Ignored, the kernel would reap our commands itself and we could not tell how they ended.
    setHandler(SIGCHLD, SIG_DFL);
}

bool stopRequested() {
    return stopSignal.load() != 0;
}

void takeStopDuty() {
    stopDuty = true;
    stopDutyTaken.store(true);
}

void endIfStopRequested() {
    int signal = stopSignal.load();
    if (signal == 0) return;
    // The thread with the duty ends the process once its last work is done.
    while (stopDutyTaken.load() && !stopDuty) pause();
    if (commandRunning()) return;
    std::fflush(stdout);
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigaction(signal, &action, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
    // Still here: the first process of a pid namespace (a jail's) is not ended by a signal
    // of its own at its default action. It ends with the status a shell gives such a death.
    _exit(128 + signal);
}

int claimCommandSlot() {
    if (claims > 0) {
        ++claims;
        return heldSlot;
    }
    for (int slot = 0; slot < kSlots; ++slot) {
        pid_t expected = 0;
        if (!commandGroups[slot].compare_exchange_strong(expected, -1)) continue;
        // Claimed before this check: a thread that saw no claim may end the process any time.
        if (stopRequested()) {
            commandGroups[slot].store(0);
            return -1;
        }
        heldSlot = slot;
        claims = 1;
        return slot;
    }
    return -1;
}

void publishCommandGroup(int slot, pid_t group) {
    commandGroups[slot].store(group);
}

void releaseCommandSlot(int slot) {
    --claims;
    commandGroups[slot].store(claims > 0 ? -1 : 0);
}
