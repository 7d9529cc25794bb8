// The lingering close on a local socket pair: the held end's write side shut at once, the end
// closed when the client closes, past the byte bound, when time is up, or at once over the cap
// in all or from one address.
#include "collector/linger.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

struct Pair {
    int held = -1, client = -1;
    Pair() {
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0) {
            held = ends[0];
            client = ends[1];
            fcntl(held, F_SETFL, O_NONBLOCK);  // as libmicrohttpd's sockets are
        }
    }
    ~Pair() { close(client); }  // `held` belongs to the linger
};

// Whether `linger` lets go of every socket but `kept` within a few seconds.
bool releasedSoon(Linger& linger, std::size_t kept = 0) {
    for (int tries = 0; tries < 500 && linger.holding() > kept; ++tries) usleep(10000);
    return linger.holding() == kept;
}

bool readsEnd(int client) {
    char byte;
    return recv(client, &byte, 1, MSG_DONTWAIT) == 0;
}

TEST(Linger, HeldThenClosedByWhatTheClientDoes) {
    const struct {
        const char* name;
        LingerLimits limits;
        std::size_t sent;  // bytes the client sends after the answer
        bool clientCloses;
        bool closed;
        int others = 0;  // sockets held before it from its address
    } cases[] = {
        {"client still sending, within bounds",
         {4, 1000, std::chrono::seconds(60)},
         500,
         false,
         false},
        {"client closes its side", {4, 1000, std::chrono::seconds(60)}, 500, true, true},
        {"client sends past the bound", {4, 1000, std::chrono::seconds(60)}, 4000, false, true},
        {"time is up", {4, 1000, std::chrono::milliseconds(50)}, 0, false, true},
        {"over the cap", {0, 1000, std::chrono::seconds(60)}, 0, false, true},
        {"its address's cap full", {4, 1000, std::chrono::seconds(60), 2}, 0, false, true, 2},
    };
    for (const auto& c : cases) {
        Linger linger(c.limits);
        std::vector<Pair> others(static_cast<std::size_t>(c.others));
        for (Pair& other : others) linger.hold(other.held, "192.0.2.1");
        Pair pair;
        ASSERT_GE(pair.held, 0);
        linger.hold(pair.held, "192.0.2.1");
        EXPECT_TRUE(readsEnd(pair.client)) << c.name;  // the answer is whole: its end comes
        std::string bytes(c.sent, 'x');
        if (c.sent) send(pair.client, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (c.clientCloses) shutdown(pair.client, SHUT_WR);
        if (c.closed) {
            EXPECT_TRUE(releasedSoon(linger, others.size())) << c.name;
            char byte = 0;
            EXPECT_LT(send(pair.client, &byte, 1, MSG_NOSIGNAL), 0) << c.name;
        } else {
            EXPECT_EQ(linger.holding(), others.size() + 1) << c.name;
            char byte = 0;
            EXPECT_EQ(send(pair.client, &byte, 1, MSG_NOSIGNAL), 1) << c.name;
        }
    }
}

}  // namespace
