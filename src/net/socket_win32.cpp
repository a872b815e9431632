#include "net/socket.hpp"

#include <winsock2.h>

#include "common/system_error.hpp"
#include "net/net_exception.hpp"

namespace {
// Winsock is started once before main runs and cleaned up at process exit.
class SocketLibrary {
public:
    SocketLibrary()
    {
        WSADATA data;
        started_ = WSAStartup(MAKEWORD(1, 1), &data) == 0;
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

void requireLibrary()
{
    if (!socketLibrary.started()) throw SocketException("Unable to initialize socket library");
}

sockaddr_in toSockaddr(const IPv4Address& address)
{
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(address.port());
    in.sin_addr.s_addr = htonl(address.address());
    return in;
}

IPv4Address fromSockaddr(const sockaddr_in& in) { return IPv4Address(ntohl(in.sin_addr.s_addr), ntohs(in.sin_port)); }

SOCKET sock(Socket::Handle handle) { return static_cast<SOCKET>(handle); }
}

int Socket::lastError() { return WSAGetLastError(); }
std::string Socket::errorText(int code) { return sys::errorText(code); }
int Socket::timedOutError() { return WSAETIMEDOUT; }

Socket Socket::create()
{
    requireLibrary();
    SOCKET handle = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (handle == INVALID_SOCKET) throw SocketException("Unable to create socket: " + lastErrorText());
    return Socket(static_cast<Handle>(handle));
}

void Socket::setBlocking(bool blocking)
{
    u_long nonBlocking = blocking ? 0 : 1;
    if (ioctlsocket(sock(handle_), FIONBIO, &nonBlocking) != 0)
        throw SocketException("Unable to set socket blocking: " + lastErrorText());
}

bool Socket::startConnect(const IPv4Address& address)
{
    sockaddr_in in = toSockaddr(address);
    if (::connect(sock(handle_), reinterpret_cast<const sockaddr*>(&in), sizeof in) == 0) return true;
    if (WSAGetLastError() == WSAEWOULDBLOCK) return false;
    throw SocketException("Unable to connect socket: " + lastErrorText());
}

int Socket::pendingError() const
{
    int error = 0;
    int length = sizeof error;
    if (getsockopt(sock(handle_), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0)
        return WSAGetLastError();
    return error;
}

void Socket::bindAndListen(const IPv4Address& address, int backlog)
{
    // No SO_REUSEADDR: on Windows it lets another socket take over a bound port.
    sockaddr_in in = toSockaddr(address);
    if (::bind(sock(handle_), reinterpret_cast<const sockaddr*>(&in), sizeof in) != 0)
        throw SocketException("Unable to bind socket: " + lastErrorText());
    if (::listen(sock(handle_), backlog) != 0) throw SocketException("Unable to listen on socket: " + lastErrorText());
}

Socket Socket::accept()
{
    SOCKET handle = ::accept(sock(handle_), nullptr, nullptr);
    if (handle == INVALID_SOCKET) throw SocketException("Unable to accept socket connection: " + lastErrorText());
    return Socket(static_cast<Handle>(handle));
}

Socket::IoResult Socket::send(const void* data, std::size_t length)
{
    int chunk = length > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(length);
    int sent = ::send(sock(handle_), static_cast<const char*>(data), chunk, 0);
    if (sent != SOCKET_ERROR) return {IoStatus::done, static_cast<std::size_t>(sent)};
    return {WSAGetLastError() == WSAEWOULDBLOCK ? IoStatus::wouldBlock : IoStatus::failed, 0};
}

Socket::IoResult Socket::receive(void* buffer, std::size_t capacity) { return receiveWith(buffer, capacity, 0); }

Socket::IoResult Socket::peek(void* buffer, std::size_t capacity) { return receiveWith(buffer, capacity, MSG_PEEK); }

Socket::IoResult Socket::receiveWith(void* buffer, std::size_t capacity, int flags)
{
    int chunk = capacity > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(capacity);
    int received = ::recv(sock(handle_), static_cast<char*>(buffer), chunk, flags);
    if (received > 0) return {IoStatus::done, static_cast<std::size_t>(received)};
    if (received == 0) return {capacity == 0 ? IoStatus::done : IoStatus::closed, 0};
    return {WSAGetLastError() == WSAEWOULDBLOCK ? IoStatus::wouldBlock : IoStatus::failed, 0};
}

IPv4Address Socket::localAddress() const
{
    sockaddr_in in{};
    int length = sizeof in;
    if (getsockname(sock(handle_), reinterpret_cast<sockaddr*>(&in), &length) != 0) return {};
    return fromSockaddr(in);
}

IPv4Address Socket::peerAddress() const
{
    sockaddr_in in{};
    int length = sizeof in;
    if (getpeername(sock(handle_), reinterpret_cast<sockaddr*>(&in), &length) != 0) return {};
    return fromSockaddr(in);
}

void Socket::setAbortiveClose() noexcept
{
    if (!valid()) return;
    linger option{};
    option.l_onoff = 1;
    option.l_linger = 0;
    setsockopt(sock(handle_), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option), sizeof option);
}

void Socket::setReceiveBufferSize(int bytes) noexcept
{
    if (valid()) setsockopt(sock(handle_), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes);
}

void Socket::shutdownBoth() noexcept
{
    if (valid()) ::shutdown(sock(handle_), SD_BOTH);
}

void Socket::close() noexcept
{
    if (!valid()) return;
    closesocket(sock(handle_));
    handle_ = invalidHandle;
}
