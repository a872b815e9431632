#include "net/socket_set.hpp"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "common/interrupt.hpp"

void SocketSet::add(const Socket& socket, unsigned events) { entries_.push_back({socket.handle(), events}); }

int SocketSet::wait(std::chrono::microseconds limit)
{
    using Clock = std::chrono::steady_clock;
    // An interrupted run abandons every wait, the ones under way and the ones to come.
    if (interrupt::received()) return -1;
    const int wake = interrupt::wakeDescriptor();
    std::vector<pollfd> fds(entries_.size() + (wake >= 0 ? 1 : 0));
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        entries_[i].ready = 0;
        entries_[i].failed = false;
        fds[i].fd = static_cast<int>(entries_[i].handle);
        fds[i].events = static_cast<short>(((entries_[i].events & readable) ? POLLIN : 0) |
                                           ((entries_[i].events & writable) ? POLLOUT : 0));
    }
    if (wake >= 0) fds.back() = {wake, POLLIN, 0};
    const auto deadline = Clock::now() + std::max(limit, std::chrono::microseconds(0));
    int result;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        if (left.count() < 0) left = std::chrono::microseconds(0);
        // poll counts milliseconds: round up so a short wait does not become a busy loop.
        long long ms = (left.count() + 999) / 1000;
        result = ::poll(fds.data(), fds.size(), ms > INT_MAX ? INT_MAX : static_cast<int>(ms));
        if (result >= 0 || errno != EINTR) break;
    }
    if (result <= 0) return result < 0 ? -1 : 0;
    if (interrupt::received()) return -1;
    int ready = 0;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        short got = fds[i].revents;
        if (got & POLLIN) entries_[i].ready |= readable;
        if (got & POLLOUT) entries_[i].ready |= writable;
        if (got & (POLLERR | POLLHUP | POLLNVAL)) entries_[i].failed = true;
        if (entries_[i].ready || entries_[i].failed) ++ready;
    }
    return ready;
}
