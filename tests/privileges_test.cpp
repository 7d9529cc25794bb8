// Leaving root for the `user` key: the calls in their order, and one line for each way it fails.
#include "privileges.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/prctl.h>

#include <cerrno>
#include <cstdarg>
#include <string>

namespace {

// What the fake system knows and records: the calls made, the call that fails.
struct FakeSystem {
    uid_t running = 0;
    std::string failing;  // the name of the call that fails with EPERM
    std::string calls;    // "name " per call made
};
FakeSystem fake;

int result(const char* name) {
    fake.calls += std::string(name) + " ";
    if (fake.failing != name) return 0;
    errno = EPERM;
    return -1;
}

passwd nobody{};

int fakePrctl(int option, ...) {
    va_list arguments;
    va_start(arguments, option);
    const unsigned long argument = va_arg(arguments, unsigned long);
    va_end(arguments);
    switch (option) {
        case PR_CAPBSET_DROP:  // the kernel knows 41 capabilities
            errno = EINVAL;
            return argument > 40 ? -1 : result("drop");
        case PR_SET_KEEPCAPS:
            return argument == 1 ? result("keepcaps") : -1;
        case PR_CAP_AMBIENT:
            return argument == PR_CAP_AMBIENT_CLEAR_ALL ? result("ambient") : -1;
        case PR_SET_NO_NEW_PRIVS:
            return argument == 1 ? result("nonewprivs") : -1;
    }
    return -1;
}

const PrivilegeCalls kFake{
    [](const char* name) {
        nobody.pw_uid = 65534;
        nobody.pw_gid = 65533;
        return std::string(name) == "nobody" ? &nobody : nullptr;
    },
    [] { return fake.running; },
    [](const char*, gid_t gid) { return gid == 65533 ? result("groups") : -1; },
    [](gid_t r, gid_t e, gid_t s) { return r == 65533 && e == r && s == r ? result("gid") : -1; },
    [](uid_t r, uid_t e, uid_t s) { return r == 65534 && e == r && s == r ? result("uid") : -1; },
    fakePrctl,
    [](uint64_t capabilities) { return capabilities == 1 << 13 ? result("capset") : -1; },
};

const std::string kDrops = [] {
    std::string drops;
    for (int i = 0; i <= 40; ++i) drops += "drop ";
    return drops;
}();
const std::string kWhole = "keepcaps " + kDrops + "groups gid uid capset ambient nonewprivs ";

// The line said when the step `call` fails.
std::string failed(const char* call) {
    return std::string("user = nobody: ") + call +
           " failed: Operation not permitted; not starting.";
}

TEST(BecomeUser, MakesEveryCallInOrderOrSaysInOneLineWhyNot) {
    const struct {
        const char* user;
        uid_t running;
        const char* failing;
        std::string calls;    // made, in order
        std::string message;  // the line said; empty: done
    } cases[] = {
        {"nobody", 0, "", kWhole, ""},
        {"nobody", 65534, "", "", ""},  // already the user: nothing to do
        {"nosuch", 0, "", "", "user = nosuch: no such user; not starting."},
        {"nobody", 1000, "", "",
         "user = nobody: running as uid 1000, not as root: cannot become nobody; not starting."},
        {"nobody", 0, "keepcaps", "keepcaps ", failed("PR_SET_KEEPCAPS")},
        {"nobody", 0, "drop", "keepcaps drop ", failed("PR_CAPBSET_DROP")},
        {"nobody", 0, "gid", "keepcaps " + kDrops + "groups gid ", failed("setresgid")},
        {"nobody", 0, "capset", "keepcaps " + kDrops + "groups gid uid capset ", failed("capset")},
        {"nobody", 0, "nonewprivs", kWhole, failed("PR_SET_NO_NEW_PRIVS")},
    };
    for (const auto& c : cases) {
        fake = FakeSystem{c.running, c.failing, ""};
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(becomeUser(c.user, &kFake), c.message.empty()) << c.failing;
        const std::string line = c.message.empty() ? "" : c.message + "\n";
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), line) << c.failing;
        EXPECT_EQ(fake.calls, c.calls) << c.failing;
    }
}

}  // namespace
