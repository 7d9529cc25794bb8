#include "report/spawn.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace {

// Highest descriptor count the fallback walks: the kernel's own ceiling on a process's files.
constexpr rlim_t kMostDescriptors = 1 << 20;

// Closes descriptors `first` to `last` in one call; false where the kernel (before 5.9) or the
// C library's headers know no such call.
bool closeRange(unsigned first, unsigned last) {
#ifdef SYS_close_range
    return syscall(SYS_close_range, first, last, 0u) == 0;
#else
    (void)first;
    (void)last;
    return false;
#endif
}

// The soft limit of open descriptors: none of ours lies at or above it.
int descriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur > kMostDescriptors) {
        return static_cast<int>(kMostDescriptors);
    }
    return static_cast<int>(limit.rlim_cur);
}

// Tells the parent through `report` why the child cannot become the shell, and ends it.
[[noreturn]] void failInChild(int report) {
    int error = errno;
    ssize_t written = write(report, &error, sizeof error);
    (void)written;
    _exit(127);
}

// Puts `from` (when at or above 0; never a standard descriptor) at `to` for exec.
bool placeDescriptor(int from, int to) {
    return from < 0 || dup2(from, to) == to;
}

// Moves `fd` above 2 when it is one of the standard descriptors (ours were closed, so a file we
// opened took the slot), where placing the other source could overwrite it. False when it cannot.
bool moveAboveStandard(int& fd) {
    if (fd < 0 || fd > STDERR_FILENO) return true;
    fd = fcntl(fd, F_DUPFD, STDERR_FILENO + 1);
    return fd >= 0;
}

// A standard slot that held a source of ours and receives none (our standard error, say, was
// closed) gets /dev/null: what the command writes there must not land in our file.
bool emptyLeftSlot(int slot, int input, int output) {
    const bool heldSource = slot == input || slot == output;
    const bool receives =
        (slot == STDIN_FILENO && input >= 0) || (slot == STDOUT_FILENO && output >= 0);
    if (!heldSource || receives) return true;
    int null = open("/dev/null", O_RDWR);
    if (null < 0) return false;
    const bool placed = dup2(null, slot) == slot;  // `slot` is taken: `null` lies elsewhere
    close(null);
    return placed;
}

// Every signal we catch, and SIGPIPE, back at its default; none blocked.
void defaultSignals() {
    struct sigaction byDefault = {};
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    for (int signal = 1; signal < NSIG; ++signal) {
        struct sigaction current = {};
        if (sigaction(signal, nullptr, &current) != 0) continue;
        bool caught = current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN;
        if (caught || signal == SIGPIPE) sigaction(signal, &byDefault, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

// The child between fork and exec: async-signal-safe calls only, no allocation.
[[noreturn]] void becomeShell(char* const* arguments, int input, int output, int report,
                              int openLimit) {
    setpgid(0, 0);
    int from[] = {input, output};
    if (!moveAboveStandard(from[0]) || !moveAboveStandard(from[1]) ||
        !placeDescriptor(from[0], STDIN_FILENO) || !placeDescriptor(from[1], STDOUT_FILENO)) {
        failInChild(report);
    }
    for (int slot = STDIN_FILENO; slot <= STDERR_FILENO; ++slot) {
        if (!emptyLeftSlot(slot, input, output)) failInChild(report);
    }
    closeDescriptorsAbove2(report, openLimit);  // `report` closes itself at exec
    defaultSignals();
    execve("/bin/sh", arguments, environ);
    failInChild(report);
}

// Waits for the child `pid`, which failed before exec and ended.
void reapFailed(pid_t pid) {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// A pipe for the child to tell why it cannot become the shell, both ends closed at exec, the
// write end above 2 (where the child's standard files go, should ours have been closed).
bool errorPipe(int (&ends)[2]) {
    if (pipe2(ends, O_CLOEXEC) != 0) return false;
    if (ends[1] > STDERR_FILENO) return true;
    int moved = fcntl(ends[1], F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(ends[1]);
    ends[1] = moved;
    if (moved >= 0) return true;
    close(ends[0]);
    return false;
}

}  // namespace

void closeEachDescriptorAbove2(int keep, int openLimit) {
    for (int fd = STDERR_FILENO + 1; fd < openLimit; ++fd) {
        if (fd != keep) close(fd);
    }
}

void closeDescriptorsAbove2(int keep, int openLimit) {
    constexpr unsigned kFirst = STDERR_FILENO + 1, kLast = ~0u;
    const bool closed = keep < static_cast<int>(kFirst)
                            ? closeRange(kFirst, kLast)
                            : (keep == static_cast<int>(kFirst) ||
                               closeRange(kFirst, static_cast<unsigned>(keep) - 1)) &&
                                  closeRange(static_cast<unsigned>(keep) + 1, kLast);
    if (!closed) closeEachDescriptorAbove2(keep, openLimit);
}

pid_t spawnShell(const std::string& command, int input, int output) {
    const char* arguments[] = {"sh", "-c", command.c_str(), nullptr};
    const int openLimit = descriptorLimit();
    int ends[2];
    if (!errorPipe(ends)) return -1;
    // Signals wait until the child has set its own handlers: none of ours runs in it.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    pid_t pid = fork();
    if (pid == 0) {
        becomeShell(const_cast<char* const*>(arguments), input, output, ends[1], openLimit);
    }
    int forkError = errno;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    close(ends[1]);
    if (pid < 0) {
        close(ends[0]);
        errno = forkError;
        return -1;
    }
    setpgid(pid, pid);  // as the child does, so that its group can be signalled at once
    int childError = 0;
    ssize_t got;
    while ((got = read(ends[0], &childError, sizeof childError)) < 0 && errno == EINTR) {
    }
    close(ends[0]);
    if (got != static_cast<ssize_t>(sizeof childError)) return pid;
    reapFailed(pid);
    errno = childError;
    return -1;
}
