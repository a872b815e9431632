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
    std::vector<pollfd> fds(entries_.size());
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        entries_[i].ready = 0;
        entries_[i].failed = false;
        fds[i].fd = static_cast<int>(entries_[i].handle);
        fds[i].events = static_cast<short>(((entries_[i].events & readable) ? POLLIN : 0) |
                                           ((entries_[i].events & writable) ? POLLOUT : 0));
    }
    // Until an interrupt comes, it wakes the wait through its descriptor; after, the
    // descriptor stays readable and is left out.
    const int wake = interrupt::wakeDescriptor();
    const auto deadline = Clock::now() + std::max(limit, std::chrono::microseconds(0));
    int result;
    for (;;) {
        if (interrupt::received()) {
            if (abandonedOnInterrupt_) return -1;
            if (fds.size() > entries_.size()) fds.pop_back();
        } else if (wake >= 0 && fds.size() == entries_.size()) {
            fds.push_back({wake, POLLIN, 0});
        }
        auto left = std::max(std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()),
                             std::chrono::microseconds(0));
        left = interrupt::waitLimit(left);
        // The wind-down is over: the wait fails, rather than time out again and again.
        if (left.count() < 0) return -1;
        // poll counts milliseconds: round up so a short wait does not become a busy loop.
        long long ms = (left.count() + 999) / 1000;
        result = ::poll(fds.data(), fds.size(), ms > INT_MAX ? INT_MAX : static_cast<int>(ms));
        const bool woken = fds.size() > entries_.size() && (fds.back().revents & POLLIN) != 0;
        if (result > (woken ? 1 : 0)) break;
        if (woken || (result < 0 && errno == EINTR)) continue;
        if (result == 0 && interrupt::received() && Clock::now() < deadline) continue;
        break;
    }
    if (result <= 0) return result < 0 ? -1 : 0;
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
