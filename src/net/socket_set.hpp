#pragma once
// A set of sockets to wait on for readability or writability (poll on POSIX,
// select on Windows). The set refers to the sockets by handle; it does not own them.
#include <chrono>
#include <cstddef>
#include <vector>

#include "net/socket.hpp"

class SocketSet {
public:
    enum Event : unsigned { readable = 1u, writable = 2u };

    // Adds a socket; its index is the number of sockets added before it.
    void add(const Socket& socket, unsigned events);

    // Waits at most `limit` (negative counts as zero). Returns the number of
    // sockets that are ready, 0 when the time ran out, -1 when the wait failed.
    // A wait the system interrupted is repeated. Once the run is interrupted (see
    // common/interrupt.hpp) a wait ends within the wind-down, and gives -1 after it.
    int wait(std::chrono::microseconds limit);

    // The wait is one of a transfer's data: an interrupt ends it at once (-1), with no wind-down.
    void abandonOnInterrupt() { abandonedOnInterrupt_ = true; }

    bool isReadable(std::size_t index) const { return (entries_[index].ready & readable) != 0; }
    bool isWritable(std::size_t index) const { return (entries_[index].ready & writable) != 0; }
    // The socket reported an error or hang-up condition.
    bool hasFailed(std::size_t index) const { return entries_[index].failed; }

private:
    struct Entry {
        Socket::Handle handle;
        unsigned events;
        unsigned ready = 0;
        bool failed = false;
    };
    std::vector<Entry> entries_;
    bool abandonedOnInterrupt_ = false;
};
