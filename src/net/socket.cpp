#include "net/socket.hpp"

#include <algorithm>

#include "common/system_error.hpp"
#include "net/net_exception.hpp"
#include "net/socket_platform.hpp"
#include "net/socket_set.hpp"

namespace {
using sockapi::Native;

Native native(Socket::Handle handle) { return static_cast<Native>(handle); }

// The address a name query fills in; the default one when the query fails.
template <class Query>
IpAddress queried(Native socket, Query query)
{
    sockapi::NativeAddress address;
    if (query(socket, address.get(), &address.length) != 0) return {};
    return sockapi::fromNative(address.get()).value_or(IpAddress());
}

template <class T>
void setOption(Native socket, int name, const T& value)
{
    setsockopt(socket, SOL_SOCKET, name, reinterpret_cast<const sockapi::OptionValue*>(&value), sizeof value);
}

sockapi::IoLength ioLength(std::size_t length)
{
    return static_cast<sockapi::IoLength>(std::min(length, sockapi::maxIoChunk));
}

Socket::IoStatus failureStatus()
{
    return sockapi::wouldBlock(sockapi::lastError()) ? Socket::IoStatus::wouldBlock : Socket::IoStatus::failed;
}
}

Socket::Socket(Socket&& other) noexcept : handle_(other.handle_) { other.handle_ = invalidHandle; }

Socket& Socket::operator=(Socket&& other) noexcept
{
    if (this != &other) {
        close();
        handle_ = other.handle_;
        other.handle_ = invalidHandle;
    }
    return *this;
}

Socket::~Socket() { close(); }

int Socket::lastError() { return sockapi::lastError(); }
std::string Socket::errorText(int code) { return sys::errorText(code); }
int Socket::timedOutError() { return sockapi::timedOut; }

Socket Socket::create(IpAddress::Family family)
{
    Native handle = sockapi::createStream(family);
    if (handle == sockapi::invalidNative) throw SocketException("Unable to create socket: " + lastErrorText());
    return Socket(static_cast<Handle>(handle));
}

void Socket::setBlocking(bool blocking)
{
    if (!sockapi::setBlocking(native(handle_), blocking))
        throw SocketException("Unable to set socket blocking: " + lastErrorText());
}

bool Socket::startConnect(const IpAddress& address)
{
    const sockapi::NativeAddress target = sockapi::toNative(address);
    if (::connect(native(handle_), target.get(), target.length) == 0) return true;
    if (sockapi::connectPending(sockapi::lastError())) return false;
    throw SocketException("Unable to connect socket: " + lastErrorText());
}

int Socket::pendingError() const
{
    int error = 0;
    sockapi::AddressLength length = sizeof error;
    auto* value = reinterpret_cast<sockapi::OptionValue*>(&error);
    if (getsockopt(native(handle_), SOL_SOCKET, SO_ERROR, value, &length) != 0) return sockapi::lastError();
    return error;
}

void Socket::connectWithin(const IpAddress& address, std::chrono::microseconds limit)
{
    setBlocking(false);
    if (startConnect(address)) return;
    SocketSet set;
    set.add(*this, SocketSet::writable);
    int ready = set.wait(limit);
    if (ready <= 0) throw SocketException("Unable to connect socket: " + errorText(timedOutError()));
    int error = pendingError();
    if (error != 0) throw SocketException("Unable to connect socket: " + errorText(error));
}

void Socket::bindAndListen(const IpAddress& address, int backlog)
{
    // Reuse only for a port chosen by the caller: on a port the system picks it would let the
    // new listener share a port still held by another connection, which then takes its peers.
    if (sockapi::reuseAddress && address.port() != 0) setOption(native(handle_), SO_REUSEADDR, 1);
    const sockapi::NativeAddress local = sockapi::toNative(address);
    if (::bind(native(handle_), local.get(), local.length) != 0)
        throw SocketException("Unable to bind socket: " + lastErrorText());
    if (::listen(native(handle_), backlog) != 0)
        throw SocketException("Unable to listen on socket: " + lastErrorText());
}

