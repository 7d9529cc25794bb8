// Leaving root at start for the configured user, keeping the one capability capture needs.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

// The system's calls the change of user makes, behind one seam. Each returns 0 when done and -1
// with errno set otherwise, as the kernel's calls do.
struct PrivilegeCalls {
    // The user's id and primary group; false when there is no such user.
    bool (*lookUp)(const std::string& name, uid_t& uid, gid_t& gid);
    uid_t (*effectiveUser)();
    // 1 when `capability` is in the bounding set, 0 when not, -1 past the kernel's last one.
    int (*inBoundingSet)(int capability);
    int (*dropFromBoundingSet)(int capability);
    int (*keepCapabilitiesAcrossUserChange)();
    // The user's supplementary groups (from the group file) and `gid` as the primary one.
    int (*setGroups)(const std::string& name, gid_t gid);
    int (*setAllGroupIds)(gid_t gid);  // real, effective, saved and file-system ids
    int (*setAllUserIds)(uid_t uid);
    // Permitted and effective sets to `capabilities` (bits), the inheritable one empty.
    int (*setCapabilities)(uint64_t capabilities);
    int (*clearAmbientSet)();
    int (*setNoNewPrivileges)();
};

// The real calls.
const PrivilegeCalls& systemPrivilegeCalls();

// The capabilities kept by a daemon that changed user: CAP_NET_RAW alone, to capture.
constexpr uint64_t kCaptureCapabilities = uint64_t{1} << 13;

// Becomes `user` (from the `user` key): its groups and ids, CAP_NET_RAW alone kept, the bounding,
// inheritable and ambient sets empty, no new privileges. Nothing to do when already running as
// that user. Empty when done, else the one line saying why not: the process must not go on.
std::string becomeUser(const std::string& user,
                       const PrivilegeCalls& calls = systemPrivilegeCalls());
