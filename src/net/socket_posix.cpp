#include <fcntl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>

#include "net/socket_platform.hpp"

namespace sockapi {
Native createStream(IpAddress::Family family) { return ::socket(nativeFamily(family), SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP); }

bool setBlocking(Native socket, bool blocking)
{
    int flags = fcntl(socket, F_GETFL, 0);
    if (flags >= 0) flags = fcntl(socket, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
    return flags >= 0;
}

std::optional<std::size_t> unsentBytes(Native socket)
{
    int queued = 0;
    if (ioctl(socket, SIOCOUTQ, &queued) != 0 || queued < 0) return std::nullopt;
    return static_cast<std::size_t>(queued);
}
}