Socket Socket::accept()
{
    Native handle;
    do {
        handle = sockapi::acceptOne(native(handle_));
    } while (handle == sockapi::invalidNative && sockapi::interrupted(sockapi::lastError()));
    if (handle == sockapi::invalidNative)
        throw SocketException("Unable to accept socket connection: " + lastErrorText());
    return Socket(static_cast<Handle>(handle));
}

Socket::IoResult Socket::send(const void* data, std::size_t length)
{
    std::ptrdiff_t sent;
    do {
        sent = ::send(native(handle_), static_cast<const char*>(data), ioLength(length), sockapi::sendFlags);
    } while (sent < 0 && sockapi::interrupted(sockapi::lastError()));
    if (sent >= 0) return {IoStatus::done, static_cast<std::size_t>(sent)};
    return {failureStatus(), 0};
}

Socket::IoResult Socket::receive(void* buffer, std::size_t capacity) { return receiveWith(buffer, capacity, 0); }

Socket::IoResult Socket::peek(void* buffer, std::size_t capacity) { return receiveWith(buffer, capacity, MSG_PEEK); }

Socket::IoResult Socket::receiveWith(void* buffer, std::size_t capacity, int flags)
{
    std::ptrdiff_t received;
    do {
        received = ::recv(native(handle_), static_cast<char*>(buffer), ioLength(capacity), flags);
    } while (received < 0 && sockapi::interrupted(sockapi::lastError()));
    if (received > 0) return {IoStatus::done, static_cast<std::size_t>(received)};
    if (received == 0) return {capacity == 0 ? IoStatus::done : IoStatus::closed, 0};
    return {failureStatus(), 0};
}

IpAddress Socket::localAddress() const
{
    return queried(native(handle_), [](Native socket, sockaddr* address, sockapi::AddressLength* length) {
        return getsockname(socket, address, length);
    });
}

IpAddress Socket::peerAddress() const
{
    return queried(native(handle_), [](Native socket, sockaddr* address, sockapi::AddressLength* length) {
        return getpeername(socket, address, length);
    });
}

std::optional<std::size_t> Socket::unsentBytes() const
{
    if (!valid()) return std::nullopt;
    return sockapi::unsentBytes(native(handle_));
}

void Socket::setKeepAlive(std::chrono::seconds idle, std::chrono::seconds interval) noexcept
{
    if (valid())
        sockapi::setKeepAlive(native(handle_), static_cast<int>(idle.count()), static_cast<int>(interval.count()));
}

Socket::KeepAlive Socket::keepAlive() const
{
    KeepAlive held;
    int idle = -1;
    int interval = -1;
    if (!valid() || !sockapi::keepAliveOf(native(handle_), idle, interval)) return held;
    held.enabled = true;
    if (idle >= 0) held.idle = std::chrono::seconds(idle);
    if (interval >= 0) held.interval = std::chrono::seconds(interval);
    return held;
}

void Socket::setAbortiveClose() noexcept
{
    if (!valid()) return;
    linger option{};
    option.l_onoff = 1;
    option.l_linger = 0;
    setOption(native(handle_), SO_LINGER, option);
}

void Socket::setReceiveBufferSize(int bytes) noexcept
{
    if (valid()) setOption(native(handle_), SO_RCVBUF, bytes);
}

void Socket::setSendBufferSize(int bytes) noexcept
{
    if (valid()) setOption(native(handle_), SO_SNDBUF, bytes);
}

void Socket::shutdownSend() noexcept
{
    if (valid()) ::shutdown(native(handle_), sockapi::shutdownSend);
}

void Socket::shutdownBoth() noexcept
{
    if (valid()) ::shutdown(native(handle_), sockapi::shutdownBoth);
}

void Socket::close() noexcept
{
    if (!valid()) return;
    sockapi::closeNative(native(handle_));
    handle_ = invalidHandle;
}
