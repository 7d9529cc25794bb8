#include "privileges.h"

#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "log.h"

namespace {

// Through the kernel's call: the C library has no wrapper.
int capsetCall(uint64_t capabilities) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    for (int word = 0; word < _LINUX_CAPABILITY_U32S_3; ++word) {
        const uint32_t bits = static_cast<uint32_t>(capabilities >> (32 * word));
        data[word].permitted = data[word].effective = bits;
    }
    return static_cast<int>(syscall(SYS_capset, &header, data));
}

// Empties the bounding set, capability by capability up to the kernel's last one (the first
// that PR_CAPBSET_DROP does not know): it needs CAP_SETPCAP, so before the ids change.
bool emptyBoundingSet(const PrivilegeCalls& calls) {
    unsigned long capability = 0;
    while (calls.prctl(PR_CAPBSET_DROP, capability, 0UL, 0UL, 0UL) == 0) ++capability;
    return capability > 0 && errno == EINVAL;
}

// Clears the ambient set; a kernel without one (before 4.3) has none to clear.
bool clearAmbientSet(const PrivilegeCalls& calls) {
    return calls.prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0UL, 0UL, 0UL) == 0 ||
           errno == EINVAL;
}

const PrivilegeCalls kSystemCalls{getpwnam,  geteuid, initgroups, setresgid,
                                  setresuid, prctl,   capsetCall};

}  // namespace

bool becomeUser(const char* user, const PrivilegeCalls* seam) {
    const PrivilegeCalls& calls = seam ? *seam : kSystemCalls;
    const passwd* entry = calls.getpwnam(user);
    if (!entry) {
        logLine("user = %s: no such user; not starting.", user);
        return false;
    }
    const uid_t uid = entry->pw_uid;
    const gid_t gid = entry->pw_gid;
    const uid_t running = calls.geteuid();
    if (running == uid) return true;  // started as the user already (a jail sets the ids itself)
    if (running != 0) {
        logLine("user = %s: running as uid %u, not as root: cannot become %s; not starting.", user,
                static_cast<unsigned>(running), user);
        return false;
    }
    // Capabilities survive the change of ids only when asked to; the first step that fails is
    // named, errno telling why.
    const char* failed = nullptr;
    if (calls.prctl(PR_SET_KEEPCAPS, 1UL, 0UL, 0UL, 0UL) != 0) {
        failed = "PR_SET_KEEPCAPS";
    } else if (!emptyBoundingSet(calls)) {
        failed = "PR_CAPBSET_DROP";
    } else if (calls.initgroups(user, gid) != 0) {
        failed = "initgroups";
    } else if (calls.setresgid(gid, gid, gid) != 0) {
        failed = "setresgid";
    } else if (calls.setresuid(uid, uid, uid) != 0) {
        failed = "setresuid";
    } else if (calls.capset(kCaptureCapabilities) != 0) {
        failed = "capset";
    } else if (!clearAmbientSet(calls)) {
        failed = "PR_CAP_AMBIENT_CLEAR_ALL";
    } else if (calls.prctl(PR_SET_NO_NEW_PRIVS, 1UL, 0UL, 0UL, 0UL) != 0) {
        failed = "PR_SET_NO_NEW_PRIVS";
    }
    if (!failed) return true;
    logLine("user = %s: %s failed: %m; not starting.", user, failed);  // %m: errno's words
    return false;
}
