// Leaving root at start for the configured user, keeping the one capability capture needs.
#pragma once

#include <sys/types.h>

#include <cstdint>

// The system's calls the change of user makes, behind one seam; the real ones where they fit.
// Each returns as the kernel's call does: -1 with errno set when it fails.
struct PrivilegeCalls {
    struct passwd* (*getpwnam)(const char* name);
    uid_t (*geteuid)();
    int (*initgroups)(const char* name, gid_t gid);
    int (*setresgid)(gid_t real, gid_t effective, gid_t saved);
    int (*setresuid)(uid_t real, uid_t effective, uid_t saved);
    // Made with PR_CAPBSET_DROP, PR_SET_KEEPCAPS, PR_CAP_AMBIENT (PR_CAP_AMBIENT_CLEAR_ALL) and
    // PR_SET_NO_NEW_PRIVS, each with four unsigned long arguments (the last three 0).
    int (*prctl)(int option, ...);
    // Permitted and effective sets to `capabilities` (bits), the inheritable one empty.
    int (*capset)(uint64_t capabilities);
};

// The capabilities kept by a daemon that changed user: CAP_NET_RAW alone, to capture.
constexpr uint64_t kCaptureCapabilities = uint64_t{1} << 13;

// Becomes `user` (from the `user` key): its groups and ids (real, effective, saved and with them
// the file system's), CAP_NET_RAW alone kept, the bounding, inheritable and ambient sets empty,
// no new privileges. Nothing to do when already running as that user. Before any thread starts.
// False, after one line saying why: the process must not go on.
// `calls`: the system's when null.
bool becomeUser(const char* user, const PrivilegeCalls* calls = nullptr);
