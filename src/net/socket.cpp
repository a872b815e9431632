#include "net/socket.hpp"

#include "net/net_exception.hpp"
#include "net/socket_set.hpp"

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

void Socket::connectWithin(const IPv4Address& address, std::chrono::microseconds limit)
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
