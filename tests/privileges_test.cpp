// Leaving root for the `user` key: the calls in their order, and one line for each way it fails.
#include "privileges.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace {

// What the fake system knows and records: the calls made, the bounding set, the call that fails.
struct FakeSystem {
    uid_t running = 0;
    std::string failing;  // the name of the call that fails with EPERM
    uint64_t bounding = (uint64_t{1} << 41) - 1;
    std::string calls;  // "name " per call made
};
FakeSystem fake;

int result(const char* name) {
    fake.calls += std::string(name) + " ";
    if (fake.failing != name) return 0;
    errno = EPERM;
    return -1;
}

const PrivilegeCalls kFake{
    [](const std::string& name, uid_t& uid, gid_t& gid) {
        uid = 65534;
        gid = 65533;
        return name == "nobody";
    },
    [] { return fake.running; },
    [](int capability) {
        if (capability > 40) {
            errno = EINVAL;
            return -1;
        }
        return static_cast<int>(fake.bounding >> capability & 1);
    },
    [](int capability) {
        fake.bounding &= ~(uint64_t{1} << capability);
        return result("drop");
    },
    [] { return result("keepcaps"); },
    [](const std::string&, gid_t gid) { return gid == 65533 ? result("groups") : -1; },
    [](gid_t gid) { return gid == 65533 ? result("gid") : -1; },
    [](uid_t uid) { return uid == 65534 ? result("uid") : -1; },
    [](uint64_t capabilities) { return capabilities == 1 << 13 ? result("capset") : -1; },
    [] { return result("ambient"); },
    [] { return result("nonewprivs"); },
};

const std::string kAllDrops = [] {
    std::string drops;
    for (int i = 0; i <= 40; ++i) drops += "drop ";
    return drops;
}();
const std::string kWhole = "keepcaps " + kAllDrops + "groups gid uid capset ambient nonewprivs ";

struct Case {
    const char* user;
    uid_t running;
    const char* failing;
    std::string calls;    // made, in order
    std::string message;  // empty: done
};

TEST(BecomeUser, MakesEveryCallInOrderOrSaysInOneLineWhyNot) {
    const std::string failed = "user = nobody: ";
    const Case cases[] = {
        {"nobody", 0, "", kWhole, ""},
        {"nobody", 65534, "", "", ""},  // already the user: nothing to do
        {"nosuch", 0, "", "", "user = nosuch: no such user; not starting."},
        {"nobody", 1000, "", "",
         failed + "running as uid 1000, not as root: cannot become nobody; not starting."},
        {"nobody", 0, "keepcaps", "keepcaps ",
         failed + "keeping capabilities failed: Operation not permitted; not starting."},
        {"nobody", 0, "drop", "keepcaps drop ",
         failed + "emptying the bounding set failed: Operation not permitted; not starting."},
        {"nobody", 0, "gid", "keepcaps " + kAllDrops + "groups gid ",
         failed + "setting the group id failed: Operation not permitted; not starting."},
        {"nobody", 0, "capset", "keepcaps " + kAllDrops + "groups gid uid capset ",
         failed + "keeping CAP_NET_RAW alone failed: Operation not permitted; not starting."},
        {"nobody", 0, "nonewprivs", kWhole,
         failed + "setting no_new_privs failed: Operation not permitted; not starting."},
    };
    for (const Case& c : cases) {
        fake = FakeSystem{};
        fake.running = c.running;
        fake.failing = c.failing;
        EXPECT_EQ(becomeUser(c.user, kFake), c.message) << c.user << " " << c.failing;
        EXPECT_EQ(fake.calls, c.calls) << c.user << " " << c.failing;
    }
}

TEST(BecomeUser, DropsOnlyWhatTheBoundingSetStillHolds) {
    fake = FakeSystem{};
    fake.bounding = uint64_t{1} << 13 | 1;
    EXPECT_EQ(becomeUser("nobody", kFake), "");
    EXPECT_EQ(fake.calls, "keepcaps drop drop groups gid uid capset ambient nonewprivs ");
    EXPECT_EQ(fake.bounding, 0u);
}

}  // namespace
