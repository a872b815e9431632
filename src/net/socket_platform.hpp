#pragma once
// Where BSD sockets and Winsock differ, so socket.cpp is written once.
// It pulls in the platform's socket headers: include it only from the net folder's .cpp files.
#include <cstddef>
#include <optional>

#include "net/ip_address.hpp"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>

namespace sockapi {
using Native = SOCKET;
using AddressLength = int;
using OptionValue = char;
using IoLength = int;
constexpr Native invalidNative = INVALID_SOCKET;
constexpr std::size_t maxIoChunk = 0x7FFFFFFF;
constexpr int sendFlags = 0;
constexpr int shutdownSend = SD_SEND;
constexpr int shutdownBoth = SD_BOTH;
constexpr int timedOut = WSAETIMEDOUT;
// SO_REUSEADDR on Windows lets another socket take over a bound port.
constexpr bool reuseAddress = false;

inline int lastError() { return WSAGetLastError(); }
inline bool wouldBlock(int error) { return error == WSAEWOULDBLOCK; }
// Signals do not interrupt Winsock calls.
inline bool interrupted(int) { return false; }
inline bool connectPending(int error) { return error == WSAEWOULDBLOCK; }
inline Native acceptOne(Native listener) { return ::accept(listener, nullptr, nullptr); }
inline void closeNative(Native socket) { closesocket(socket); }
}
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace sockapi {
using Native = int;
using AddressLength = socklen_t;
using OptionValue = void;
using IoLength = std::size_t;
constexpr Native invalidNative = -1;
constexpr std::size_t maxIoChunk = SIZE_MAX;
// A peer that dropped the connection must not end the process with SIGPIPE.
constexpr int sendFlags = MSG_NOSIGNAL;
constexpr int shutdownSend = SHUT_WR;
constexpr int shutdownBoth = SHUT_RDWR;
constexpr int timedOut = ETIMEDOUT;
constexpr bool reuseAddress = true;

inline int lastError() { return errno; }
inline bool wouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }
inline bool interrupted(int error) { return error == EINTR; }
// An interrupted connect goes on in the background, like one in progress.
inline bool connectPending(int error) { return error == EINPROGRESS || error == EINTR; }
inline Native acceptOne(Native listener) { return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC); }
inline void closeNative(Native socket) { ::close(socket); }
}
#endif

// In socket_posix.cpp / socket_win32.cpp.
namespace sockapi {
// A new TCP socket of `family` (close-on-exec on POSIX), or invalidNative.
// Throws SocketException when the socket library could not be started.
Native createStream(IpAddress::Family family);
bool setBlocking(Native socket, bool blocking);
std::optional<std::size_t> unsentBytes(Native socket);
// SO_KEEPALIVE with the first probe after `idleSeconds` and the next ones `intervalSeconds`
// apart; and what the system holds (seconds, or -1 where it cannot tell).
void setKeepAlive(Native socket, int idleSeconds, int intervalSeconds);
bool keepAliveOf(Native socket, int& idleSeconds, int& intervalSeconds);
}

// In native_address.cpp: the one place that converts to and from the system's address structures.
namespace sockapi {
struct NativeAddress {
    sockaddr_storage storage{};
    AddressLength length = sizeof storage;
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
    sockaddr* get() { return reinterpret_cast<sockaddr*>(&storage); }
};
NativeAddress toNative(const IpAddress& address);
// Nothing for a family other than IPv4 and IPv6.
std::optional<IpAddress> fromNative(const sockaddr* address);
inline int nativeFamily(IpAddress::Family family) { return family == IpAddress::Family::v6 ? AF_INET6 : AF_INET; }
}
