#pragma once
// A TCP stream socket over IPv4 or IPv6. Move-only; the destructor closes it.
// Every operation that can fail in a way the caller must report throws
// SocketException; the data-path calls (send, receive) return a status instead.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "net/ip_address.hpp"

class Socket {
public:
    using Handle = std::intptr_t;
    static constexpr Handle invalidHandle = -1;

    Socket() = default;
    ~Socket();
    Socket(Socket&& other) noexcept;
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // A new, unconnected TCP socket. Failure: "Unable to create socket: " + system text.
    static Socket create(IpAddress::Family family = IpAddress::Family::v4);

    bool valid() const { return handle_ != invalidHandle; }
    Handle handle() const { return handle_; }

    // Failure: "Unable to set socket blocking: " + system text.
    void setBlocking(bool blocking);

    // Starts a connection. True when it completed at once, false when it is in
    // progress (non-blocking socket). Any other result throws
    // "Unable to connect socket: " + system text.
    bool startConnect(const IpAddress& address);
    // The socket's pending error (SO_ERROR): 0 once a started connection succeeded.
    int pendingError() const;
    // Connects without blocking for longer than `limit`; the socket is left non-blocking.
    // Failure (refused, unreachable, or no answer in time): "Unable to connect socket: " + text.
    void connectWithin(const IpAddress& address, std::chrono::microseconds limit);

    // Binds (with address reuse when a port is named) and listens. Failures: "Unable to bind socket: " /
    // "Unable to listen on socket: " + system text.
    void bindAndListen(const IpAddress& address, int backlog);
    // Accepts one pending connection. Failure: "Unable to accept socket connection: " + text.
    Socket accept();

    enum class IoStatus { done, wouldBlock, closed, failed };
    struct IoResult {
        IoStatus status = IoStatus::failed;
        std::size_t count = 0;  // bytes moved when status is done
    };
    // One send call; never raises SIGPIPE.
    IoResult send(const void* data, std::size_t length);
    // One receive call; status closed when the peer ended the connection.
    IoResult receive(void* buffer, std::size_t capacity);
    // As receive, but the bytes stay queued for the next receive.
    IoResult peek(void* buffer, std::size_t capacity);

    IpAddress localAddress() const;
    IpAddress peerAddress() const;

    // Makes close() reset the connection (linger 0) so the peer sees an abort.
    void setAbortiveClose() noexcept;
    // Ends the sending direction only (the peer reads end of stream once the queued
    // bytes are through); receiving goes on. Errors are ignored.
    void shutdownSend() noexcept;
    // Shuts both directions down; errors are ignored.
    void shutdownBoth() noexcept;
    // Closes the socket; errors are ignored; closing twice does nothing.
    void close() noexcept;

    // A small receive buffer, so a peer that stops reading stalls the sender quickly.
    void setReceiveBufferSize(int bytes) noexcept;
    // A small send buffer, so little data sits queued behind a peer that stops reading.
    void setSendBufferSize(int bytes) noexcept;

    // TCP keep-alive: a probe after `idle` without traffic, then every `interval` until the
    // peer answers, so that a NAT or firewall on the way keeps a connection that stays quiet
    // while a long transfer runs beside it. Errors are ignored: the connection works without.
    void setKeepAlive(std::chrono::seconds idle, std::chrono::seconds interval) noexcept;
    struct KeepAlive {
        bool enabled = false;
        // nullopt where the system cannot tell (Windows before 10).
        std::optional<std::chrono::seconds> idle;
        std::optional<std::chrono::seconds> interval;
    };
    // What the system holds for this socket.
    KeepAlive keepAlive() const;

    // Bytes handed to this socket's send queue that the peer has not acknowledged yet;
    // 0 once everything sent has reached the peer's system. nullopt where the platform
    // cannot tell (Windows) and for a listening socket.
    std::optional<std::size_t> unsentBytes() const;

    // The calling thread's last socket error and the platform's texts for error codes.
    static int lastError();
    static std::string errorText(int code);
    static std::string lastErrorText() { return errorText(lastError()); }
    // The platform's code for "connection timed out".
    static int timedOutError();

private:
    explicit Socket(Handle handle) : handle_(handle) {}
    IoResult receiveWith(void* buffer, std::size_t capacity, int flags);
    Handle handle_ = invalidHandle;
};
