// Winsock's fd_set is a counted array; a larger FD_SETSIZE makes room for every
// address of a host with many addresses.
#define FD_SETSIZE 1024
#include "net/socket_set.hpp"

#include <winsock2.h>

#include <algorithm>
#include <memory>

#include "common/interrupt.hpp"

namespace {
// A console event cannot wake select: with the handlers in place, waits are taken in slices
// this long and the interrupt is looked for between them.
constexpr std::chrono::microseconds slice{100'000};
}

void SocketSet::add(const Socket& socket, unsigned events) { entries_.push_back({socket.handle(), events}); }

int SocketSet::wait(std::chrono::microseconds limit)
{
    using Clock = std::chrono::steady_clock;
    const bool watching = interrupt::watching();
    if (entries_.empty() || entries_.size() > FD_SETSIZE) return -1;
    // fd_set is large; keep it off the stack.
    auto sets = std::make_unique<fd_set[]>(3);
    fd_set& reads = sets[0];
    fd_set& writes = sets[1];
    fd_set& errors = sets[2];
    const auto deadline = Clock::now() + std::max(limit, std::chrono::microseconds(0));
    int result;
    for (;;) {
        FD_ZERO(&reads);
        FD_ZERO(&writes);
        FD_ZERO(&errors);
        for (auto& entry : entries_) {
            entry.ready = 0;
            entry.failed = false;
            SOCKET s = static_cast<SOCKET>(entry.handle);
            if (entry.events & readable) FD_SET(s, &reads);
            // A connect that failed is reported in the error set, not as writable.
            if (entry.events & writable) {
                FD_SET(s, &writes);
                FD_SET(s, &errors);
            }
        }
        if (interrupt::received() && abandonedOnInterrupt_) return -1;
        auto left = std::max(std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()),
                             std::chrono::microseconds(0));
        left = interrupt::waitLimit(left);
        // The wind-down is over: the wait fails, rather than time out again and again.
        if (left.count() < 0) return -1;
        const bool sliced = watching && left > slice;
        if (sliced) left = slice;
        timeval tv;
        tv.tv_sec = static_cast<long>(left.count() / 1'000'000);
        tv.tv_usec = static_cast<long>(left.count() % 1'000'000);
        result = ::select(0, reads.fd_count ? &reads : nullptr, writes.fd_count ? &writes : nullptr,
                          errors.fd_count ? &errors : nullptr, &tv);
        if (result == 0 && (sliced || (interrupt::received() && Clock::now() < deadline))) continue;
        if (result != SOCKET_ERROR || WSAGetLastError() != WSAEINTR) break;
    }
    if (result == SOCKET_ERROR) return -1;
    if (result == 0) return 0;
    int ready = 0;
    for (auto& entry : entries_) {
        SOCKET s = static_cast<SOCKET>(entry.handle);
        if ((entry.events & readable) && FD_ISSET(s, &reads)) entry.ready |= readable;
        if ((entry.events & writable) && FD_ISSET(s, &writes)) entry.ready |= writable;
        if ((entry.events & writable) && FD_ISSET(s, &errors)) entry.failed = true;
        if (entry.ready || entry.failed) ++ready;
    }
    return ready;
}
