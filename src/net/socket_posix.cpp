#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/tcp.h>
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

namespace sockapi {
namespace {
// Probes the peer leaves unanswered before the connection counts as broken: two minutes of
// silence at 15 s apart, long enough for a busy peer.
constexpr int keepAliveProbes = 8;

int intOption(Native socket, int level, int name)
{
    int value = -1;
    socklen_t length = sizeof value;
    return getsockopt(socket, level, name, &value, &length) == 0 ? value : -1;
}
}

void setKeepAlive(Native socket, int idleSeconds, int intervalSeconds)
{
    const int on = 1;
    setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(socket, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds);
    setsockopt(socket, IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof intervalSeconds);
    setsockopt(socket, IPPROTO_TCP, TCP_KEEPCNT, &keepAliveProbes, sizeof keepAliveProbes);
}

bool keepAliveOf(Native socket, int& idleSeconds, int& intervalSeconds)
{
    if (intOption(socket, SOL_SOCKET, SO_KEEPALIVE) <= 0) return false;
    idleSeconds = intOption(socket, IPPROTO_TCP, TCP_KEEPIDLE);
    intervalSeconds = intOption(socket, IPPROTO_TCP, TCP_KEEPINTVL);
    return true;
}
}
