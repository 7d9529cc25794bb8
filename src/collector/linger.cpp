#include "collector/linger.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

Linger::Linger(const LingerLimits& limits)
    : limits_(limits),
      poll_(epoll_create1(EPOLL_CLOEXEC)),
      wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      scratch_(64 << 10) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = wake_;
    epoll_ctl(poll_, EPOLL_CTL_ADD, wake_, &event);
    thread_ = std::thread(&Linger::run, this);
}

Linger::~Linger() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
    }
    std::uint64_t one = 1;
    (void)!write(wake_, &one, sizeof one);
    thread_.join();
    for (const auto& entry : held_) close(entry.first);
    close(wake_);
    close(poll_);
}

void Linger::hold(int fd, const std::string& address) {
    shutdown(fd, SHUT_WR);  // the answer is all there is: the client sees its end
    std::lock_guard<std::mutex> guard(lock_);
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP;
    event.data.fd = fd;
    auto from = fromAddress_.find(address);
    // One address cannot take every place: other clients' refusals are still read, not reset.
    bool full = held_.size() >= limits_.sockets ||
                (from != fromAddress_.end() && from->second >= limits_.perAddress) ||
                limits_.perAddress == 0;
    if (stopping_ || full || held_.count(fd) || epoll_ctl(poll_, EPOLL_CTL_ADD, fd, &event) != 0) {
        close(fd);
        return;
    }
    unsigned long id = nextId_++;
    held_[fd] = Held{id, 0, address};
    ++fromAddress_[address];
    expiries_.push_back(Expiry{std::chrono::steady_clock::now() + limits_.time, fd, id});
    std::uint64_t one = 1;
    (void)!write(wake_, &one, sizeof one);  // the thread may be waiting with no time limit
}

std::size_t Linger::holding() {
    std::lock_guard<std::mutex> guard(lock_);
    return held_.size();
}

void Linger::release(int fd) {
    epoll_ctl(poll_, EPOLL_CTL_DEL, fd, nullptr);
    auto found = held_.find(fd);
    if (found != held_.end()) {
        auto from = fromAddress_.find(found->second.address);
        if (from != fromAddress_.end() && --from->second == 0) fromAddress_.erase(from);
        held_.erase(found);
    }
    close(fd);
}

// Reads what `fd` has and throws it away; releases it at its end, an error or the bound.
void Linger::drain(int fd) {
    auto found = held_.find(fd);
    if (found == held_.end()) return;
    for (;;) {
        ssize_t got = read(fd, scratch_.data(), scratch_.size());
        if (got > 0) {
            found->second.read += static_cast<std::size_t>(got);
            if (found->second.read > limits_.bytes) break;
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (got < 0 && errno == EINTR) continue;
        break;  // the client's end, or an error
    }
    release(fd);
}

// Releases the sockets whose time is up; the milliseconds until the next one's, -1 for none.
int Linger::untilNextExpiry() {
    auto now = std::chrono::steady_clock::now();
    while (!expiries_.empty()) {
        const Expiry& first = expiries_.front();
        if (first.at > now) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(first.at - now).count();
            return static_cast<int>(left) + 1;
        }
        auto found = held_.find(first.fd);
        if (found != held_.end() && found->second.id == first.id) release(first.fd);
        expiries_.pop_front();
    }
    return -1;
}

void Linger::run() {
    std::vector<epoll_event> events(64);
    int timeout = -1;
    for (;;) {
        int count = epoll_wait(poll_, events.data(), static_cast<int>(events.size()), timeout);
        std::lock_guard<std::mutex> guard(lock_);
        if (stopping_) return;
        for (int i = 0; i < count; ++i) {
            if (events[i].data.fd == wake_) {
                std::uint64_t value;
                (void)!read(wake_, &value, sizeof value);
            } else {
                drain(events[i].data.fd);
            }
        }
        timeout = untilNextExpiry();
    }
}
