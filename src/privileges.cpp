#include "privileges.h"

#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

bool lookUp(const std::string& name, uid_t& uid, gid_t& gid) {
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 1024);
    passwd entry{};
    passwd* found = nullptr;
    while (getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) == ERANGE) {
        buffer.resize(buffer.size() * 2);
    }
    if (!found) return false;
    uid = found->pw_uid;
    gid = found->pw_gid;
    return true;
}

uid_t effectiveUser() {
    return geteuid();
}

int inBoundingSet(int capability) {
    return prctl(PR_CAPBSET_READ, capability, 0, 0, 0);
}

int dropFromBoundingSet(int capability) {
    return prctl(PR_CAPBSET_DROP, capability, 0, 0, 0);
}

int keepCapabilitiesAcrossUserChange() {
    return prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0);
}

int setGroups(const std::string& name, gid_t gid) {
    return initgroups(name.c_str(), gid);
}

int setAllGroupIds(gid_t gid) {
    return setresgid(gid, gid, gid);
}

int setAllUserIds(uid_t uid) {
    return setresuid(uid, uid, uid);
}

// Through the kernel's call: the C library has no wrapper.
int setCapabilities(uint64_t capabilities) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    for (int word = 0; word < _LINUX_CAPABILITY_U32S_3; ++word) {
        const uint32_t bits = static_cast<uint32_t>(capabilities >> (32 * word));
        data[word].permitted = data[word].effective = bits;
    }
    return static_cast<int>(syscall(SYS_capset, &header, data));
}

// A kernel without ambient capabilities (before 4.3) has none to clear.
int clearAmbientSet() {
    const int result = prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    return result != 0 && errno == EINVAL ? 0 : result;
}

int setNoNewPrivileges() {
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
}

const PrivilegeCalls kSystemCalls{lookUp,
                                  effectiveUser,
                                  inBoundingSet,
                                  dropFromBoundingSet,
                                  keepCapabilitiesAcrossUserChange,
                                  setGroups,
                                  setAllGroupIds,
                                  setAllUserIds,
                                  setCapabilities,
                                  clearAmbientSet,
                                  setNoNewPrivileges};

// The line for a call that failed, errno telling why.
std::string failed(const std::string& user, const char* step) {
    return "user = " + user + ": " + step + " failed: " + std::strerror(errno) + "; not starting.";
}

// Empties the bounding set, capability by capability up to the kernel's last one: it needs
// CAP_SETPCAP, so before the ids change.
bool emptyBoundingSet(const PrivilegeCalls& calls) {
    for (int capability = 0;; ++capability) {
        const int present = calls.inBoundingSet(capability);
        if (present < 0) return errno == EINVAL;  // past the last one
        if (present > 0 && calls.dropFromBoundingSet(capability) != 0) return false;
    }
}

}  // namespace

const PrivilegeCalls& systemPrivilegeCalls() {
    return kSystemCalls;
}

std::string becomeUser(const std::string& user, const PrivilegeCalls& calls) {
    uid_t uid;
    gid_t gid;
    if (!calls.lookUp(user, uid, gid)) return "user = " + user + ": no such user; not starting.";
    const uid_t running = calls.effectiveUser();
    if (running == uid) return "";  // started as the user already (a jail sets the ids itself)
    if (running != 0) {
        return "user = " + user + ": running as uid " + std::to_string(running) +
               ", not as root: cannot become " + user + "; not starting.";
    }
    // Capabilities survive the change of ids only when asked to.
    if (calls.keepCapabilitiesAcrossUserChange() != 0) return failed(user, "keeping capabilities");
    if (!emptyBoundingSet(calls)) return failed(user, "emptying the bounding set");
    if (calls.setGroups(user, gid) != 0) return failed(user, "setting the groups");
    if (calls.setAllGroupIds(gid) != 0) return failed(user, "setting the group id");
    if (calls.setAllUserIds(uid) != 0) return failed(user, "setting the user id");
    if (calls.setCapabilities(kCaptureCapabilities) != 0) {
        return failed(user, "keeping CAP_NET_RAW alone");
    }
    if (calls.clearAmbientSet() != 0) return failed(user, "clearing the ambient capabilities");
    if (calls.setNoNewPrivileges() != 0) return failed(user, "setting no_new_privs");
    return "";
}
