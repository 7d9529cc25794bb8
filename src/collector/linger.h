#pragma once
// A lingering close: a socket the server answered before reading what the client sends is held
// a little longer, its write side shut, and what still comes is read and thrown away, so that
// closing it does not reset the connection (a reset drops the answer the client has not read
// yet). Bounded in sockets (in all and from one address), bytes and time; beyond, the socket is
// closed at once.

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct LingerLimits {
    std::size_t sockets = 100;              // held at once; more are closed at once
    std::size_t bytes = 4 << 20;            // read from one before it is closed
    std::chrono::milliseconds time{15000};  // one is held at most this long
    std::size_t perAddress = 10;            // held at once from one client address
};

class Linger {
public:
    explicit Linger(const LingerLimits& limits);
    ~Linger();  // closes every socket still held
    Linger(const Linger&) = delete;
    Linger& operator=(const Linger&) = delete;

    // Takes `fd` (a copy the caller owns no more), a connection from `address`: shuts its write
    // side and closes it once the client closed its side, or sent more than the bound, or the
    // time is up.
    void hold(int fd, const std::string& address);
    // How many sockets are held now.
    std::size_t holding();

private:
    struct Held {
        unsigned long id;
        std::size_t read;
        std::string address;
    };
    struct Expiry {
        std::chrono::steady_clock::time_point at;
        int fd;
        unsigned long id;
    };
    void run();
    void drain(int fd);
    void release(int fd);
    int untilNextExpiry();

    LingerLimits limits_;
    int poll_ = -1;
    int wake_ = -1;
    std::mutex lock_;
    std::map<int, Held> held_;
    std::map<std::string, std::size_t> fromAddress_;  // held_ by address, those with any
    std::deque<Expiry> expiries_;                     // in time order: every socket is held as long
    unsigned long nextId_ = 0;
    bool stopping_ = false;
    std::vector<char> scratch_;
    std::thread thread_;
};
