#include "net/socket.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "common/system_error.hpp"
#include "net/net_exception.hpp"

namespace {
sockaddr_in toSockaddr(const IPv4Address& address)
{
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(address.port());
    in.sin_addr.s_addr = htonl(address.address());
    return in;
}

IPv4Address fromSockaddr(const sockaddr_in& in) { return IPv4Address(ntohl(in.sin_addr.s_addr), ntohs(in.sin_port)); }

int fd(Socket::Handle handle) { return static_cast<int>(handle); }

bool wouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }
}

int Socket::lastError() { return errno; }
std::string Socket::errorText(int code) { return sys::errorText(code); }
int Socket::timedOutError() { return ETIMEDOUT; }

Socket Socket::create()
{
    int handle = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (handle < 0) throw SocketException("Unable to create socket: " + lastErrorText());
    return Socket(handle);
}

void Socket::setBlocking(bool blocking)
{
    int flags = fcntl(fd(handle_), F_GETFL, 0);
    if (flags >= 0) flags = fcntl(fd(handle_), F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
    if (flags < 0) throw SocketException("Unable to set socket blocking: " + lastErrorText());
}

bool Socket::startConnect(const IPv4Address& address)
{
    sockaddr_in in = toSockaddr(address);
    if (::connect(fd(handle_), reinterpret_cast<const sockaddr*>(&in), sizeof in) == 0) return true;
    // An interrupted connect goes on in the background, like one in progress.
    if (errno == EINPROGRESS || errno == EINTR) return false;
    throw SocketException("Unable to connect socket: " + lastErrorText());
}

int Socket::pendingError() const
{
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd(handle_), SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    return error;
}

void Socket::bindAndListen(const IPv4Address& address, int backlog)
{
    int on = 1;
    setsockopt(fd(handle_), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in in = toSockaddr(address);
    if (::bind(fd(handle_), reinterpret_cast<const sockaddr*>(&in), sizeof in) != 0)
        throw SocketException("Unable to bind socket: " + lastErrorText());
    if (::listen(fd(handle_), backlog) != 0) throw SocketException("Unable to listen on socket: " + lastErrorText());
}

Socket Socket::accept()
{
    int handle;
    do {
        handle = ::accept4(fd(handle_), nullptr, nullptr, SOCK_CLOEXEC);
    } while (handle < 0 && errno == EINTR);
    if (handle < 0) throw SocketException("Unable to accept socket connection: " + lastErrorText());
    return Socket(handle);
}

Socket::IoResult Socket::send(const void* data, std::size_t length)
{
    ssize_t sent;
    do {
        // A peer that dropped the connection must not end the process with SIGPIPE.
        sent = ::send(fd(handle_), data, length, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent >= 0) return {IoStatus::done, static_cast<std::size_t>(sent)};
    return {wouldBlock(errno) ? IoStatus::wouldBlock : IoStatus::failed, 0};
}

Socket::IoResult Socket::receive(void* buffer, std::size_t capacity) { return receiveWith(buffer, capacity, 0); }

Socket::IoResult Socket::peek(void* buffer, std::size_t capacity) { return receiveWith(buffer, capacity, MSG_PEEK); }

Socket::IoResult Socket::receiveWith(void* buffer, std::size_t capacity, int flags)
{
    ssize_t received;
    do {
        received = ::recv(fd(handle_), buffer, capacity, flags);
    } while (received < 0 && errno == EINTR);
    if (received > 0) return {IoStatus::done, static_cast<std::size_t>(received)};
    if (received == 0) return {capacity == 0 ? IoStatus::done : IoStatus::closed, 0};
    return {wouldBlock(errno) ? IoStatus::wouldBlock : IoStatus::failed, 0};
}

IPv4Address Socket::localAddress() const
{
    sockaddr_in in{};
    socklen_t length = sizeof in;
    if (getsockname(fd(handle_), reinterpret_cast<sockaddr*>(&in), &length) != 0) return {};
    return fromSockaddr(in);
}

IPv4Address Socket::peerAddress() const
{
    sockaddr_in in{};
    socklen_t length = sizeof in;
    if (getpeername(fd(handle_), reinterpret_cast<sockaddr*>(&in), &length) != 0) return {};
    return fromSockaddr(in);
}

void Socket::setAbortiveClose() noexcept
{
    if (!valid()) return;
    linger option{};
    option.l_onoff = 1;
    option.l_linger = 0;
    setsockopt(fd(handle_), SOL_SOCKET, SO_LINGER, &option, sizeof option);
}

void Socket::setReceiveBufferSize(int bytes) noexcept
{
    if (valid()) setsockopt(fd(handle_), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

void Socket::shutdownBoth() noexcept
{
    if (valid()) ::shutdown(fd(handle_), SHUT_RDWR);
}

void Socket::close() noexcept
{
    if (!valid()) return;
    ::close(fd(handle_));
    handle_ = invalidHandle;
}
