#include "net/net_exception.hpp"
#include "net/socket_platform.hpp"

namespace {
// Winsock is started once before main runs and cleaned up at process exit.
class SocketLibrary {
public:
    SocketLibrary()
    {
        WSADATA data;
        started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~SocketLibrary()
    {
        if (started_) WSACleanup();
    }
    bool started() const { return started_; }

private:
    bool started_ = false;
};

const SocketLibrary socketLibrary;
}

namespace sockapi {
Native createStream(IpAddress::Family family)
{
    if (!socketLibrary.started()) throw SocketException("Unable to initialize socket library");
    return ::socket(nativeFamily(family), SOCK_STREAM, IPPROTO_TCP);
}

bool setBlocking(Native socket, bool blocking)
{
    u_long nonBlocking = blocking ? 0 : 1;
    return ioctlsocket(socket, FIONBIO, &nonBlocking) == 0;
}

// Winsock has no count of unacknowledged bytes before Windows 10 (SIO_TCP_INFO).
std::optional<std::size_t> unsentBytes(Native) { return std::nullopt; }
}
