#include "net/net_exception.hpp"
#include "net/socket_platform.hpp"

#include <mstcpip.h>

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

namespace sockapi {
namespace {
// Windows 10 (1709 on) reads the keep-alive times back under these TCP options; older
// systems refuse them, and SIO_KEEPALIVE_VALS, which every version takes, is write-only.
constexpr int tcpKeepIdle = 3;
constexpr int tcpKeepInterval = 17;

int intOption(Native socket, int level, int name)
{
    DWORD value = 0;
    int length = sizeof value;
    if (getsockopt(socket, level, name, reinterpret_cast<char*>(&value), &length) != 0) return -1;
    return static_cast<int>(value);
}
}

void setKeepAlive(Native socket, int idleSeconds, int intervalSeconds)
{
    // The probe count is the system's own (10 since Vista).
    tcp_keepalive values{};
    values.onoff = 1;
    values.keepalivetime = static_cast<ULONG>(idleSeconds) * 1000;
    values.keepaliveinterval = static_cast<ULONG>(intervalSeconds) * 1000;
    DWORD returned = 0;
    if (WSAIoctl(socket, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr) == 0)
        return;
    // Without the times, the system's own (two hours idle) still beats none.
    const BOOL on = TRUE;
    setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on);
}

bool keepAliveOf(Native socket, int& idleSeconds, int& intervalSeconds)
{
    if (intOption(socket, SOL_SOCKET, SO_KEEPALIVE) <= 0) return false;
    idleSeconds = intOption(socket, IPPROTO_TCP, tcpKeepIdle);
    intervalSeconds = intOption(socket, IPPROTO_TCP, tcpKeepInterval);
    return true;
}
}
